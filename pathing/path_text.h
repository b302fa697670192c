// Measured text operations on the 260-unit path buffers.
#pragma once

#include <cstddef>

#include "native/windows_api.h"

// A path buffer: 260 units including the terminator.
constexpr std::size_t kPathUnits = 260;
constexpr std::size_t kPathMaxLength = kPathUnits - 1;

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
