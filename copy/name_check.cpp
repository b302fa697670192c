#include "copy/name_check.h"

#include <cstddef>

#include "native/native_services.h"

namespace {

constexpr ULONG kNameOffset = offsetof(FILE_NAME_INFORMATION, FileName);

// The name the platform reports of an open file, in the given class: a name that does not
// fit the bytes offered is asked for again with the room its reported length takes, up to the
// whole record. Anything but a whole name that fits the room offered is no answer.
NTSTATUS QueryName(HANDLE file, FILE_INFORMATION_CLASS nameClass, BYTE* buffer, ULONG bytes,
                   UNICODE_STRING& name) {
  IO_STATUS_BLOCK io{};
  const auto* reply = reinterpret_cast<const FILE_NAME_INFORMATION*>(buffer);
  NTSTATUS status = NativeServices.ZwQueryInformationFile(file, &io, buffer, bytes, nameClass);
  if (status == STATUS_BUFFER_OVERFLOW && reply->FileNameLength > bytes - kNameOffset &&
      reply->FileNameLength <= kNameRecordBytes - kNameOffset) {
    bytes = kNameOffset + reply->FileNameLength;
    status = NativeServices.ZwQueryInformationFile(file, &io, buffer, bytes, nameClass);
  }
  if (status != STATUS_SUCCESS) {
    return status;
  }
  if (reply->FileNameLength > bytes - kNameOffset || reply->FileNameLength > 0xFFFE) {
    return STATUS_BUFFER_OVERFLOW;
  }
  name.Length = static_cast<USHORT>(reply->FileNameLength / sizeof(WCHAR) * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  name.Buffer = const_cast<PWSTR>(reply->FileName);  // NOLINT: read only, the platform's type
  return STATUS_SUCCESS;
}

// Takes the last name off text[0, end): name describes it and end moves to the separator
// before it. False when nothing is left.
bool TakeLastName(const WCHAR* text, std::size_t& end, UNICODE_STRING& name) {
  if (end == 0) {
    return false;
  }
  std::size_t start = end;
  while (start > 0 && text[start - 1] != kSeparator) {
    --start;
  }
  name.Buffer = const_cast<PWSTR>(text + start);  // NOLINT: read only, the platform's type
  name.Length = static_cast<USHORT>((end - start) * sizeof(WCHAR));
  name.MaximumLength = name.Length;
  end = start > 0 ? start - 1 : 0;
  return true;
}

bool DiffersInCaseAlone(const UNICODE_STRING& typed, const UNICODE_STRING& reported) {
  return NativeServices.RtlEqualUnicodeString(&typed, &reported, FALSE) == FALSE &&
         NativeServices.RtlEqualUnicodeString(&typed, &reported, TRUE) != FALSE;
}

}  // namespace

NTSTATUS CheckOpenedName(HANDLE file, const WCHAR* typedNames, BYTE* buffer, ULONG bufferBytes) {
  // The normalized name carries the letter case stored on disk; where a file system or
  // Wine does not give it, the opened name does on the platforms at hand.
  UNICODE_STRING reported{};
  if (QueryName(file, FileNormalizedNameInformation, buffer, bufferBytes, reported) !=
          STATUS_SUCCESS &&
      QueryName(file, FileNameInformation, buffer, bufferBytes, reported) != STATUS_SUCCESS) {
    return STATUS_SUCCESS;
  }
  std::size_t typedEnd = static_cast<std::size_t>(lstrlenW(typedNames));
  typedEnd -= typedEnd > 0 && typedNames[typedEnd - 1] == kSeparator ? 1 : 0;
  std::size_t reportedEnd = reported.Length / sizeof(WCHAR);
  UNICODE_STRING typed{};
  UNICODE_STRING name{};
  NTSTATUS verdict = STATUS_SUCCESS;
  for (bool own = true; TakeLastName(typedNames, typedEnd, typed) &&
                        TakeLastName(reported.Buffer, reportedEnd, name);
       own = false) {
    if (DiffersInCaseAlone(typed, name)) {
      verdict = own ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    }
  }
  return verdict;
}

bool IsUnknownId(LONGLONG id) {
  return id == 0 || id == -1;
}

LONGLONG FileIdOf(HANDLE file) {
  FILE_INTERNAL_INFORMATION internal{};
  IO_STATUS_BLOCK io{};
  return NativeServices.ZwQueryInformationFile(file, &io, &internal, sizeof internal,
                                               FileInternalInformation) == STATUS_SUCCESS
             ? internal.IndexNumber.QuadPart
             : 0;
}

NTSTATUS CheckListedId(HANDLE file, LONGLONG listedId) {
  if (IsUnknownId(listedId)) {
    return STATUS_SUCCESS;
  }
  FILE_INTERNAL_INFORMATION internal{};
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = NativeServices.ZwQueryInformationFile(
      file, &io, &internal, sizeof internal, FileInternalInformation);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  return internal.IndexNumber.QuadPart == listedId ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
