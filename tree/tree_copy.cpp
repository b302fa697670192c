#include "tree/tree_copy.h"

#include <algorithm>
#include <cstddef>

#include "console/console.h"
#include "console/messages.h"
#include "console/stop.h"
#include "copy/name_check.h"
#include "copy/native_file.h"
#include "native/native_services.h"
#include "tree/folder_identity.h"
#include "tree/tree_continue.h"
#include "tree/tree_walk.h"
#include "tree/unfinished_record.h"

namespace {

// The handles of the tree's top: the source folder, the destination's parent and the new
// folder under its unfinished name.
struct TreeTop {
  NativeFile source;
  NativeFile parent;
  NativeFile created;
  FILE_BASIC_INFORMATION kept;  // the source folder's time and attributes
  std::size_t nameUnits;        // the destination's own name, at the start of unfinished
  DeletionMarks marks;          // how the tree's files are marked, learned on its top
  const WCHAR* sourcePath;      // as announced: what the unfinished tree's record names
  bool recorded;                // the unfinished tree holds its record
  bool continuing;              // it is the unfinished tree of an earlier run
};

// Windows refuses to rename a folder while a file below it is open elsewhere, and scanners,
// indexers and sync clients open new files for seconds: the rename is tried again for half
// a minute, and the wait is told once it has lasted a second.
constexpr ULONGLONG kRenameWaitMs = 30000;
constexpr ULONGLONG kRenameToldAfterMs = 1000;
constexpr DWORD kRenamePauseMs = 500;

void Close(NativeFile& file) {
  if (file.handle != nullptr) {
    CloseHandle(file.handle);
    file.handle = nullptr;
  }
}

std::size_t Length(const WCHAR* text) {
  return static_cast<std::size_t>(lstrlenW(text));
}

void PrintCreating(WCHAR* message, NTSTATUS status, NTSTATUS second) {
  BoundedFormat(message, kMessageBytes, kErrorCreating, StatusCode(status), StatusCode(second));
  ConsolePrint(message);
}

// Whether the new folder would lie inside the source: the destination's parent, or a
// folder above it, is the source folder, however each is named (a link, a second drive
// letter, a short name, a network path). Each folder above is opened by its path's start,
// as the platform resolves it, up to the first that does not open as a folder (beyond the
// volume's root). The walk itself never enters the new folder, should a link into the
// source's depths have put it there.
bool IsInsideSource(const TreeTop& top, WCHAR* path) {
  if (SameFolder(top.parent.handle, top.source.handle)) {
    return true;
  }
  std::size_t end = Length(path);
  for (;;) {
    end -= end > 0 ? 1 : 0;  // the separator that ends this folder's path
    while (end > 0 && path[end - 1] != kSeparator) {
      --end;
    }
    if (end == 0) {
      return false;
    }
    path[end] = 0;
    NativeFile above{};
    DescribeFile(above, path);
    if (OpenNativeFile(above, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, kFolderOptions,
                       kShareAll) != STATUS_SUCCESS) {
      return false;
    }
    const bool inside = SameFolder(above.handle, top.source.handle);
    CloseHandle(above.handle);
    if (inside) {
      return true;
    }
  }
}

// Opens the source folder, only if it is the folder of exactly the typed names, and notes
// its time and attributes.
NTSTATUS OpenSourceFolder(TreeTop& top, const NativeName& source, BYTE* data) {
  DescribeFile(top.source, source.path);
  NTSTATUS status = OpenNativeFile(top.source, kListAccess, FILE_OPEN, kFolderOptions, kShareAll);
  if (status == STATUS_SUCCESS) {
    status = CheckOpenedName(top.source.handle, source, data, kCopyBlockBytes);
  }
  if (status == STATUS_SUCCESS) {
    IO_STATUS_BLOCK io{};
    status = NativeServices.ZwQueryInformationFile(top.source.handle, &io, &top.kept,
                                                   sizeof top.kept, FileBasicInformation);
  }
  return status;
}

// Splits the destination into its parent folder (ending in its separator, so that a volume's
// root names the root folder) and its own name with the unfinished suffix. False when it
// has no typed name of its own (a volume's root, or the base folder, which exist).
bool SplitDestination(TreeTop& top, const NativeName& destination, TreeBuffers& buffers) {
  const WCHAR* path = destination.path;
  std::size_t end = Length(path);
  end -= end > 0 && path[end - 1] == kSeparator ? 1 : 0;
  std::size_t start = end;
  while (start > 0 && path[start - 1] != kSeparator) {
    --start;
  }
  const std::size_t suffix = Length(kUnfinishedSuffix);
  const auto typedAt = static_cast<std::size_t>(destination.typedNames - path);
  if (start == 0 || start < typedAt || start == end || end - start + suffix >= kNativePathUnits) {
    return false;
  }
  std::copy_n(path, start, buffers.parent);
  buffers.parent[start] = 0;
  std::copy_n(path + start, end - start, buffers.unfinished);
  std::copy_n(kUnfinishedSuffix, suffix + 1, buffers.unfinished + end - start);
  top.nameUnits = end - start;
  return true;
}

// Whether the destination's own name is there, of any kind: opened as itself, so that a
// link, dangling or not, is an existing name too (Wine follows it even so, and answers a
// dangling one with STATUS_NO_SUCH_FILE).
NTSTATUS CheckNameIsFree(const TreeTop& top, TreeBuffers& buffers) {
  NativeFile existing{};
  DescribeRelativeFile(existing, top.parent.handle, buffers.unfinished,
                       static_cast<USHORT>(top.nameUnits * sizeof(WCHAR)));
  const NTSTATUS status =
      OpenNativeFile(existing, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                     FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, kShareAll);
  Close(existing);
  return status == STATUS_SUCCESS || status == STATUS_NO_SUCH_FILE ? STATUS_OBJECT_NAME_COLLISION
         : status == STATUS_OBJECT_NAME_NOT_FOUND                  ? STATUS_SUCCESS
                                                                   : status;
}

// Opens the destination's parent folder, only if it is the folder of exactly the typed
// names and not inside the source, and refuses a destination whose name is there: the tree
// never merges into a folder.
NTSTATUS OpenParent(TreeTop& top, const NativeName& destination, TreeBuffers& buffers, BYTE* data) {
  constexpr ACCESS_MASK kParentAccess =
      FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  DescribeFile(top.parent, buffers.parent);
  NTSTATUS status = OpenNativeFile(top.parent, kParentAccess, FILE_OPEN, kFolderOptions, kShareAll);
  if (status != STATUS_SUCCESS) {
    // The parent is a folder on the destination's way, as a file's copy reports it.
    return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_OBJECT_PATH_NOT_FOUND : status;
  }
  const auto typedAt = static_cast<std::size_t>(destination.typedNames - destination.path);
  if (typedAt < Length(buffers.parent) &&
      CheckOpenedName(top.parent.handle, {buffers.parent, buffers.parent + typedAt}, data,
                      kCopyBlockBytes) != STATUS_SUCCESS) {
    return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  // The relative path's buffer is free until the walk.
  std::copy_n(buffers.parent, Length(buffers.parent) + 1, buffers.relative);
  if (IsInsideSource(top, buffers.relative)) {
    return STATUS_INVALID_PARAMETER;
  }
  return CheckNameIsFree(top, buffers);
}

// Opens the unfinished tree that exists under the new folder's name, only when its record
// names this source: the same command run again continues it. Any other folder of that name
// is someone else's, and is left as it is.
bool OpenUnfinished(TreeTop& top, BYTE* data) {
  if (OpenNativeFile(top.created, kNewFolderAccess | DELETE, FILE_OPEN, kFolderOptions,
                     kNewFolderShare) != STATUS_SUCCESS) {
    return false;
  }
  if (HoldsRecordOf(top.created.handle, top.sourcePath, data)) {
    return true;
  }
  Close(top.created);
  return false;
}

// Everything before the walk; false when the run is refused (its line printed), with
// nothing created.
bool PrepareTop(TreeTop& top, const NativeName& destination, TreeBuffers& buffers, WCHAR* message,
                BYTE* data) {
  if (!SplitDestination(top, destination, buffers)) {
    PrintCreating(message, STATUS_OBJECT_NAME_COLLISION, STATUS_SUCCESS);
    return false;
  }
  const NTSTATUS status = OpenParent(top, destination, buffers, data);
  if (status != STATUS_SUCCESS) {
    PrintCreating(message, status, STATUS_SUCCESS);
    return false;
  }
  DescribeRelativeFile(top.created, top.parent.handle, buffers.unfinished,
                       static_cast<USHORT>(Length(buffers.unfinished) * sizeof(WCHAR)));
  const NTSTATUS created = OpenNativeFile(top.created, kNewFolderAccess | DELETE, FILE_CREATE,
                                          kFolderOptions, kNewFolderShare);
  const NTSTATUS createdBlock = top.created.io.Status;
  top.continuing = created == STATUS_OBJECT_NAME_COLLISION && OpenUnfinished(top, data);
  if (created != STATUS_SUCCESS && !top.continuing) {
    PrintNamed(message, kTreeErrorCreating, buffers.unfinished, StatusCode(created),
               StatusCode(createdBlock));
    return false;
  }
  // The new top was created with the right to delete, on the volume every file of the tree
  // goes to: where a create's mark can be cleared there, every file is marked by its create.
  // A mark's hold is asked while it is empty (a folder that holds entries takes no mark).
  top.marks.atCreate = CanClearMarkOfCreate(top.created);
  top.marks.holdReported = ReportsMarkHold(top.created);
  // The case mark comes before any child, the record too.
  CopyCaseMark(top.source.handle, top.created);
  top.recorded =
      top.continuing || WriteRecord(top.created.handle, top.sourcePath) == STATUS_SUCCESS;
  return true;
}

// Where the unfinished tree is: its native path, composed in the relative path's buffer,
// which the walk no longer needs.
const WCHAR* UnfinishedPath(TreeBuffers& buffers) {
  WCHAR* path = buffers.relative;
  const std::size_t parent = std::min(Length(buffers.parent), kRelativeUnits - 1);
  const std::size_t name = std::min(Length(buffers.unfinished), kRelativeUnits - 1 - parent);
  std::copy_n(buffers.parent, parent, path);
  std::copy_n(buffers.unfinished, name, path + parent);
  path[parent + name] = 0;
  return path;
}

// Lays the record that gives the tree the destination's name into the data buffer, which is
// free: the name relative to the parent's handle, or (fullPath) the whole native path with
// no root, which a network redirector needs. At least the record's own size, as Windows
// checks, however short the name. Returns its length, 0 when it does not fit.
ULONG LayRenameRecord(const TreeTop& top, const TreeBuffers& buffers, bool fullPath, BYTE* data) {
  const std::size_t parentUnits = fullPath ? Length(buffers.parent) : 0;
  const std::size_t units = parentUnits + top.nameUnits;
  const std::size_t length =
      std::max(offsetof(FILE_RENAME_INFORMATION, FileName) + units * sizeof(WCHAR),
               sizeof(FILE_RENAME_INFORMATION));
  if (length > kDataBufferBytes) {
    return 0;
  }
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(data);
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = fullPath ? nullptr : top.parent.handle;
  rename->FileNameLength = static_cast<ULONG>(units * sizeof(WCHAR));
  std::copy_n(buffers.parent, parentUnits, rename->FileName);
  std::copy_n(buffers.unfinished, top.nameUnits, rename->FileName + parentUnits);
  return static_cast<ULONG>(length);
}

// The whole tree takes the destination's name, never over a name that appeared since. A
// rename relative to a folder that the file system refuses as invalid (a network
// redirector's) is made by the full path; one refused while another program holds a file of
// the tree open waits for it, until half a minute has passed or a stop is asked for.
NTSTATUS RenameWhole(TreeTop& top, TreeBuffers& buffers, CopyProgress& progress, WCHAR* message,
                     BYTE* data) {
  bool fullPath = false;
  ULONGLONG pauses = 0;
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    const ULONG length = LayRenameRecord(top, buffers, fullPath, data);
    if (length == 0) {
      return STATUS_NAME_TOO_LONG;
    }
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NativeServices.ZwSetInformationFile(top.created.handle, &io, data,
                                                                length, FileRenameInformation);
    if (status == STATUS_INVALID_PARAMETER && !fullPath) {
      fullPath = true;
      continue;
    }
    const ULONGLONG waited = GetTickCount64() - start;
    if ((status != STATUS_ACCESS_DENIED && status != STATUS_SHARING_VIOLATION) ||
        waited >= kRenameWaitMs || StopRequested()) {
      return status;
    }
    // Told once, as the pause that follows a second of them begins.
    if (++pauses * kRenamePauseMs == kRenameToldAfterMs + kRenamePauseMs) {
      ClearProgress(progress);
      PrintNamed(message, kWaitingForRename, UnfinishedPath(buffers));
    }
    Sleep(kRenamePauseMs);
  }
}

// The counts; a continued tree's also those of the files that were already there, its amount
// the whole tree's.
void PrintSummary(const TreeWalk& walk, bool continuing, WCHAR* message) {
  WCHAR files[kAmountUnits];
  WCHAR there[kAmountUnits];
  WCHAR folders[kAmountUnits];
  WCHAR amount[kAmountUnits];
  WCHAR failed[kAmountUnits];
  WCHAR skipped[kAmountUnits];
  FormatCount(files, walk.progress.files);
  FormatCount(there, walk.alreadyThere);
  FormatCount(folders, walk.folders);
  FormatAmount(amount, walk.progress.doneBefore + walk.alreadyBytes);
  FormatCount(failed, walk.failed);
  FormatCount(skipped, walk.skipped);
  if (continuing) {
    BoundedFormat(message, kMessageBytes, kTreeSummaryContinued, files, there, folders, amount,
                  failed, skipped);
  } else {
    BoundedFormat(message, kMessageBytes, kTreeSummary, files, folders, amount, failed, skipped);
  }
  ConsolePrint(message);
}

// Where the unfinished tree stays, and what would finish it: the same command again, once
// what the source lacks is gone from it; but where twins were refused by a destination that
// folds case, which no second run mends, what would.
void PrintUnfinished(const TreeTop& top, const TreeWalk& walk, TreeBuffers& buffers,
                     WCHAR* message) {
  PrintNamed(message, kUnfinishedTree, UnfinishedPath(buffers));
  if (walk.twinsRefused > 0) {
    ConsolePrint(kTwinsAdvice);
  } else if (top.recorded) {
    ConsolePrint(walk.notInSource > 0 ? kRemoveExtras : kRunAgain);
  }
}

// Walks the tree into the new folder, then gives it the destination's name if all of it
// arrived.
bool CopyWhole(TreeTop& top, TreeBuffers& buffers, WCHAR* message, BYTE* data) {
  TreeWalk walk{.buffers = buffers,
                .message = message,
                .data = data,
                .depth = 1,
                .progress = CopyProgress{},
                .marks = top.marks,
                .folders = 1,
                .failed = 0,
                .skipped = 0,
                .alreadyThere = 0,
                .alreadyBytes = 0,
                .twinsRefused = 0,
                .notInSource = 0,
                .stopped = false,
                .top = top.created.handle,
                .topId = FileIdOf(top.created.handle),
                .topUnits = Length(buffers.parent) + Length(buffers.unfinished)};
  TreeLevel& first = buffers.levels[0];
  first.source = top.source.handle;
  first.destination = top.created.handle;
  first.kept = top.kept;
  first.pathEnd = 0;
  first.listed = false;
  first.begun = false;
  first.existed = top.continuing;
  first.knownSlots = 0;
  buffers.knownUsed = 0;
  top.source.handle = nullptr;  // the walk closes it
  if (top.continuing) {
    PrintNamed(message, kContinuing, UnfinishedPath(buffers));
  }
  StartTreeProgress(walk.progress);
  if (!top.continuing || NoteEntries(walk, first)) {
    WalkTree(walk);
  }
  NTSTATUS renamed = STATUS_UNSUCCESSFUL;
  if (walk.failed == 0 && !walk.stopped) {
    renamed = RenameWhole(top, buffers, walk.progress, message, data);
    if (renamed != STATUS_SUCCESS && !StopRequested()) {
      ClearProgress(walk.progress);
      PrintNamed(message, kTreeErrorRenaming, UnfinishedPath(buffers), StatusCode(renamed));
    }
    // The record went before the rename: an unfinished tree keeps it.
    top.recorded =
        renamed == STATUS_SUCCESS ||
        (top.recorded && WriteRecord(top.created.handle, top.sourcePath) == STATUS_SUCCESS);
  }
  Close(top.created);
  EndProgress(walk.progress, walk.progress.doneBefore);
  PrintSummary(walk, top.continuing, message);
  if (renamed != STATUS_SUCCESS) {
    PrintUnfinished(top, walk, buffers, message);
  }
  return renamed == STATUS_SUCCESS;
}

}  // namespace

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the command's order, source first
TreeResult CopyTreeNative(const NativeName& source, const NativeName& destination,
                          TreeBuffers& buffers, WCHAR* messageBuffer, BYTE* dataBuffer) {
  TreeTop top{};
  top.sourcePath = source.path;
  const NTSTATUS opened = OpenSourceFolder(top, source, dataBuffer);
  if (opened == STATUS_NOT_A_DIRECTORY) {
    Close(top.source);
    return TreeResult::kNotFolder;
  }
  bool copied = false;
  if (opened != STATUS_SUCCESS) {
    BoundedFormat(messageBuffer, kMessageBytes, kErrorOpening, StatusCode(opened));
    ConsolePrint(messageBuffer);
  } else if (PrepareTop(top, destination, buffers, messageBuffer, dataBuffer)) {
    copied = CopyWhole(top, buffers, messageBuffer, dataBuffer);
  }
  Close(top.created);
  Close(top.parent);
  Close(top.source);
  return copied ? TreeResult::kCopied : TreeResult::kFailed;
}
