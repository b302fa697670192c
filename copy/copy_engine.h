// The copy engine: the source's data into a newly created destination, through the
// native file services, with case-sensitive name lookup.
#pragma once

#include "copy/name_check.h"
#include "native/windows_api.h"

// The one data buffer: the copy moves blocks of kCopyBlockBytes; before, it takes the names
// the platform reports of both files, the longest of which fills it.
constexpr ULONG kCopyBlockBytes = 16384;
constexpr ULONG kDataBufferBytes = kNameRecordBytes;
static_assert(kDataBufferBytes >= kCopyBlockBytes);

// One file as the translation named it: its native path, and the names the user typed,
// which end it (what comes before them is the drive's device or the base folder's path).
struct NativeName {
  const WCHAR* path;
  const WCHAR* typedNames;
};

// Copies by native paths, printing its own error line into messageBuffer (1024 units)
// when a step fails. Returns true only when the whole file arrived; a destination it
// created is otherwise removed again, and an existing file is never touched. A file that
// the platform opened or created under names other than the typed ones in letter case is
// refused as missing, and a source that changed while it was read is never a copy.
// dataBuffer takes kDataBufferBytes.
bool CopyFileNative(const NativeName& source, const NativeName& destination, WCHAR* messageBuffer,
                    BYTE* dataBuffer);
