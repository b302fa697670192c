#include "copy/file_copy.h"

#include "console/stop.h"
#include "native/native_services.h"

namespace {

constexpr ACCESS_MASK kDestinationAccess = GENERIC_WRITE | SYNCHRONIZE | DELETE;
constexpr ULONG kDestinationOptions = FILE_SYNCHRONOUS_IO_ALERT;

FileOutcome Failed(CopyStep step, NTSTATUS status) {
  return {step, status, STATUS_SUCCESS, 0};
}

// Past about 4,096 bytes of Linux path, Wine takes a mark without error and keeps none: a
// native path this long may be that deep once the volume's own folder is before it.
constexpr std::size_t kDeepPathUnits = 1000;

// Marks the file just created, and where the platform reports a mark's hold and the path
// is deep, sees that it holds: a copy without a mark that holds would not be whole or
// nothing, so the file is refused.
NTSTATUS MarkAfterCreate(CopyFiles& files) {
  files.marked = SetDeletion(files.destination, true) == STATUS_SUCCESS;
  if (files.marked && files.marks->holdReported && files.destinationUnits > kDeepPathUnits &&
      !MarkHolds(files.destination)) {
    files.marked = false;
    return STATUS_CANNOT_DELETE;
  }
  return STATUS_SUCCESS;
}

// Moves blocks until the end of the source (a short read is not the end), then checks
// that the source is still the file that was opened and all of it arrived.
FileOutcome CopyBlocks(CopyFiles& files, BYTE* data) {
  NativeFile& source = files.source;
  for (;;) {
    if (StopRequested()) {
      return Stopped();
    }
    const NTSTATUS status =
        NativeServices.ZwReadFile(source.handle, nullptr, nullptr, nullptr, &source.io, data,
                                  kCopyBlockBytes, nullptr, nullptr);
    if (status == STATUS_END_OF_FILE) {
      break;
    }
    if (status != STATUS_SUCCESS) {
      return Failed(CopyStep::kRead, status);
    }
    const ULONG count = source.io.Information < kCopyBlockBytes
                            ? static_cast<ULONG>(source.io.Information)
                            : kCopyBlockBytes;
    if (count == 0) {
      break;
    }
    const NTSTATUS written = WriteBlock(files.destination, data, count);
    if (written != STATUS_SUCCESS) {
      return Failed(CopyStep::kWrite, written);
    }
    files.readBytes += count;
    UpdateProgress(*files.progress, files.readBytes);
  }
  const NTSTATUS unchanged = CheckSourceUnchanged(source.handle, files.noted, files.readBytes);
  return Failed(unchanged == STATUS_SUCCESS ? CopyStep::kNone : CopyStep::kRead, unchanged);
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
    status = files.markedAtCreate ? ClearMarkOfCreate(file) : SetDeletion(file, false);
    files.marked = status != STATUS_SUCCESS;
  }
  if (status == STATUS_SUCCESS && kept != writable) {
    status = SetTimeAndAttributes(file, LARGE_INTEGER{}, kept);
  }
  return status;
}

}  // namespace

NTSTATUS WriteBlock(NativeFile& destination, const BYTE* data, ULONG length) {
  ULONG written = 0;
  while (written < length) {
    const ULONG remaining = length - written;
    const NTSTATUS status =
        NativeServices.ZwWriteFile(destination.handle, nullptr, nullptr, nullptr, &destination.io,
                                   const_cast<BYTE*>(data) + written, remaining, nullptr, nullptr);
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

FileOutcome Stopped() {
  return Failed(CopyStep::kStopped, STATUS_CONTROL_C_EXIT);
}

NTSTATUS CreateMarkedDestination(CopyFiles& files) {
  NativeFile& file = files.destination;
  const ULONG markOption = files.marks->atCreate ? FILE_DELETE_ON_CLOSE : 0;
  NTSTATUS status =
      OpenNativeFile(file, kDestinationAccess, FILE_CREATE, kDestinationOptions | markOption);
  if (status == STATUS_ACCESS_DENIED) {
    return OpenNativeFile(file, kDestinationAccess & ~DELETE, FILE_CREATE, kDestinationOptions);
  }
  if (status != STATUS_SUCCESS) {
    return status;
  }
  files.markedAtCreate = markOption != 0;
  files.marked = files.markedAtCreate;
  return files.markedAtCreate ? STATUS_SUCCESS : MarkAfterCreate(files);
}

FileOutcome FillDestination(CopyFiles& files, BYTE* data) {
  FileOutcome outcome = CopyBlocks(files, data);
  if (outcome.failed == CopyStep::kNone) {
    outcome.status = KeepTimeAndAttributes(files);
    outcome.failed = outcome.status == STATUS_SUCCESS ? CopyStep::kNone : CopyStep::kWrite;
  }
  return outcome;
}

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
