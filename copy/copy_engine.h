// The copy engine: the source's data into a newly created destination, through the
// native file services, with case-sensitive name lookup.
#pragma once

#include <cstddef>

#include "console/progress.h"
#include "copy/name_check.h"
#include "native/windows_api.h"

// The one data buffer: the copy moves blocks of kCopyBlockBytes; before, it takes the names
// the platform reports of both files, the longest of which fills it.
constexpr ULONG kCopyBlockBytes = 16384;
constexpr ULONG kDataBufferBytes = kNameRecordBytes;
static_assert(kDataBufferBytes >= kCopyBlockBytes);

// The attributes Windows' own copy gives the new file or folder, as far as basic
// information sets them: not compression, encryption, sparseness or a reparse point.
constexpr ULONG kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Copies by native paths, printing its own error line into messageBuffer (1024 units)
// when a step fails. Returns true only when the whole file arrived; a destination it
// created is otherwise removed again, and an existing file is never touched. A file that
// the platform opened or created under names other than the typed ones in letter case is
// refused as missing, and a source that changed while it was read is never a copy.
// dataBuffer takes kDataBufferBytes.
bool CopyFileNative(const NativeName& source, const NativeName& destination, WCHAR* messageBuffer,
                    BYTE* dataBuffer);

// The step a copy failed in (kNone: the whole file arrived; kStopped: a stop was asked
// for), its status, and what the destination's create left in its status block.
enum class CopyStep { kNone, kOpen, kCreate, kRead, kWrite, kStopped };
struct FileOutcome {
  CopyStep failed;
  NTSTATUS status;
  NTSTATUS createBlockStatus;
  ULONGLONG bytes;  // the bytes copied
};

// How a run marks its new files for deletion, learned before the first create relies on
// it: in the create itself where the platform can clear such a mark once the file is whole
// (no instant then lies between a file's existence and its mark, so that not even a kill
// leaves it behind), else right after the create. And whether the platform reports a mark's
// hold, learned on a tree's top: where it does, a file whose path is long enough for a mark
// to go unheld (Wine's, past Linux's path limit) is checked.
struct DeletionMarks {
  bool atCreate;
  bool holdReported;
};

// One file of a folder's listing: its name as listed (counted, not terminated), relative to
// the open folder, and the ID the listing gave it (0: none to match, for a link that opens
// its target); and the length of the native path its copy will have.
struct ListedFile {
  HANDLE folder;
  const WCHAR* name;
  USHORT nameBytes;
  LONGLONG id;
  std::size_t copyUnits;
};

// What the copies of a run share: the data buffer, the progress and the rule for marks.
struct RunShared {
  BYTE* data;
  CopyProgress& progress;
  DeletionMarks& marks;
};

// Copies a listed file into a file of the same name created new in the open folder
// destinationFolder, as CopyFileNative copies: whole or removed again. The source opened
// must be the file listed (its ID the listing's), else it counts as not found. Prints
// nothing; progress counts the bytes as they move.
FileOutcome CopyListedFile(const ListedFile& source, HANDLE destinationFolder, RunShared& run);
