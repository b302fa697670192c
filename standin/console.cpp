// Standard handles, the console, the clock, sleeping and the current directory.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <iterator>

#include "standin/internal.h"

namespace {

// Standard handles carry their descriptor; they are apart from the object handles.
constexpr std::uintptr_t kStandardBase = 0x10000;

int DescriptorOf(HANDLE handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  return value >= kStandardBase && value <= kStandardBase + 2
             ? static_cast<int>(value - kStandardBase)
             : -1;
}

bool WriteAll(int descriptor, const char* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = write(descriptor, bytes, count);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

HANDLE GetStdHandle(DWORD stdHandle) {
  int descriptor = -1;
  if (stdHandle == STD_INPUT_HANDLE) {
    descriptor = 0;
  } else if (stdHandle == STD_OUTPUT_HANDLE) {
    descriptor = 1;
  } else if (stdHandle == STD_ERROR_HANDLE) {
    descriptor = 2;
  }
  if (descriptor < 0) {
    return INVALID_HANDLE_VALUE;
  }
  // A process started without the stream has no handle for it.
  if (fcntl(descriptor, F_GETFD) < 0) {
    return nullptr;
  }
  return reinterpret_cast<HANDLE>(kStandardBase + static_cast<std::uintptr_t>(descriptor));
}

// A console is a terminal; its mode is that of a console in line input with echo. A terminal
// whose input this process may not read (a background job's: reading would stop the job) is
// no console for it.
BOOL GetConsoleMode(HANDLE console, LPDWORD mode) {
  constexpr DWORD kLineInputWithEcho = 0x7;  // processed input, line input, echo
  const int descriptor = DescriptorOf(console);
  if (descriptor < 0 || isatty(descriptor) == 0 ||
      (descriptor == 0 && tcgetpgrp(descriptor) != getpgrp())) {
    return FALSE;
  }
  *mode = kLineInputWithEcho;
  return TRUE;
}

// The processes sharing the console: none without a terminal; the process alone when it
// leads the terminal's session (a terminal window opened for it); else it and the shell
// that started it. Only the count is given.
DWORD GetConsoleProcessList(LPDWORD /*processList*/, DWORD /*processCount*/) {
  const pid_t session = getsid(0);
  const int terminal = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) {
    return 0;
  }
  close(terminal);
  return session == getpid() ? 1 : 2;
}

ULONGLONG GetTickCount64() {
  constexpr ULONGLONG kMillisecondsPerSecond = 1000;
  constexpr long kNanosecondsPerMillisecond = 1000000;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * kMillisecondsPerSecond +
         static_cast<ULONGLONG>(now.tv_nsec / kNanosecondsPerMillisecond);
}

// The whole time, however often a signal interrupts it.
VOID Sleep(DWORD milliseconds) {
  constexpr DWORD kMillisecondsPerSecond = 1000;
  constexpr long kNanosecondsPerMillisecond = 1000000;
  timespec rest{
      static_cast<time_t>(milliseconds / kMillisecondsPerSecond),
      static_cast<long>(milliseconds % kMillisecondsPerSecond) * kNanosecondsPerMillisecond};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

// Like the real one, fails on a handle that is not a console: here, not a terminal.
BOOL WriteConsoleW(HANDLE console, const VOID* buffer, DWORD charsToWrite, LPDWORD charsWritten,
                   LPVOID /*reserved*/) {
  const int descriptor = DescriptorOf(console);
  if (descriptor < 0 || isatty(descriptor) == 0) {
    return FALSE;
  }
  // A code point at a time, as WideCharToMultiByte converts: a pair is never split.
  const auto* text = static_cast<const WCHAR*>(buffer);
  char bytes[1024];
  std::size_t used = 0;
  for (std::size_t at = 0; at < charsToWrite;) {
    used += static_cast<std::size_t>(standin::EncodeNextUtf8(text, charsToWrite, at, bytes + used));
    const bool full = used + standin::kUtf8MaxBytes > sizeof bytes;
    if ((full || at == charsToWrite) && !WriteAll(descriptor, bytes, used)) {
      return FALSE;
    }
    used = full ? 0 : used;
  }
  if (charsWritten != nullptr) {
    *charsWritten = charsToWrite;
  }
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED /*overlapped*/) {
  const int descriptor = DescriptorOf(file);
  if (descriptor < 0 || !WriteAll(descriptor, static_cast<const char*>(buffer), bytesToWrite)) {
    return FALSE;
  }
  if (bytesWritten != nullptr) {
    *bytesWritten = bytesToWrite;
  }
  return TRUE;
}

// The POSIX current directory on drive Z:, as "Z:\dir\dir". A buffer too small is left
// untouched and the size needed (with the terminator) returned.
DWORD GetCurrentDirectoryW(DWORD bufferLength, LPWSTR buffer) {
  char posix[standin::kPosixPathBytes];
  WCHAR wide[standin::kPosixPathBytes];
  if (getcwd(posix, sizeof posix) == nullptr || posix[0] != '/') {
    return 0;
  }
  wide[0] = u'Z';
  wide[1] = u':';
  const int length = standin::Utf8ToUtf16(posix, wide + 2, std::size(wide) - 2);
  if (length < 0) {
    return 0;
  }
  const auto units = static_cast<DWORD>(length + 2);
  if (units + 1 > bufferLength) {
    return units + 1;
  }
  for (DWORD at = 0; at <= units; ++at) {
    buffer[at] = wide[at] == u'/' ? u'\\' : wide[at];
  }
  return units;
}
