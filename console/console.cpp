#include "console/console.h"

#include <cstdarg>
#include <initializer_list>

namespace {

// Collects formatted units up to a limit and remembers whether any were cut.
struct BoundedWriter {
  WCHAR* out;
  std::size_t limit;
  std::size_t used;
  bool cut;

  void Put(WCHAR unit) {
    if (used < limit) {
      out[used++] = unit;
    } else {
      cut = true;
    }
  }
};

void PutText(BoundedWriter& writer, const WCHAR* text) {
  if (text == nullptr) {
    text = WIDE("(null)");
  }
  for (; *text != 0; ++text) {
    writer.Put(*text);
  }
}

void PutHex(BoundedWriter& writer, ULONG value) {
  WCHAR digits[8];
  int count = 0;
  do {
    const ULONG digit = value & 0xFU;
    digits[count++] = static_cast<WCHAR>(digit < 10 ? u'0' + digit : u'a' + digit - 10);
    value >>= 4U;
  } while (value != 0);
  while (count > 0) {
    writer.Put(digits[--count]);
  }
}

void FormatInto(BoundedWriter& writer, const WCHAR* format, va_list arguments) {
  for (const WCHAR* at = format; *at != 0; ++at) {
    if (at[0] == u'%' && at[1] == u's') {
      PutText(writer, va_arg(arguments, const WCHAR*));
      ++at;
    } else if (at[0] == u'%' && at[1] == u'x') {
      PutHex(writer, va_arg(arguments, ULONG));
      ++at;
    } else {
      writer.Put(*at);
    }
  }
}

bool IsHighSurrogate(WCHAR unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}

// Redirected output: the same text as UTF-8, converted a slice at a time so that the
// conversion buffer stays fixed; a surrogate pair is never split between slices.
void WriteUtf8(HANDLE output, const WCHAR* text, int length) {
  constexpr int kSliceUnits = 512;
  char bytes[kSliceUnits * 3];
  while (length > 0) {
    int slice = length < kSliceUnits ? length : kSliceUnits;
    if (slice < length && IsHighSurrogate(text[slice - 1])) {
      --slice;
    }
    const int count = WideCharToMultiByte(CP_UTF8, 0, text, slice, bytes,
                                          static_cast<int>(sizeof bytes), nullptr, nullptr);
    DWORD written = 0;
    if (count > 0) {
      WriteFile(output, bytes, static_cast<DWORD>(count), &written, nullptr);
    }
    text += slice;
    length -= slice;
  }
}

bool IsLowSurrogate(WCHAR unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// What would break a message's line, or not show at all.
bool BreaksLine(WCHAR unit) {
  return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == 0x2028 || unit == 0x2029;
}

std::size_t CopyShown(WCHAR* out, const WCHAR* text, std::size_t units) {
  constexpr WCHAR kSubstitute = 0xFFFD;
  for (std::size_t at = 0; at < units; ++at) {
    out[at] = BreaksLine(text[at]) ? kSubstitute : text[at];
  }
  return units;
}

}  // namespace

void ShowElidedOnOneLine(WCHAR* shown, const WCHAR* text, std::size_t room) {
  const auto length = static_cast<std::size_t>(lstrlenW(text));
  if (length <= room) {
    shown[CopyShown(shown, text, length)] = 0;
    return;
  }
  constexpr std::size_t kElisionUnits = 3;
  std::size_t head = (room - kElisionUnits) / 2;
  std::size_t tail = room - kElisionUnits - head;
  head -= head > 0 && IsHighSurrogate(text[head - 1]) ? 1 : 0;
  tail -= tail > 0 && IsLowSurrogate(text[length - tail]) ? 1 : 0;
  std::size_t at = CopyShown(shown, text, head);
  for (std::size_t dot = 0; dot < kElisionUnits; ++dot) {
    shown[at++] = u'.';
  }
  at += CopyShown(shown + at, text + length - tail, tail);
  shown[at] = 0;
}

std::uint32_t BoundedFormat(WCHAR* buffer, std::size_t sizeInBytes, const WCHAR* format, ...) {
  const std::size_t capacity = sizeInBytes / sizeof(WCHAR);
  if (buffer == nullptr || capacity == 0) {
    return kFormatInvalidArgument;
  }
  BoundedWriter writer{buffer, capacity - 1, 0, false};
  va_list arguments;
  va_start(arguments, format);
  FormatInto(writer, format, arguments);
  va_end(arguments);
  buffer[writer.used] = 0;
  return writer.cut ? kFormatTruncated : kFormatOk;
}

void ConsolePrint(const WCHAR* text) {
  const int length = lstrlenW(text);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  if (WriteConsoleW(output, text, static_cast<DWORD>(length), &written, nullptr) == 0) {
    WriteUtf8(output, text, length);
  }
}

ConsoleStreams Consoles{};

namespace {

bool IsConsole(DWORD stream) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(stream), &mode) != 0;
}

}  // namespace

void DetectConsoles() {
  Consoles = {IsConsole(STD_INPUT_HANDLE), IsConsole(STD_OUTPUT_HANDLE),
              IsConsole(STD_ERROR_HANDLE)};
}

bool ConsoleInputReady() {
  return IsConsole(STD_INPUT_HANDLE);
}

void ConsolePrompt(const WCHAR* text) {
  if (!Consoles.output && !Consoles.error) {
    return;
  }
  HANDLE output = GetStdHandle(Consoles.output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD written = 0;
  WriteConsoleW(output, text, static_cast<DWORD>(lstrlenW(text)), &written, nullptr);
}

// The format is always one of the constants of messages.h, the text what it names.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
void PrintNamed(WCHAR* message, const WCHAR* format, const WCHAR* text, ULONG first, ULONG second) {
  constexpr std::size_t kHexDigits = 8;
  std::size_t fixed = 0;
  for (const WCHAR* at = format; *at != 0; ++at) {
    const bool directive = at[0] == u'%' && (at[1] == u's' || at[1] == u'x');
    fixed += !directive ? 1 : at[1] == u'x' ? kHexDigits : 0;
    at += directive ? 1 : 0;
  }
  WCHAR shown[kMessageUnits];
  ShowElidedOnOneLine(shown, text, kMessageUnits - 1 - fixed);
  BoundedFormat(message, kMessageBytes, format, shown, first, second);
  ConsolePrint(message);
}
