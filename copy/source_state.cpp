#include "copy/source_state.h"

#include "native/native_services.h"

namespace {

bool SameTime(const LARGE_INTEGER& left, const LARGE_INTEGER& right) {
  return left.QuadPart == right.QuadPart;
}

}  // namespace

NTSTATUS QuerySourceState(HANDLE file, SourceState& state) {
  IO_STATUS_BLOCK io{};
  NTSTATUS status = NativeServices.ZwQueryInformationFile(file, &io, &state.basic,
                                                          sizeof state.basic, FileBasicInformation);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  FILE_STANDARD_INFORMATION standard{};
  status = NativeServices.ZwQueryInformationFile(file, &io, &standard, sizeof standard,
                                                 FileStandardInformation);
  state.size = standard.EndOfFile.QuadPart;
  return status;
}

NTSTATUS CheckSourceUnchanged(HANDLE file, const SourceState& noted, ULONGLONG readBytes) {
  SourceState now{};
  const NTSTATUS status = QuerySourceState(file, now);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  const bool same = now.size == noted.size && static_cast<ULONGLONG>(noted.size) == readBytes &&
                    SameTime(now.basic.LastWriteTime, noted.basic.LastWriteTime) &&
                    SameTime(now.basic.ChangeTime, noted.basic.ChangeTime);
  return same ? STATUS_SUCCESS : STATUS_SHARING_VIOLATION;
}
