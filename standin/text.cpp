// Wide text functions of kernel32, and the UTF conversions behind them.
#include <cstring>

#include "standin/internal.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHigh(WCHAR unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLow(WCHAR unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Reads one code point at text[at]; an unpaired surrogate gives the replacement
// character, or -1 when strict.
long NextCodePoint(const WCHAR* text, std::size_t units, std::size_t& at, bool strict) {
  const WCHAR unit = text[at++];
  if (IsHigh(unit) && at < units && IsLow(text[at])) {
    const WCHAR low = text[at++];
    return 0x10000 + ((static_cast<long>(unit) - 0xD800) << 10) + (low - 0xDC00);
  }
  if (IsHigh(unit) || IsLow(unit)) {
    return strict ? -1 : static_cast<long>(kReplacement);
  }
  return unit;
}

int EncodeUtf8(long point, char* out) {
  auto* bytes = reinterpret_cast<unsigned char*>(out);
  if (point < 0x80) {
    bytes[0] = static_cast<unsigned char>(point);
    return 1;
  }
  if (point < 0x800) {
    bytes[0] = static_cast<unsigned char>(0xC0 | (point >> 6));
    bytes[1] = static_cast<unsigned char>(0x80 | (point & 0x3F));
    return 2;
  }
  if (point < 0x10000) {
    bytes[0] = static_cast<unsigned char>(0xE0 | (point >> 12));
    bytes[1] = static_cast<unsigned char>(0x80 | ((point >> 6) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | (point & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<unsigned char>(0xF0 | (point >> 18));
  bytes[1] = static_cast<unsigned char>(0x80 | ((point >> 12) & 0x3F));
  bytes[2] = static_cast<unsigned char>(0x80 | ((point >> 6) & 0x3F));
  bytes[3] = static_cast<unsigned char>(0x80 | (point & 0x3F));
  return 4;
}

// Encodes into out (capacity bytes, or only counts when out is null). Returns the
// bytes needed, or -1 for an unpaired surrogate when strict or for too small an out.
long EncodeText(const WCHAR* text, std::size_t units, char* out, std::size_t capacity,
                bool strict) {
  std::size_t used = 0;
  char sequence[4];
  for (std::size_t at = 0; at < units;) {
    const long point = NextCodePoint(text, units, at, strict);
    if (point < 0) {
      return -1;
    }
    const int length = EncodeUtf8(point, sequence);
    if (out != nullptr) {
      if (used + static_cast<std::size_t>(length) > capacity) {
        return -1;
      }
      std::memcpy(out + used, sequence, static_cast<std::size_t>(length));
    }
    used += static_cast<std::size_t>(length);
  }
  return static_cast<long>(used);
}

// Decodes one UTF-8 sequence at text; -1 for one that is not well formed (overlong,
// a surrogate, beyond U+10FFFF or cut short).
long DecodeUtf8(const unsigned char* text, int& length) {
  const unsigned char lead = text[0];
  long point = 0;
  if (lead < 0x80) {
    length = 1;
    return lead;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    point = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    point = lead & 0x07;
  } else {
    return -1;
  }
  for (int at = 1; at < length; ++at) {
    if ((text[at] & 0xC0) != 0x80) {
      return -1;
    }
    point = (point << 6) | (text[at] & 0x3F);
  }
  const long minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
  if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    return -1;
  }
  return point;
}

}  // namespace

namespace standin {

int EncodeNextUtf8(const WCHAR* text, std::size_t units, std::size_t& at, char* out) {
  return EncodeUtf8(NextCodePoint(text, units, at, false), out);
}

int Utf16ToUtf8(const WCHAR* text, std::size_t units, char* out, std::size_t capacity) {
  if (capacity == 0) {
    return -1;
  }
  const long length = EncodeText(text, units, out, capacity - 1, true);
  if (length < 0) {
    return -1;
  }
  out[length] = 0;
  return static_cast<int>(length);
}

namespace {

// Decodes into out; a byte that begins no well-formed sequence is -1, or with replace one
// U+FFFD of its own.
int DecodeText(const char* text, WCHAR* out, std::size_t capacity, bool replace) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::size_t used = 0;
  while (*bytes != 0) {
    int length = 1;
    long point = DecodeUtf8(bytes, length);
    if (point < 0 && !replace) {
      return -1;
    }
    length = point < 0 ? 1 : length;
    point = point < 0 ? static_cast<long>(kReplacement) : point;
    const std::size_t needed = point >= 0x10000 ? 2 : 1;
    if (used + needed >= capacity) {
      return kNoRoom;
    }
    if (needed == 2) {
      out[used++] = static_cast<WCHAR>(0xD800 + ((point - 0x10000) >> 10));
      out[used++] = static_cast<WCHAR>(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      out[used++] = static_cast<WCHAR>(point);
    }
    bytes += length;
  }
  out[used] = 0;
  return static_cast<int>(used);
}

}  // namespace

int Utf8ToUtf16(const char* text, WCHAR* out, std::size_t capacity) {
  return DecodeText(text, out, capacity, false);
}

int Utf8NameToUtf16(const char* name, WCHAR* out, std::size_t capacity) {
  return DecodeText(name, out, capacity, true);
}

namespace {

// The platform's simple upper-case mapping, one unit to one unit, for the scripts names
// are most often written in: Latin, Greek and Cyrillic. Other units map to themselves.
WCHAR UpcaseUnit(WCHAR unit) {
  const bool basicLatin = unit >= u'a' && unit <= u'z';
  const bool latin1 = unit >= 0xE0 && unit <= 0xFE && unit != 0xF7;
  const bool greek = unit >= 0x3B1 && unit <= 0x3CB && unit != 0x3C2;
  const bool cyrillic = unit >= 0x430 && unit <= 0x44F;
  if (basicLatin || latin1 || greek || cyrillic) {
    return static_cast<WCHAR>(unit - 0x20);
  }
  if (unit >= 0x450 && unit <= 0x45F) {
    return static_cast<WCHAR>(unit - 0x50);
  }
  if (unit == 0xFF) {
    return 0x178;
  }
  // Latin Extended-A pairs its letters upper then lower, but for a few exceptions.
  const bool evenPairs = (unit >= 0x100 && unit <= 0x137) || (unit >= 0x14A && unit <= 0x177);
  const bool oddPairs = (unit >= 0x139 && unit <= 0x148) || (unit >= 0x179 && unit <= 0x17E);
  if ((evenPairs && unit % 2 == 1) || (oddPairs && unit % 2 == 0)) {
    return static_cast<WCHAR>(unit - 1);
  }
  return unit;
}

}  // namespace

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING first, PCUNICODE_STRING second,
                              BOOLEAN caseInsensitive) {
  if (first->Length != second->Length) {
    return FALSE;
  }
  for (std::size_t at = 0; at < first->Length / sizeof(WCHAR); ++at) {
    const WCHAR left = first->Buffer[at];
    const WCHAR right = second->Buffer[at];
    if (left != right && (caseInsensitive == 0 || UpcaseUnit(left) != UpcaseUnit(right))) {
      return FALSE;
    }
  }
  return TRUE;
}

}  // namespace standin

int lstrlenW(LPCWSTR text) {
  if (text == nullptr) {
    return 0;
  }
  int length = 0;
  while (text[length] != 0) {
    ++length;
  }
  return length;
}

// CP_UTF8 only, as the tool uses it: unpaired surrogates become U+FFFD, a length of
// -1 includes the terminator, an output size of 0 asks for the size needed.
int WideCharToMultiByte(UINT codePage, DWORD /*flags*/, LPCWCH wideText, int wideLength,
                        LPSTR multiByte, int multiByteLength, LPCSTR /*defaultChar*/,
                        LPBOOL /*usedDefaultChar*/) {
  if (codePage != CP_UTF8 || wideText == nullptr || multiByteLength < 0) {
    return 0;
  }
  const std::size_t units = wideLength < 0 ? static_cast<std::size_t>(lstrlenW(wideText)) + 1
                                           : static_cast<std::size_t>(wideLength);
  char* out = multiByteLength == 0 ? nullptr : multiByte;
  const long length =
      EncodeText(wideText, units, out, static_cast<std::size_t>(multiByteLength), false);
  return length < 0 ? 0 : static_cast<int>(length);
}
