#include "copy/native_file.h"

#include "native/native_services.h"

namespace {

// The file named by file.name, relative to folder (none: a full native path), not open.
void DescribeNamed(NativeFile& file, HANDLE folder) {
  file.attributes = ObjectAttributesFor(&file.name, OBJ_KERNEL_HANDLE);
  file.attributes.RootDirectory = folder;
  file.io.Status = STATUS_SUCCESS;
  file.io.Information = 0;
  file.handle = nullptr;
}

}  // namespace

void DescribeFile(NativeFile& file, const WCHAR* nativePath) {
  NativeServices.RtlInitUnicodeString(&file.name, nativePath);
  DescribeNamed(file, nullptr);
}

void DescribeRelativeFile(NativeFile& file, HANDLE folder, const WCHAR* name, USHORT nameBytes) {
  file.name.Buffer = const_cast<PWSTR>(name);  // NOLINT: read only, the platform's type
  file.name.Length = nameBytes;
  file.name.MaximumLength = nameBytes;
  DescribeNamed(file, folder);
}

NTSTATUS OpenNativeFile(NativeFile& file, ACCESS_MASK access, ULONG disposition, ULONG options,
                        ULONG share) {
  const NTSTATUS status =
      NativeServices.ZwCreateFile(&file.handle, access, &file.attributes, &file.io, nullptr, 0,
                                  share, disposition, options, nullptr, 0);
  if (status != STATUS_SUCCESS) {
    file.handle = nullptr;
  }
  return status;
}

NTSTATUS SetDeletion(NativeFile& file, bool deleteFile) {
  FILE_DISPOSITION_INFORMATION disposition{static_cast<BOOLEAN>(deleteFile ? TRUE : FALSE)};
  return NativeServices.ZwSetInformationFile(file.handle, &file.io, &disposition,
                                             sizeof disposition, FileDispositionInformation);
}

NTSTATUS ClearMarkOfCreate(NativeFile& file) {
  FILE_DISPOSITION_INFORMATION_EX disposition{FILE_DISPOSITION_ON_CLOSE};
  return NativeServices.ZwSetInformationFile(file.handle, &file.io, &disposition,
                                             sizeof disposition, FileDispositionInformationEx);
}

bool CanClearMarkOfCreate(NativeFile& file) {
  return ClearMarkOfCreate(file) == STATUS_SUCCESS;
}

bool MarkHolds(NativeFile& file) {
  FILE_STANDARD_INFORMATION standard{};
  IO_STATUS_BLOCK io{};
  return NativeServices.ZwQueryInformationFile(file.handle, &io, &standard, sizeof standard,
                                               FileStandardInformation) == STATUS_SUCCESS &&
         standard.DeletePending != FALSE;
}

bool ReportsMarkHold(NativeFile& file) {
  if (SetDeletion(file, true) != STATUS_SUCCESS) {
    return false;
  }
  const bool reported = MarkHolds(file);
  return SetDeletion(file, false) == STATUS_SUCCESS && reported;
}

NTSTATUS SetTimeAndAttributes(NativeFile& file, LARGE_INTEGER lastWrite, ULONG attributes) {
  FILE_BASIC_INFORMATION basic{};
  basic.LastWriteTime = lastWrite;
  basic.FileAttributes = attributes;
  return NativeServices.ZwSetInformationFile(file.handle, &file.io, &basic, sizeof basic,
                                             FileBasicInformation);
}
