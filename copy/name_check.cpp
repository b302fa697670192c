#include "copy/name_check.h"

#include <cstddef>

#include "copy/native_file.h"
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

// What a differing name means: the file's own name is not found, a folder's is a path not
// found.
NTSTATUS NotFound(bool own) {
  return own ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
}

// The typed names against a reported path, aligned from the last name back.
NTSTATUS CompareWithReported(const WCHAR* typedNames, const UNICODE_STRING& reported) {
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
      verdict = NotFound(own);
    }
  }
  return verdict;
}

// Not a status: the listing could not be made, and proves nothing.
constexpr NTSTATUS kNotListed = STATUS_PENDING;

// Whether a name holds a character a listing's mask takes as a wildcard: such a name
// cannot be asked for alone.
bool HasWildcard(const UNICODE_STRING& name) {
  for (std::size_t at = 0; at < name.Length / sizeof(WCHAR); ++at) {
    const WCHAR unit = name.Buffer[at];
    if (unit == u'*' || unit == u'?' || unit == u'<' || unit == u'>' || unit == u'"') {
      return true;
    }
  }
  return false;
}

// The typed name against the names the open folder lists for it as the mask, as stored:
// STATUS_SUCCESS when one is the typed name exactly or none differs from it in case alone,
// else a not found; kNotListed when it cannot be listed. The folder's handle is spent: a
// platform lists a folder once per handle (Wine reads the mask at the first call only).
NTSTATUS ListedVerdict(NativeFile& folder, UNICODE_STRING& typed, bool own, BYTE* buffer,
                       ULONG bufferBytes) {
  if (OpenNativeFile(folder, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_OPEN, kFolderOptions,
                     kShareAll) != STATUS_SUCCESS) {
    return kNotListed;
  }
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = NativeServices.ZwQueryDirectoryFile(
      folder.handle, nullptr, nullptr, nullptr, &io, buffer, bufferBytes,
      FileIdFullDirectoryInformation, FALSE, &typed, TRUE);
  CloseHandle(folder.handle);
  if (status == STATUS_NO_SUCH_FILE || status == STATUS_NO_MORE_FILES) {
    return STATUS_SUCCESS;  // listed under no such name (a short name, say): nothing to tell
  }
  if (status != STATUS_SUCCESS) {
    return kNotListed;
  }
  bool differs = false;
  for (ULONG offset = 0;;) {
    const auto* entry = reinterpret_cast<const FILE_ID_FULL_DIR_INFORMATION*>(buffer + offset);
    const auto bytes = static_cast<USHORT>(entry->FileNameLength);
    const UNICODE_STRING listed{bytes, bytes, const_cast<PWSTR>(entry->FileName)};  // NOLINT
    if (NativeServices.RtlEqualUnicodeString(&typed, &listed, FALSE) != FALSE) {
      return STATUS_SUCCESS;
    }
    differs = differs || DiffersInCaseAlone(typed, listed);
    if (entry->NextEntryOffset == 0) {
      return differs ? NotFound(own) : STATUS_SUCCESS;
    }
    offset += entry->NextEntryOffset;
  }
}

// The typed name against its folder's listing: the folder is the path's first folderUnits
// units.
NTSTATUS CheckByListing(const WCHAR* path, std::size_t folderUnits, UNICODE_STRING& typed, bool own,
                        BYTE* buffer, ULONG bufferBytes) {
  NativeFile folder{};
  DescribeRelativeFile(folder, nullptr, path, static_cast<USHORT>(folderUnits * sizeof(WCHAR)));
  return ListedVerdict(folder, typed, own, buffer, bufferBytes);
}

// Each typed name, first to last, against its folder's listing.
NTSTATUS CheckEachByListing(const NativeName& name, BYTE* buffer, ULONG bufferBytes) {
  const WCHAR* path = name.path;
  std::size_t end = static_cast<std::size_t>(lstrlenW(path));
  end -= end > 0 && path[end - 1] == kSeparator ? 1 : 0;
  auto start = static_cast<std::size_t>(name.typedNames - path);
  while (start < end) {
    std::size_t stop = start;
    while (stop < end && path[stop] != kSeparator) {
      ++stop;
    }
    const auto bytes = static_cast<USHORT>((stop - start) * sizeof(WCHAR));
    UNICODE_STRING typed{bytes, bytes, const_cast<PWSTR>(path + start)};  // NOLINT: read only
    if (bytes > 0 && !HasWildcard(typed)) {
      const NTSTATUS verdict = CheckByListing(path, start, typed, stop == end, buffer, bufferBytes);
      if (verdict != STATUS_SUCCESS) {
        return verdict;
      }
    }
    start = stop + 1;
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CheckOpenedName(HANDLE file, const NativeName& name, BYTE* buffer, ULONG bufferBytes) {
  UNICODE_STRING reported{};
  if (QueryName(file, FileNormalizedNameInformation, buffer, bufferBytes, reported) ==
      STATUS_SUCCESS) {
    return CompareWithReported(name.typedNames, reported);
  }
  const NTSTATUS listed = CheckEachByListing(name, buffer, bufferBytes);
  if (listed != kNotListed) {
    return listed;
  }
  if (QueryName(file, FileNameInformation, buffer, bufferBytes, reported) == STATUS_SUCCESS) {
    return CompareWithReported(name.typedNames, reported);
  }
  return STATUS_SUCCESS;
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
