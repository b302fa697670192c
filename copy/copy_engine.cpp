#include "copy/copy_engine.h"

#include "console/console.h"
#include "console/messages.h"
#include "copy/name_check.h"
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
constexpr ULONG kNoSharing = 0;
constexpr ULONG kBlockBytes = kCopyBlockBytes;

// One file as the native services see it. Without OBJ_CASE_INSENSITIVE its name is
// looked up exactly as written. OBJ_KERNEL_HANDLE is dropped by the object manager for
// a caller in user mode, so the handle is this process's own and CloseHandle closes it.
struct NativeFile {
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK io;
  HANDLE handle;
};

// The two files of one copy, what the source looked like at its open, and whether the
// destination carries its deletion mark.
struct CopyFiles {
  NativeFile source;
  NativeFile destination;
  SourceState noted;
  bool marked;
};

// The step a copy failed in (kNone: the whole file arrived) and its status.
enum class Step { kNone, kOpen, kCreate, kRead, kWrite };
struct Outcome {
  Step failed;
  NTSTATUS status;
};

void DescribeFile(NativeFile& file, const WCHAR* nativePath) {
  NativeServices.RtlInitUnicodeString(&file.name, nativePath);
  file.attributes = ObjectAttributesFor(&file.name, OBJ_KERNEL_HANDLE);
  file.io.Status = STATUS_SUCCESS;
  file.io.Information = 0;
  file.handle = nullptr;
}

NTSTATUS OpenFile(NativeFile& file, ACCESS_MASK access, ULONG disposition, ULONG options) {
  const NTSTATUS status =
      NativeServices.ZwCreateFile(&file.handle, access, &file.attributes, &file.io, nullptr, 0,
                                  kNoSharing, disposition, options, nullptr, 0);
  if (status != STATUS_SUCCESS) {
    file.handle = nullptr;
  }
  return status;
}

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
  ULONGLONG readBytes = 0;
  for (;;) {
    const NTSTATUS status = NativeServices.ZwReadFile(
        source.handle, nullptr, nullptr, nullptr, &source.io, data, kBlockBytes, nullptr, nullptr);
    if (status == STATUS_END_OF_FILE) {
      break;
    }
    if (status != STATUS_SUCCESS) {
      return {Step::kRead, status};
    }
    const ULONG count = source.io.Information < kBlockBytes
                            ? static_cast<ULONG>(source.io.Information)
                            : kBlockBytes;
    if (count == 0) {
      break;
    }
    readBytes += count;
    const NTSTATUS written = WriteBlock(files.destination, data, count);
    if (written != STATUS_SUCCESS) {
      return {Step::kWrite, written};
    }
  }
  const NTSTATUS unchanged = CheckSourceUnchanged(source.handle, files.noted, readBytes);
  return {unchanged == STATUS_SUCCESS ? Step::kNone : Step::kRead, unchanged};
}

// Opens the source and holds it only if it is the file of exactly the typed names, then
// notes what it looks like.
Outcome OpenSource(CopyFiles& files, const WCHAR* typedNames, BYTE* data) {
  NTSTATUS status = OpenFile(files.source, kSourceAccess, FILE_OPEN, kSourceOptions);
  if (status == STATUS_SUCCESS) {
    // The data buffer is free until the copy starts: it takes the reported name.
    status = CheckOpenedName(files.source.handle, typedNames, data, kBlockBytes);
  }
  if (status != STATUS_SUCCESS) {
    return {Step::kOpen, status};
  }
  status = QuerySourceState(files.source.handle, files.noted);
  return {status == STATUS_SUCCESS ? Step::kNone : Step::kRead, status};
}

NTSTATUS SetDeletion(NativeFile& file, bool deleteFile) {
  FILE_DISPOSITION_INFORMATION disposition{static_cast<BOOLEAN>(deleteFile ? TRUE : FALSE)};
  return NativeServices.ZwSetInformationFile(file.handle, &file.io, &disposition,
                                             sizeof disposition, FileDispositionInformation);
}

// Creates the destination and marks it for deletion at once: however the process ends
// before the copy is whole, the platform removes the file when its handle goes. A folder
// that lets a user create files but not remove them refuses the right to delete: there
// the copy is made without the mark. A destination whose typed folders the platform
// matched in another letter case is refused as a folder that is not there; its mark
// removes it.
Outcome CreateDestination(CopyFiles& files, const WCHAR* typedNames, BYTE* data) {
  NativeFile& file = files.destination;
  NTSTATUS status = OpenFile(file, kDestinationAccess, FILE_CREATE, kDestinationOptions);
  if (status == STATUS_ACCESS_DENIED) {
    status = OpenFile(file, kDestinationAccess & ~DELETE, FILE_CREATE, kDestinationOptions);
  }
  if (status != STATUS_SUCCESS) {
    return {Step::kCreate, status};
  }
  files.marked = SetDeletion(file, true) == STATUS_SUCCESS;
  if (CheckOpenedName(file.handle, typedNames, data, kBlockBytes) != STATUS_SUCCESS) {
    return {Step::kCreate, STATUS_OBJECT_PATH_NOT_FOUND};
  }
  return {Step::kNone, STATUS_SUCCESS};
}

// Fills the marked destination; the mark is cleared only once the whole source arrived
// unchanged. A copy whose mark stays is removed at its close.
Outcome FillDestination(CopyFiles& files, BYTE* data) {
  Outcome outcome = CopyBlocks(files, data);
  if (outcome.failed == Step::kNone && files.marked) {
    outcome.status = SetDeletion(files.destination, false);
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

void Report(WCHAR* message, const Outcome& outcome, NTSTATUS createBlockStatus) {
  const WCHAR* formats[] = {nullptr, kErrorOpening, kErrorCreating, kErrorReading, kErrorWriting};
  BoundedFormat(message, kMessageBytes, formats[static_cast<int>(outcome.failed)],
                StatusCode(outcome.status), StatusCode(createBlockStatus));
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
  if (!copied) {
    Report(messageBuffer, outcome, files.destination.io.Status);
  }
  return copied;
}
