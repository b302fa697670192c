// Measured text operations on the path buffers.
#pragma once

#include <cstddef>

#include "native/windows_api.h"

// A path buffer holds the longest native path the platform takes, and its terminator. The
// object manager keeps a terminator after the name it captures, within a counted string's
// 16-bit MaximumLength: a name of 65,534 bytes is refused as invalid, so the longest takes
// 65,532 bytes, 32,766 units. RtlInitUnicodeString clamps a longer text to the same length,
// so a path of this length reaches the open whole and a longer one is never cut.
constexpr std::size_t kPathMaxLength = 32766;
constexpr std::size_t kPathUnits = kPathMaxLength + 1;

// Each returns STATUS_NAME_TOO_LONG, leaving the buffer as it was, when the result
// would not fit a path buffer (CopyText: a buffer of the given units).
NTSTATUS CopyText(WCHAR* buffer, std::size_t units, const WCHAR* text);
NTSTATUS CopyPath(WCHAR* path, const WCHAR* text);
NTSTATUS AppendPath(WCHAR* path, const WCHAR* text);
// Writes into out text followed by path after its first rootUnits units; out may be path
// itself, text must not lie in out.
NTSTATUS ReplacePathRoot(WCHAR* out, const WCHAR* path, std::size_t rootUnits, const WCHAR* text);

inline bool EndsWithSeparator(const WCHAR* path) {
  const int length = lstrlenW(path);
  return length > 0 && path[length - 1] == kSeparator;
}

// Appends count units of text (which need not be terminated there).
NTSTATUS AppendPathUnits(WCHAR* path, const WCHAR* text, std::size_t count);
