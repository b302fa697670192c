#include "copy/copy_engine.h"

#include "console/console.h"
#include "console/messages.h"
#include "console/stop.h"
#include "copy/file_copy.h"
#include "copy/name_check.h"
#include "native/native_services.h"

namespace {

FileOutcome Failed(CopyStep step, NTSTATUS status) {
  return {step, status, STATUS_SUCCESS, 0};
}

// Opens the source and holds it only if it is the file of exactly the typed names, then
// notes what it looks like.
FileOutcome OpenTypedSource(CopyFiles& files, const NativeName& name, BYTE* data) {
  NTSTATUS status = OpenNativeFile(files.source, kSourceAccess, FILE_OPEN, kSourceOptions);
  if (status == STATUS_SUCCESS) {
    // The data buffer is free until the copy starts: it takes the reported name.
    status = CheckOpenedName(files.source.handle, name, data, kCopyBlockBytes);
  }
  if (status != STATUS_SUCCESS) {
    return Failed(CopyStep::kOpen, status);
  }
  status = QuerySourceState(files.source.handle, files.noted);
  return Failed(status == STATUS_SUCCESS ? CopyStep::kNone : CopyStep::kRead, status);
}

// A destination whose typed folders the platform matched in another letter case is
// refused as a folder that is not there; its mark removes it.
FileOutcome CreateTypedDestination(CopyFiles& files, const NativeName& name, BYTE* data) {
  if (StopRequested()) {
    return Stopped();
  }
  const NTSTATUS status = CreateMarkedDestination(files);
  if (status != STATUS_SUCCESS) {
    return Failed(CopyStep::kCreate, status);
  }
  if (CheckOpenedName(files.destination.handle, name, data, kCopyBlockBytes) != STATUS_SUCCESS) {
    return Failed(CopyStep::kCreate, STATUS_OBJECT_PATH_NOT_FOUND);
  }
  return Failed(CopyStep::kNone, STATUS_SUCCESS);
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the platform's order, source first
FileOutcome CopyTyped(CopyFiles& files, const NativeName& source, const NativeName& destination,
                      BYTE* data) {
  FileOutcome outcome = OpenTypedSource(files, source, data);
  if (outcome.failed == CopyStep::kNone) {
    StartProgress(*files.progress, static_cast<ULONGLONG>(files.noted.size));
    outcome = CreateTypedDestination(files, destination, data);
  }
  if (outcome.failed == CopyStep::kNone) {
    outcome = FillDestination(files, data);
  }
  return outcome;
}

// The line that reports a failed step.
const WCHAR* ErrorFormat(CopyStep step) {
  switch (step) {
    case CopyStep::kOpen: return kErrorOpening;
    case CopyStep::kCreate: return kErrorCreating;
    case CopyStep::kRead: return kErrorReading;
    case CopyStep::kWrite: return kErrorWriting;
    case CopyStep::kNone:
    case CopyStep::kStopped: break;
  }
  return nullptr;
}

FileOutcome OpenListedSource(CopyFiles& files, LONGLONG listedId) {
  NTSTATUS status = OpenNativeFile(files.source, kSourceAccess, FILE_OPEN, kSourceOptions);
  if (status == STATUS_SUCCESS) {
    status = CheckListedId(files.source.handle, listedId);
  }
  if (status != STATUS_SUCCESS) {
    return Failed(CopyStep::kOpen, status);
  }
  status = QuerySourceState(files.source.handle, files.noted);
  return Failed(status == STATUS_SUCCESS ? CopyStep::kNone : CopyStep::kRead, status);
}

}  // namespace

// Every failure is printed only once nothing is open, so that a console write that fails
// or ends the process cannot strand a half-written destination.
bool CopyFileNative(const NativeName& source, const NativeName& destination, WCHAR* messageBuffer,
                    BYTE* dataBuffer) {
  CopyProgress progress{};
  // One file: marked right after its create, as on every platform; a create's mark, or a
  // mark's hold, would need the platform asked first, on a file of its own.
  DeletionMarks marks{false, false};
  CopyFiles files{};
  files.progress = &progress;
  files.marks = &marks;
  files.destinationUnits = static_cast<std::size_t>(lstrlenW(destination.path));
  DescribeFile(files.source, source.path);
  DescribeFile(files.destination, destination.path);
  const FileOutcome outcome = CopyTyped(files, source, destination, dataBuffer);
  const bool copied = outcome.failed == CopyStep::kNone;
  CloseFiles(files, copied);
  EndProgress(progress, files.readBytes);
  if (!copied && outcome.failed != CopyStep::kStopped) {
    BoundedFormat(messageBuffer, kMessageBytes, ErrorFormat(outcome.failed),
                  StatusCode(outcome.status), StatusCode(files.destination.io.Status));
    ConsolePrint(messageBuffer);
  }
  return copied;
}

FileOutcome CopyListedFile(const ListedFile& source, HANDLE destinationFolder, RunShared& run) {
  if (StopRequested()) {
    return Stopped();
  }
  CopyFiles files{};
  files.progress = &run.progress;
  files.marks = &run.marks;
  files.destinationUnits = source.copyUnits;
  DescribeRelativeFile(files.source, source.folder, source.name, source.nameBytes);
  DescribeRelativeFile(files.destination, destinationFolder, source.name, source.nameBytes);
  FileOutcome outcome = OpenListedSource(files, source.id);
  if (outcome.failed == CopyStep::kNone) {
    const NTSTATUS status = CreateMarkedDestination(files);
    outcome = Failed(status == STATUS_SUCCESS ? CopyStep::kNone : CopyStep::kCreate, status);
  }
  if (outcome.failed == CopyStep::kNone) {
    outcome = FillDestination(files, run.data);
  }
  const bool copied = outcome.failed == CopyStep::kNone;
  CloseFiles(files, copied);
  outcome.createBlockStatus = files.destination.io.Status;
  outcome.bytes = files.readBytes;
  return outcome;
}
