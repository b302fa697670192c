#include "copy/copy_engine.h"

#include "console/console.h"
#include "console/messages.h"
#include "console/progress.h"
#include "copy/name_check.h"
#include "copy/native_file.h"
#include "copy/source_state.h"
#include "native/native_services.h"

namespace {

// The source is read without sharing and must not be a directory; the destination is
// created new, without sharing, with the right to remove it again if the copy fails.
// FILE_SYNCHRONOUS_IO_ALERT (with SYNCHRONIZE access) makes every read and write complete
// before its call returns and keeps the file's current position, so no byte offset is
// passed; the wait is alertable, but the tool queues no APC that could end it early.
constexpr ACCESS_MASK kSourceAccess = GENERIC_READ | SYNCHRONIZE;
constexpr ACCESS_MASK kDestinationAccess = GENERIC_WRITE | SYNCHRONIZE | DELETE;
constexpr ULONG kSourceOptions = FILE_SYNCHRONOUS_IO_ALERT | FILE_NON_DIRECTORY_FILE;
constexpr ULONG kDestinationOptions = FILE_SYNCHRONOUS_IO_ALERT;
// The attributes Windows' own copy gives the new file, as far as a file's basic information
// sets them: not compression, encryption, sparseness or a reparse point.
constexpr ULONG kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The two files of one copy, what the source looked like at its open, whether the
// destination carries its deletion mark, and how far the copy is.
struct CopyFiles {
  NativeFile source;
  NativeFile destination;
  SourceState noted;
  bool marked;
  ULONGLONG readBytes;
  CopyProgress progress;
};

// The step a copy failed in (kNone: the whole file arrived) and its status.
enum class Step { kNone, kOpen, kCreate, kRead, kWrite };
struct Outcome {
  Step failed;
  NTSTATUS status;
};

// Writes the whole block: a write that moves part of it is continued with the rest,
// and one that moves nothing while reporting success means the volume is full.
NTSTATUS WriteBlock(NativeFile& destination, BYTE* data, ULONG length) {
  ULONG written = 0;
  while (written < length) {
    const ULONG remaining = length - written;
    const NTSTATUS status =
        NativeServices.ZwWriteFile(destination.handle, nullptr, nullptr, nullptr, &destination.io,
                                   data + written, remaining, nullptr, nullptr);
    if (status != STATUS_SUCCESS) {
      return status;
    }
    if (destination.io.Information == 0) {
      return STATUS_DISK_FULL;
    }
    written += destination.io.Information < remaining
                   ? static_cast<ULONG>(destination.io.Information)
                   : remaining;
  }
  return STATUS_SUCCESS;
}

// Moves blocks until the end of the source (a short read is not the end), then checks
// that the source is still the file that was opened and all of it arrived.
Outcome CopyBlocks(CopyFiles& files, BYTE* data) {
  NativeFile& source = files.source;
  StartProgress(files.progress, static_cast<ULONGLONG>(files.noted.size));
  for (;;) {
    const NTSTATUS status =
        NativeServices.ZwReadFile(source.handle, nullptr, nullptr, nullptr, &source.io, data,
                                  kCopyBlockBytes, nullptr, nullptr);
    if (status == STATUS_END_OF_FILE) {
      break;
    }
    if (status != STATUS_SUCCESS) {
      return {Step::kRead, status};
    }
    const ULONG count = source.io.Information < kCopyBlockBytes
                            ? static_cast<ULONG>(source.io.Information)
                            : kCopyBlockBytes;
    if (count == 0) {
      break;
    }
    const NTSTATUS written = WriteBlock(files.destination, data, count);
    if (written != STATUS_SUCCESS) {
      return {Step::kWrite, written};
    }
    files.readBytes += count;
    UpdateProgress(files.progress, files.readBytes);
  }
  const NTSTATUS unchanged = CheckSourceUnchanged(source.handle, files.noted, files.readBytes);
  return {unchanged == STATUS_SUCCESS ? Step::kNone : Step::kRead, unchanged};
}

// Opens the source and holds it only if it is the file of exactly the typed names, then
// notes what it looks like.
Outcome OpenSource(CopyFiles& files, const WCHAR* typedNames, BYTE* data) {
  NTSTATUS status = OpenNativeFile(files.source, kSourceAccess, FILE_OPEN, kSourceOptions);
  if (status == STATUS_SUCCESS) {
    // The data buffer is free until the copy starts: it takes the reported name.
    status = CheckOpenedName(files.source.handle, typedNames, data, kCopyBlockBytes);
  }
  if (status != STATUS_SUCCESS) {
    return {Step::kOpen, status};
  }
  status = QuerySourceState(files.source.handle, files.noted);
  return {status == STATUS_SUCCESS ? Step::kNone : Step::kRead, status};
}

// Creates the destination and marks it for deletion at once: however the process ends
// before the copy is whole, the platform removes the file when its handle goes. A folder
// that lets a user create files but not remove them refuses the right to delete: there
// the copy is made without the mark. A destination whose typed folders the platform
// matched in another letter case is refused as a folder that is not there; its mark
// removes it.
Outcome CreateDestination(CopyFiles& files, const WCHAR* typedNames, BYTE* data) {
  NativeFile& file = files.destination;
  NTSTATUS status = OpenNativeFile(file, kDestinationAccess, FILE_CREATE, kDestinationOptions);
  if (status == STATUS_ACCESS_DENIED) {
    status = OpenNativeFile(file, kDestinationAccess & ~DELETE, FILE_CREATE, kDestinationOptions);
  }
  if (status != STATUS_SUCCESS) {
    return {Step::kCreate, status};
  }
  files.marked = SetDeletion(file, true) == STATUS_SUCCESS;
  if (CheckOpenedName(file.handle, typedNames, data, kCopyBlockBytes) != STATUS_SUCCESS) {
    return {Step::kCreate, STATUS_OBJECT_PATH_NOT_FOUND};
  }
  return {Step::kNone, STATUS_SUCCESS};
}

// Gives the whole copy the source's last-write time and attributes, as Windows' own copy
// does, then clears its mark. Read-only comes last, once nothing else can fail: the
// platform refuses the mark of a read-only file, so a copy made read-only any earlier could
// not be removed if it failed or was stopped. Should read-only itself be refused, the file
// is marked again, since it is not read-only yet.
NTSTATUS KeepTimeAndAttributes(CopyFiles& files) {
  const ULONG kept = files.noted.basic.FileAttributes & kKeptAttributes;
  const ULONG writable = kept & ~FILE_ATTRIBUTE_READONLY;
  NativeFile& file = files.destination;
  NTSTATUS status = SetTimeAndAttributes(file, files.noted.basic.LastWriteTime,
                                         writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL);
  if (status == STATUS_SUCCESS && files.marked) {
    status = SetDeletion(file, false);
    files.marked = status != STATUS_SUCCESS;
  }
  if (status == STATUS_SUCCESS && kept != writable) {
    status = SetTimeAndAttributes(file, LARGE_INTEGER{}, kept);
  }
  return status;
}

// Fills the marked destination; it loses the mark only once the whole source arrived
// unchanged. A copy whose mark stays is removed at its close.
Outcome FillDestination(CopyFiles& files, BYTE* data) {
  Outcome outcome = CopyBlocks(files, data);
  if (outcome.failed == Step::kNone) {
    outcome.status = KeepTimeAndAttributes(files);
    outcome.failed = outcome.status == STATUS_SUCCESS ? Step::kNone : Step::kWrite;
  }
  return outcome;
}

Outcome CopyMarked(CopyFiles& files, const NativeName& source, const NativeName& destination,
                   BYTE* data) {
  Outcome outcome = OpenSource(files, source.typedNames, data);
  if (outcome.failed == Step::kNone) {
    outcome = CreateDestination(files, destination.typedNames, data);
  }
  if (outcome.failed == Step::kNone) {
    outcome = FillDestination(files, data);
  }
  return outcome;
}

// The one close path: a destination that is not a whole copy and has no mark yet gets it
// now, so that its close removes it.
void CloseFiles(CopyFiles& files, bool copied) {
  if (files.source.handle != nullptr) {
    CloseHandle(files.source.handle);
  }
  if (files.destination.handle != nullptr) {
    if (!copied && !files.marked) {
      SetDeletion(files.destination, true);
    }
    CloseHandle(files.destination.handle);
  }
}

// The line that reports a failed step.
const WCHAR* ErrorFormat(Step step) {
  switch (step) {
    case Step::kOpen: return kErrorOpening;
    case Step::kCreate: return kErrorCreating;
    case Step::kRead: return kErrorReading;
    case Step::kWrite: return kErrorWriting;
    case Step::kNone: break;
  }
  return nullptr;
}

void Report(WCHAR* message, const Outcome& outcome, NTSTATUS createBlockStatus) {
  BoundedFormat(message, kMessageBytes, ErrorFormat(outcome.failed), StatusCode(outcome.status),
                StatusCode(createBlockStatus));
  ConsolePrint(message);
}

}  // namespace

// Every failure is printed only once nothing is open, so that a console write that fails
// or ends the process cannot strand a half-written destination.
bool CopyFileNative(const NativeName& source, const NativeName& destination, WCHAR* messageBuffer,
                    BYTE* dataBuffer) {
  CopyFiles files{};
  DescribeFile(files.source, source.path);
  DescribeFile(files.destination, destination.path);
  const Outcome outcome = CopyMarked(files, source, destination, dataBuffer);
  const bool copied = outcome.failed == Step::kNone;
  CloseFiles(files, copied);
  EndProgress(files.progress, files.readBytes);
  if (!copied) {
    Report(messageBuffer, outcome, files.destination.io.Status);
  }
  return copied;
}
