#include "tree/unfinished_record.h"

#include <algorithm>
#include <string>

#include "copy/copy_engine.h"
#include "copy/file_copy.h"
#include "copy/native_file.h"
#include "native/native_services.h"

namespace {

// What the record says, in UTF-16 as every path the tool holds: this line, then the path.
inline constexpr const WCHAR* kSignature = WIDE("vantro unfinished copy of\n");

std::size_t Length(const WCHAR* text) {
  return std::char_traits<WCHAR>::length(text);
}

void DescribeRecord(NativeFile& record, HANDLE top) {
  DescribeRelativeFile(record, top, kRecordName,
                       static_cast<USHORT>(Length(kRecordName) * sizeof(WCHAR)));
}

NTSTATUS WriteText(NativeFile& record, const WCHAR* text) {
  return WriteBlock(record, reinterpret_cast<const BYTE*>(text),
                    static_cast<ULONG>(Length(text) * sizeof(WCHAR)));
}

// The unit at this place of the record wanted: the signature, then the source's path.
WCHAR Wanted(const WCHAR* source, std::size_t at) {
  const std::size_t signature = Length(kSignature);
  return at < signature ? kSignature[at] : source[at - signature];
}

}  // namespace

NTSTATUS WriteRecord(HANDLE top, const WCHAR* source) {
  NativeFile record{};
  DescribeRecord(record, top);
  NTSTATUS status = OpenNativeFile(record, GENERIC_WRITE | SYNCHRONIZE | DELETE, FILE_CREATE,
                                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  status = WriteText(record, kSignature);
  status = status == STATUS_SUCCESS ? WriteText(record, source) : status;
  status = status == STATUS_SUCCESS
               ? SetTimeAndAttributes(record, LARGE_INTEGER{}, FILE_ATTRIBUTE_HIDDEN)
               : status;
  if (status != STATUS_SUCCESS) {
    SetDeletion(record, true);  // half a record names nothing
  }
  CloseHandle(record.handle);
  return status;
}

bool HoldsRecordOf(HANDLE top, const WCHAR* source, BYTE* data) {
  NativeFile record{};
  DescribeRecord(record, top);
  if (OpenNativeFile(record, GENERIC_READ | SYNCHRONIZE, FILE_OPEN,
                     FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                     FILE_SHARE_READ) != STATUS_SUCCESS) {
    return false;
  }
  const std::size_t units = Length(kSignature) + Length(source);
  std::size_t at = 0;
  bool same = true;
  while (same) {
    const NTSTATUS status =
        NativeServices.ZwReadFile(record.handle, nullptr, nullptr, nullptr, &record.io, data,
                                  kCopyBlockBytes, nullptr, nullptr);
    if (status == STATUS_END_OF_FILE || (status == STATUS_SUCCESS && record.io.Information == 0)) {
      break;
    }
    const auto* read = reinterpret_cast<const WCHAR*>(data);
    const std::size_t count = record.io.Information / sizeof(WCHAR);
    same = status == STATUS_SUCCESS && record.io.Information % sizeof(WCHAR) == 0;
    for (std::size_t unit = 0; same && unit < count; ++unit, ++at) {
      same = at < units && read[unit] == Wanted(source, at);
    }
  }
  CloseHandle(record.handle);
  return same && at == units;
}

NTSTATUS RemoveRecord(HANDLE top) {
  NativeFile record{};
  DescribeRecord(record, top);
  NTSTATUS status = OpenNativeFile(record, DELETE | SYNCHRONIZE, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
  if (status == STATUS_SUCCESS) {
    status = SetDeletion(record, true);
    CloseHandle(record.handle);
  }
  return status;
}

bool IsRecordName(const WCHAR* name, ULONG nameBytes) {
  const std::size_t units = Length(kRecordName);
  return nameBytes == units * sizeof(WCHAR) && std::equal(name, name + units, kRecordName);
}
