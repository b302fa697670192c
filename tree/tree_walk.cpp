#include "tree/tree_walk.h"

#include <algorithm>

#include "console/console.h"
#include "console/messages.h"
#include "console/stop.h"
#include "copy/name_check.h"
#include "copy/native_file.h"
#include "native/native_services.h"
#include "tree/folder_identity.h"
#include "tree/tree_continue.h"
#include "tree/unfinished_record.h"

namespace {

// A name surrogate (junction, symbolic link, mount point, WSL's link) redirects to another
// place; its tag's bit says so on Windows. Wine gives no tag, and marks only links and mount
// points as reparse points.
bool IsLink(const Entry& entry) {
  return (entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (entry.EaSize == 0 || (entry.EaSize & kReparseNameSurrogate) != 0);
}

// A FIFO, a socket or a device, as Windows lists those of a WSL folder: nothing to copy.
bool IsSpecialFile(const Entry& entry) {
  const ULONG tag = entry.EaSize;
  return (entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (tag == kReparseTagAfUnix || tag == kReparseTagLxFifo || tag == kReparseTagLxCharDevice ||
          tag == kReparseTagLxBlockDevice);
}

// A link whose target cannot be reached: dangling, or one the platform cannot follow (WSL's
// links, c0000279). It is skipped as a link that is not followed.
bool IsUnfollowedLink(const Entry& entry, NTSTATUS status) {
  return IsLink(entry) &&
         (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND ||
          status == STATUS_NO_SUCH_FILE || status == STATUS_IO_REPARSE_TAG_NOT_HANDLED);
}

// A folder of the system's that refuses every user: hidden and system, and its open denied
// (a volume's System Volume Information, another user's recycle bin).
bool IsProtectedFolder(const Entry& entry, NTSTATUS status) {
  constexpr ULONG kHiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  return status == STATUS_ACCESS_DENIED && (entry.FileAttributes & kHiddenSystem) == kHiddenSystem;
}

// What ends the walk: the destination as a whole can take nothing more.
bool FailsTheDestination(NTSTATUS status) {
  return status == STATUS_DISK_FULL || status == STATUS_QUOTA_EXCEEDED ||
         status == STATUS_MEDIA_WRITE_PROTECTED;
}

// The path of the folder at this level, terminated; the top folder is ".".
const WCHAR* FolderPath(TreeWalk& walk, const TreeLevel& level) {
  walk.buffers.relative[level.pathEnd] = 0;
  return level.pathEnd == 0 ? WIDE(".") : walk.buffers.relative;
}

// An entry left out on purpose: its line, and no failure. Only links are counted.
void Skip(TreeWalk& walk, const WCHAR* format) {
  ReportPath(walk, format, walk.buffers.relative, STATUS_SUCCESS);
  walk.skipped += format == kSkippedLink ? 1 : 0;
}

// The next entry of the level's listing, listing more where it is used up; nullptr at its
// end, or when the listing failed (reported). A file system that lists no "." and ".." (a
// FAT volume's root, WinFsp and Dokan file systems) answers the first listing of an empty
// folder with STATUS_NO_SUCH_FILE.
const Entry* NextEntry(TreeWalk& walk, TreeLevel& level) {
  if (!level.listed) {
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NativeServices.ZwQueryDirectoryFile(
        level.source, nullptr, nullptr, nullptr, &io, level.listing, kListingBytes,
        FileIdFullDirectoryInformation, FALSE, nullptr, FALSE);
    const bool first = !level.begun;
    level.begun = true;
    if (status == STATUS_NO_MORE_FILES || (first && status == STATUS_NO_SUCH_FILE)) {
      return nullptr;
    }
    if (status != STATUS_SUCCESS) {
      ReportPath(walk, kTreeErrorReading, FolderPath(walk, level), status);
      ++walk.failed;
      return nullptr;
    }
    level.listed = true;
    level.next = 0;
  }
  const auto* entry = reinterpret_cast<const Entry*>(level.listing + level.next);
  level.listed = entry->NextEntryOffset != 0;
  level.next += entry->NextEntryOffset;
  return entry;
}

// A file's copy, and what came of it: a link's target that cannot be reached is a link
// skipped; a stop ends the walk without a line.
void CopyEntryFile(TreeWalk& walk, TreeLevel& level, const Entry& entry, std::size_t end) {
  if (IsSpecialFile(entry)) {
    Skip(walk, kSkippedSpecialFile);
    return;
  }
  const Place place = level.existed ? TakePlace(walk, level, entry) : Place::kFree;
  if (place == Place::kThere) {
    ++walk.alreadyThere;
    walk.alreadyBytes += static_cast<ULONGLONG>(entry.EndOfFile.QuadPart);
    return;
  }
  if (place == Place::kFailed) {
    return;
  }
  const ListedFile file{level.source, entry.FileName, static_cast<USHORT>(entry.FileNameLength),
                        IsLink(entry) ? 0 : entry.FileId.QuadPart, walk.topUnits + 1 + end};
  RunShared run{walk.data, walk.progress, walk.marks};
  const FileOutcome outcome = CopyListedFile(file, level.destination, run);
  if (outcome.failed == CopyStep::kOpen && IsUnfollowedLink(entry, outcome.status)) {
    Skip(walk, kSkippedLink);
    return;
  }
  walk.twinsRefused +=
      outcome.failed == CopyStep::kCreate && outcome.status == STATUS_OBJECT_NAME_COLLISION ? 1 : 0;
  switch (outcome.failed) {
    case CopyStep::kNone: CountFile(walk.progress, outcome.bytes); break;
    case CopyStep::kStopped: walk.stopped = true; break;
    case CopyStep::kOpen: FailEntry(walk, kTreeErrorOpening, outcome.status); break;
    case CopyStep::kCreate:
      FailEntry(walk, kTreeErrorCreating, outcome.status, outcome.createBlockStatus);
      break;
    case CopyStep::kRead: FailEntry(walk, kTreeErrorReading, outcome.status); break;
    case CopyStep::kWrite: FailEntry(walk, kTreeErrorWriting, outcome.status); break;
  }
}

// Opens the listed folder and checks it is the one listed, and not the new tree's top (a
// link into the source's depths may have put the destination there): the handle, or
// nullptr with its line printed.
HANDLE OpenListedFolder(TreeWalk& walk, const TreeLevel& level, const Entry& entry) {
  NativeFile source{};
  DescribeRelativeFile(source, level.source, entry.FileName,
                       static_cast<USHORT>(entry.FileNameLength));
  NTSTATUS status = OpenNativeFile(source, kListAccess, FILE_OPEN, kFolderOptions, kShareAll);
  if (IsProtectedFolder(entry, status)) {
    Skip(walk, kSkippedProtectedFolder);
    return nullptr;
  }
  status = status == STATUS_SUCCESS ? CheckListedId(source.handle, entry.FileId.QuadPart) : status;
  const bool isTop = status == STATUS_SUCCESS && entry.FileId.QuadPart == walk.topId &&
                     SameFolder(source.handle, walk.top);
  if (status == STATUS_SUCCESS && !isTop) {
    return source.handle;
  }
  if (source.handle != nullptr) {
    CloseHandle(source.handle);
  }
  if (isTop) {
    FailEntry(walk, kTreeErrorCreating, STATUS_INVALID_PARAMETER);
  } else {
    FailEntry(walk, kTreeErrorOpening, status);
  }
  return nullptr;
}

// Opens the listed folder and creates its new folder, or takes the one of exactly its name an
// unfinished tree holds; the two handles make the next level.
void EnterFolder(TreeWalk& walk, TreeLevel& level, const Entry& entry, std::size_t end) {
  if (IsLink(entry)) {
    Skip(walk, kSkippedLink);
    return;
  }
  if (walk.depth == kTreeLevels) {
    FailEntry(walk, kTreeErrorOpening, STATUS_TOO_MANY_OPENED_FILES);
    return;
  }
  HANDLE source = OpenListedFolder(walk, level, entry);
  if (source == nullptr) {
    return;
  }
  NativeFile created{};
  DescribeRelativeFile(created, level.destination, entry.FileName,
                       static_cast<USHORT>(entry.FileNameLength));
  NTSTATUS status =
      OpenNativeFile(created, kNewFolderAccess, FILE_CREATE, kFolderOptions, kNewFolderShare);
  const bool existed = status == STATUS_OBJECT_NAME_COLLISION && level.existed &&
                       (created.handle = OpenFolderThere(walk, level, entry)) != nullptr;
  if (status != STATUS_SUCCESS && !existed) {
    CloseHandle(source);
    walk.twinsRefused += status == STATUS_OBJECT_NAME_COLLISION ? 1 : 0;
    FailEntry(walk, kTreeErrorCreating, status, created.io.Status);
    return;
  }
  CopyCaseMark(source, created);
  TreeLevel& next = walk.buffers.levels[walk.depth++];
  next.source = source;
  next.destination = created.handle;
  next.kept = FILE_BASIC_INFORMATION{};
  next.kept.LastWriteTime = entry.LastWriteTime;
  next.kept.FileAttributes = entry.FileAttributes;
  next.pathEnd = end;
  next.listed = false;
  next.begun = false;
  next.existed = existed;
  next.knownSlots = 0;
  ++walk.folders;
  if (existed && !NoteEntries(walk, next)) {
    next.existed = false;
    walk.stopped = true;  // the tree cannot be continued whole: it ends here, said
  }
}

// The folder's children are done: its new folder takes the source folder's time and
// attributes (a child's create would have moved the time), and both are closed; the top's
// new folder stays open for its rename.
void LeaveFolder(TreeWalk& walk) {
  TreeLevel& level = walk.buffers.levels[walk.depth - 1];
  if (level.existed && !walk.stopped) {
    ReportWhatTheSourceLacks(walk, level);
  }
  ForgetEntries(walk, level);
  // The record goes before the top's time is set, and only when the tree will be renamed.
  if (walk.depth == 1 && walk.failed == 0 && !walk.stopped) {
    const NTSTATUS removed = RemoveRecord(level.destination);
    if (removed != STATUS_SUCCESS && removed != STATUS_OBJECT_NAME_NOT_FOUND) {
      ReportPath(walk, kTreeErrorWriting, FolderPath(walk, level), removed);
      ++walk.failed;
    }
  }
  if (!walk.stopped) {
    NativeFile folder{};
    folder.handle = level.destination;
    const NTSTATUS status = SetTimeAndAttributes(folder, level.kept.LastWriteTime,
                                                 level.kept.FileAttributes & kKeptAttributes);
    if (status != STATUS_SUCCESS) {
      ReportPath(walk, kTreeErrorWriting, FolderPath(walk, level), status);
      ++walk.failed;
    }
  }
  CloseHandle(level.source);
  if (walk.depth > 1) {
    CloseHandle(level.destination);
  }
  --walk.depth;
}

}  // namespace

bool IsDotName(const Entry& entry) {
  const ULONG units = entry.FileNameLength / sizeof(WCHAR);
  return entry.FileName[0] == u'.' && (units == 1 || (units == 2 && entry.FileName[1] == u'.'));
}

std::size_t NameEntry(TreeWalk& walk, const TreeLevel& level, const Entry& entry) {
  WCHAR* path = walk.buffers.relative;
  std::size_t end = level.pathEnd;
  if (end > 0 && end + 1 < kRelativeUnits) {
    path[end++] = kSeparator;
  }
  const std::size_t units =
      std::min<std::size_t>(entry.FileNameLength / sizeof(WCHAR), kRelativeUnits - 1 - end);
  std::copy_n(entry.FileName, units, path + end);
  end += units;
  path[end] = 0;
  return end;
}

void FailEntry(TreeWalk& walk, const WCHAR* format, NTSTATUS status, NTSTATUS second) {
  ReportPath(walk, format, walk.buffers.relative, status, second);
  ++walk.failed;
  walk.stopped = walk.stopped || FailsTheDestination(status);
}

void ReportPath(TreeWalk& walk, const WCHAR* format, const WCHAR* path, NTSTATUS status,
                NTSTATUS second) {
  ClearProgress(walk.progress);
  PrintNamed(walk.message, format, path, StatusCode(status), StatusCode(second));
}

// Where the source folder is marked case-sensitive, the new one is marked before any child
// arrives, so that twins arrive as twins. A platform without the mark (Wine, Windows
// without the per-folder feature) refuses the query or the set; the copy goes on, and a
// twin that the new folder then refuses is reported.
void CopyCaseMark(HANDLE source, NativeFile& created) {
  FILE_CASE_SENSITIVE_INFORMATION mark{};
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = NativeServices.ZwQueryInformationFile(source, &io, &mark, sizeof mark,
                                                                FileCaseSensitiveInformation);
  if (status == STATUS_SUCCESS && (mark.Flags & FILE_CS_FLAG_CASE_SENSITIVE_DIR) != 0) {
    mark.Flags = FILE_CS_FLAG_CASE_SENSITIVE_DIR;
    NativeServices.ZwSetInformationFile(created.handle, &io, &mark, sizeof mark,
                                        FileCaseSensitiveInformation);
  }
}

void WalkTree(TreeWalk& walk) {
  while (walk.depth > 0) {
    walk.stopped = walk.stopped || StopRequested();
    TreeLevel& level = walk.buffers.levels[walk.depth - 1];
    const Entry* entry = walk.stopped ? nullptr : NextEntry(walk, level);
    if (entry == nullptr) {
      LeaveFolder(walk);
      continue;
    }
    if (IsDotName(*entry)) {
      continue;
    }
    const std::size_t end = NameEntry(walk, level, *entry);
    if ((entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      EnterFolder(walk, level, *entry, end);
    } else {
      CopyEntryFile(walk, level, *entry, end);
    }
  }
}
