// The steps of one file's copy, shared by the copy of a file named by its path and by the
// copy of a file named by a folder's listing.
#pragma once

#include <cstddef>

#include "console/progress.h"
#include "copy/copy_engine.h"
#include "copy/native_file.h"
#include "copy/source_state.h"

// The source is read without sharing and must not be a directory; the destination is
// created new, without sharing, with the right to remove it again if the copy fails.
// FILE_SYNCHRONOUS_IO_ALERT (with SYNCHRONIZE access) makes every read and write complete
// before its call returns and keeps the file's current position, so no byte offset is
// passed; the wait is alertable, but the tool queues no APC that could end it early.
constexpr ACCESS_MASK kSourceAccess = GENERIC_READ | SYNCHRONIZE;
constexpr ULONG kSourceOptions = FILE_SYNCHRONOUS_IO_ALERT | FILE_NON_DIRECTORY_FILE;

// The two files of one copy, what the source looked like at its open, whether the
// destination carries its deletion mark (and whether its create gave it), and how far the
// copy is.
struct CopyFiles {
  NativeFile source;
  NativeFile destination;
  SourceState noted;
  bool marked;
  bool markedAtCreate;
  ULONGLONG readBytes;
  CopyProgress* progress;
  DeletionMarks* marks;
  std::size_t destinationUnits;  // the length of the destination's native path
};

// The failure a stop ends a file's copy with: no line of its own.
FileOutcome Stopped();

// Creates the destination marked for deletion: however the process ends before the copy is
// whole, the platform removes the file when its handle goes. The mark comes with the create
// where the run's rule says so, else right after it. A folder that lets a user create files
// but not remove them refuses the right to delete: there the copy is made without the mark.
NTSTATUS CreateMarkedDestination(CopyFiles& files);

// Writes the whole block: a write that moves part of it is continued with the rest, and one
// that moves nothing while reporting success means the volume is full.
NTSTATUS WriteBlock(NativeFile& destination, const BYTE* data, ULONG length);

// Fills the marked destination and gives it the source's time and attributes; it loses
// the mark only once the whole source arrived unchanged.
FileOutcome FillDestination(CopyFiles& files, BYTE* data);

// The one close path: a destination that is not a whole copy and has no mark yet gets it
// now, so that its close removes it.
void CloseFiles(CopyFiles& files, bool copied);
