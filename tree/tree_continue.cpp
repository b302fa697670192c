#include "tree/tree_continue.h"

#include "console/messages.h"
#include "copy/file_copy.h"
#include "copy/name_check.h"
#include "copy/native_file.h"
#include "native/native_services.h"
#include "tree/unfinished_record.h"

namespace {

UNICODE_STRING NameOf(const Entry& entry) {
  const auto bytes = static_cast<USHORT>(entry.FileNameLength);
  return {bytes, bytes, const_cast<PWSTR>(entry.FileName)};  // NOLINT: read only
}

// Opens the entry's name in the level's new folder, only when it is stored under exactly
// that name.
NTSTATUS OpenThere(TreeWalk& walk, const TreeLevel& level, const Entry& entry, NativeFile& there,
                   ACCESS_MASK access, ULONG options) {
  DescribeRelativeFile(there, level.destination, entry.FileName,
                       static_cast<USHORT>(entry.FileNameLength));
  NTSTATUS status = OpenNativeFile(there, access, FILE_OPEN, options, kShareAll);
  if (status == STATUS_SUCCESS && !level.caseSensitive &&
      !IsStoredAs(there.handle, level.destination, NameOf(entry), walk.data, kCopyBlockBytes)) {
    CloseHandle(there.handle);
    status = STATUS_OBJECT_NAME_NOT_FOUND;
  }
  return status;
}

bool IsWholeCopy(const SourceState& there, const Entry& entry) {
  return there.size == entry.EndOfFile.QuadPart &&
         there.basic.LastWriteTime.QuadPart == entry.LastWriteTime.QuadPart &&
         (there.basic.FileAttributes & kKeptAttributes) == (entry.FileAttributes & kKeptAttributes);
}

// Whether the source folder lists exactly this name: asked by a handle of its own, with
// the name as the mask. Not a listing it could make: it says so.
bool SourceHas(TreeWalk& walk, const TreeLevel& level, const Entry& entry, NTSTATUS& status) {
  NativeFile source{};
  DescribeRelativeFile(source, level.source, nullptr, 0);
  status = OpenNativeFile(source, kListAccess, FILE_OPEN, kFolderOptions, kShareAll);
  if (status != STATUS_SUCCESS) {
    return true;
  }
  UNICODE_STRING name = NameOf(entry);
  IO_STATUS_BLOCK io{};
  status = NativeServices.ZwQueryDirectoryFile(source.handle, nullptr, nullptr, nullptr, &io,
                                               walk.data, kCopyBlockBytes,
                                               FileIdFullDirectoryInformation, FALSE, &name, TRUE);
  CloseHandle(source.handle);
  bool has = false;
  for (ULONG offset = 0; status == STATUS_SUCCESS && !has;) {
    const auto* listed = reinterpret_cast<const Entry*>(walk.data + offset);
    const UNICODE_STRING other = NameOf(*listed);
    has = NativeServices.RtlEqualUnicodeString(&name, &other, FALSE) != FALSE;
    if (listed->NextEntryOffset == 0) {
      break;
    }
    offset += listed->NextEntryOffset;
  }
  const bool listed =
      status == STATUS_SUCCESS || status == STATUS_NO_SUCH_FILE || status == STATUS_NO_MORE_FILES;
  status = listed ? STATUS_SUCCESS : status;
  return has || !listed;
}

// One pass over the new folder's entries, but dots and the record: counts them, or (check)
// reports those the source lacks.
ULONGLONG PassOverNewFolder(TreeWalk& walk, TreeLevel& level, bool check) {
  ULONGLONG count = 0;
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NativeServices.ZwQueryDirectoryFile(
        level.destination, nullptr, nullptr, nullptr, &io, level.listing, kListingBytes,
        FileIdFullDirectoryInformation, FALSE, nullptr, restart);
    if (status != STATUS_SUCCESS) {
      return count;
    }
    for (ULONG offset = 0;;) {
      const auto* entry = reinterpret_cast<const Entry*>(level.listing + offset);
      const bool counted =
          !IsDotName(*entry) &&
          !(level.pathEnd == 0 && IsRecordName(entry->FileName, entry->FileNameLength));
      count += counted ? 1 : 0;
      NTSTATUS listed = STATUS_SUCCESS;
      if (check && counted && !SourceHas(walk, level, *entry, listed)) {
        NameEntry(walk, level, *entry);
        FailEntry(walk, kNotInSource, STATUS_SUCCESS);
        ++walk.notInSource;
      } else if (check && counted && listed != STATUS_SUCCESS) {
        NameEntry(walk, level, *entry);
        FailEntry(walk, kTreeErrorReading, listed);
      }
      if (entry->NextEntryOffset == 0) {
        break;
      }
      offset += entry->NextEntryOffset;
    }
  }
}

}  // namespace

Place TakePlace(TreeWalk& walk, const TreeLevel& level, const Entry& entry) {
  NativeFile there{};
  constexpr ACCESS_MASK kAccess =
      FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | DELETE | SYNCHRONIZE;
  if (OpenThere(walk, level, entry, there, kAccess,
                FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT) != STATUS_SUCCESS) {
    return Place::kFree;
  }
  SourceState now{};
  NTSTATUS status = QuerySourceState(there.handle, now);
  if (status == STATUS_SUCCESS && IsWholeCopy(now, entry)) {
    CloseHandle(there.handle);
    return Place::kThere;
  }
  // Read-only once whole: the platform removes no read-only file.
  if (status == STATUS_SUCCESS && (now.basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    status = SetTimeAndAttributes(there, LARGE_INTEGER{}, FILE_ATTRIBUTE_NORMAL);
  }
  status = status == STATUS_SUCCESS ? SetDeletion(there, true) : status;
  CloseHandle(there.handle);
  if (status != STATUS_SUCCESS) {
    FailEntry(walk, kTreeErrorCreating, status, STATUS_SUCCESS);
    return Place::kFailed;
  }
  return Place::kFree;
}

HANDLE OpenFolderThere(TreeWalk& walk, const TreeLevel& level, const Entry& entry) {
  NativeFile there{};
  return OpenThere(walk, level, entry, there, kNewFolderAccess, kFolderOptions) == STATUS_SUCCESS
             ? there.handle
             : nullptr;
}

bool IsCaseSensitive(HANDLE folder) {
  FILE_CASE_SENSITIVE_INFORMATION mark{};
  IO_STATUS_BLOCK io{};
  return NativeServices.ZwQueryInformationFile(folder, &io, &mark, sizeof mark,
                                               FileCaseSensitiveInformation) == STATUS_SUCCESS &&
         (mark.Flags & FILE_CS_FLAG_CASE_SENSITIVE_DIR) != 0;
}

void ReportWhatTheSourceLacks(TreeWalk& walk, TreeLevel& level) {
  if (PassOverNewFolder(walk, level, false) > level.present) {
    PassOverNewFolder(walk, level, true);
  }
}
