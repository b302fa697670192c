// The copy engine: the source's data into a newly created destination, through the
// native file services, with case-sensitive name lookup.
#pragma once

#include <cstddef>

#include "native/windows_api.h"

// The one data buffer: the copy moves blocks of this size.
constexpr std::size_t kCopyBlockBytes = 16384;

// Copies by native paths, printing its own error line into messageBuffer (1024 units)
// when a step fails. Returns true only when the whole file arrived; a destination it
// created is then removed again, and an existing file is never touched.
bool CopyFileNative(const WCHAR* sourceNativePath, const WCHAR* destinationNativePath,
                    WCHAR* messageBuffer, BYTE* dataBuffer);
