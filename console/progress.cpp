#include "console/progress.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "console/console.h"

namespace {

constexpr ULONGLONG kCheckEveryBytes = 1 << 20;
constexpr ULONGLONG kFirstAfterMs = 1000;
constexpr ULONGLONG kEveryMs = 250;
constexpr ULONGLONG kNever = ~0ULL;

// Collects one line of units; it is far shorter than its buffer.
struct Line {
  WCHAR text[64];
  std::size_t used;

  void Put(const char* ascii) {
    for (; *ascii != 0 && used + 1 < std::size(text); ++ascii) {
      text[used++] = static_cast<WCHAR>(*ascii);
    }
  }
  void PutNumber(ULONGLONG value) {
    char digits[24];
    std::size_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (count > 0) {
      const char digit[2] = {digits[--count], 0};
      Put(digit);
    }
  }
};

// The unit the whole line counts in, as a power of two, by the size of the copy.
unsigned UnitShift(ULONGLONG total) {
  return total >= (1ULL << 30) ? 30 : total >= (1ULL << 20) ? 20 : 10;
}

void PutAmount(Line& line, ULONGLONG bytes, unsigned shift) {
  constexpr ULONGLONG kHundredths = 100;
  const ULONGLONG fraction = ((bytes & ((1ULL << shift) - 1)) * kHundredths) >> shift;
  line.PutNumber(bytes >> shift);
  line.Put(".");
  line.PutNumber(fraction / 10);
  line.PutNumber(fraction % 10);
  line.Put(shift == 30 ? " GiB" : shift == 20 ? " MiB" : " KiB");
}

unsigned Percent(ULONGLONG done, ULONGLONG total) {
  constexpr unsigned kWhole = 100;
  if (total == 0 || done >= total) {
    return kWhole;
  }
  return static_cast<unsigned>(static_cast<double>(done) * kWhole / static_cast<double>(total));
}

void WriteText(const CopyProgress& progress, const Line& line) {
  DWORD written = 0;
  WriteConsoleW(progress.console, line.text, static_cast<DWORD>(line.used), &written, nullptr);
}

void WriteTreeLine(const CopyProgress& progress, ULONGLONG done) {
  Line line{};
  line.Put("\r  ");
  line.PutNumber(progress.files);
  line.Put(" files  ");
  PutAmount(line, done, UnitShift(done));
  WriteText(progress, line);
}

void WriteLine(const CopyProgress& progress, ULONGLONG done) {
  if (progress.tree) {
    WriteTreeLine(progress, done);
    return;
  }
  Line line{};
  const unsigned percent = Percent(done, progress.total);
  line.Put(percent < 10 ? "\r   " : percent < 100 ? "\r  " : "\r ");  // right-aligned
  line.PutNumber(percent);
  line.Put("%  ");
  const unsigned shift = UnitShift(progress.total);
  PutAmount(line, done, shift);
  line.Put(" of ");
  PutAmount(line, progress.total, shift);
  WriteText(progress, line);
}

}  // namespace

void StartProgress(CopyProgress& progress, ULONGLONG totalBytes) {
  const bool console = Consoles.output;
  progress = CopyProgress{};
  progress.console = console ? GetStdHandle(STD_OUTPUT_HANDLE) : nullptr;
  progress.total = totalBytes;
  progress.startedAt = console ? GetTickCount64() : 0;
  progress.nextCheck = console ? kCheckEveryBytes : kNever;
}

void StartTreeProgress(CopyProgress& progress) {
  StartProgress(progress, 0);
  progress.tree = true;
}

void CountFile(CopyProgress& progress, ULONGLONG fileBytes) {
  ++progress.files;
  progress.doneBefore += fileBytes;
  if (progress.console != nullptr) {
    ShowProgress(progress, progress.doneBefore);
  }
}

void ClearProgress(CopyProgress& progress) {
  if (progress.shownAt == 0) {
    return;
  }
  Line line{};
  line.Put("\r");
  for (int blank = 0; blank < 40; ++blank) {
    line.Put(" ");
  }
  line.Put("\r");
  WriteText(progress, line);
}

void ShowProgress(CopyProgress& progress, ULONGLONG doneBytes) {
  progress.nextCheck = doneBytes + kCheckEveryBytes;
  const ULONGLONG now = GetTickCount64();
  const ULONGLONG due =
      progress.shownAt == 0 ? progress.startedAt + kFirstAfterMs : progress.shownAt + kEveryMs;
  if (now >= due) {
    WriteLine(progress, doneBytes);
    progress.shownAt = now;
  }
}

void EndProgress(CopyProgress& progress, ULONGLONG doneBytes) {
  if (progress.shownAt == 0) {
    return;
  }
  WriteLine(progress, doneBytes);
  DWORD written = 0;
  WriteConsoleW(progress.console, WIDE("\n"), 1, &written, nullptr);
  progress.shownAt = 0;
}

void FormatCount(WCHAR* out, ULONGLONG value) {
  Line line{};
  line.PutNumber(value);
  line.text[line.used] = 0;
  std::copy_n(line.text, line.used + 1, out);
}

void FormatAmount(WCHAR* out, ULONGLONG bytes) {
  Line line{};
  PutAmount(line, bytes, UnitShift(bytes));
  line.text[line.used] = 0;
  std::copy_n(line.text, line.used + 1, out);
}
