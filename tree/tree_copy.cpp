#include "tree/tree_copy.h"

#include <algorithm>
#include <cstddef>

#include "console/console.h"
#include "console/messages.h"
#include "copy/name_check.h"
#include "copy/native_file.h"
#include "native/native_services.h"
#include "tree/tree_walk.h"

namespace {

// The handles of the tree's top: the source folder, the destination's parent and the new
// folder under its unfinished name.
struct TreeTop {
  NativeFile source;
  NativeFile parent;
  NativeFile created;
  FILE_BASIC_INFORMATION kept;  // the source folder's time and attributes
  std::size_t nameUnits;        // the destination's own name, at the start of unfinished
};

// A rename refused while another program (a scanner) holds a child open is tried again,
// for about a second.
constexpr int kRenameTries = 10;
constexpr DWORD kRenamePauseMs = 100;

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

// Whether the destination's native path lies under the source's, compared ignoring case
// as a platform that folds case would find it.
bool IsInside(const WCHAR* destination, const WCHAR* source) {
  std::size_t units = Length(source);
  units -= units > 0 && source[units - 1] == kSeparator ? 1 : 0;
  if (Length(destination) <= units || destination[units] != kSeparator) {
    return false;
  }
  const auto bytes = static_cast<USHORT>(units * sizeof(WCHAR));
  const UNICODE_STRING outer{bytes, bytes, const_cast<PWSTR>(source)};       // NOLINT: read only
  const UNICODE_STRING inner{bytes, bytes, const_cast<PWSTR>(destination)};  // NOLINT
  return NativeServices.RtlEqualUnicodeString(&outer, &inner, TRUE) != FALSE;
}

// Opens the source folder, only if it is the folder of exactly the typed names, and notes
// its time and attributes.
NTSTATUS OpenSourceFolder(TreeTop& top, const NativeName& source, BYTE* data) {
  DescribeFile(top.source, source.path);
  NTSTATUS status = OpenNativeFile(top.source, kListAccess, FILE_OPEN, kFolderOptions, kShareAll);
  if (status == STATUS_SUCCESS) {
    status = CheckOpenedName(top.source.handle, source.typedNames, data, kCopyBlockBytes);
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
// has no name of its own (a volume's root, which exists).
bool SplitDestination(TreeTop& top, const WCHAR* path, TreeBuffers& buffers) {
  std::size_t end = Length(path);
  end -= end > 0 && path[end - 1] == kSeparator ? 1 : 0;
  std::size_t start = end;
  while (start > 0 && path[start - 1] != kSeparator) {
    --start;
  }
  const std::size_t suffix = Length(kUnfinishedSuffix);
  if (start == 0 || start == end || end - start + suffix >= kNativePathUnits) {
    return false;
  }
  std::copy_n(path, start, buffers.parent);
  buffers.parent[start] = 0;
  std::copy_n(path + start, end - start, buffers.unfinished);
  std::copy_n(kUnfinishedSuffix, suffix + 1, buffers.unfinished + end - start);
  top.nameUnits = end - start;
  return true;
}

// Opens the destination's parent folder, only if it is the folder of exactly the typed
// names, and refuses a destination whose name opens: the tree never merges into a folder.
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
      CheckOpenedName(top.parent.handle, buffers.parent + typedAt, data, kCopyBlockBytes) !=
          STATUS_SUCCESS) {
    return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  NativeFile existing{};
  DescribeRelativeFile(existing, top.parent.handle, buffers.unfinished,
                       static_cast<USHORT>(top.nameUnits * sizeof(WCHAR)));
  status = OpenNativeFile(existing, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                          FILE_SYNCHRONOUS_IO_NONALERT, kShareAll);
  Close(existing);
  return status == STATUS_SUCCESS                 ? STATUS_OBJECT_NAME_COLLISION
         : status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS
                                                  : status;
}

// Everything before the walk; false when the run is refused (its line printed), with
// nothing created.
bool PrepareTop(TreeTop& top, const NativeName& destination, TreeBuffers& buffers, WCHAR* message,
                BYTE* data) {
  if (!SplitDestination(top, destination.path, buffers)) {
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
  if (created != STATUS_SUCCESS) {
    PrintNamed(message, kTreeErrorCreating, buffers.unfinished, StatusCode(created),
               StatusCode(top.created.io.Status));
    return false;
  }
  CopyCaseMark(top.source.handle, top.created);
  return true;
}

// The whole tree takes the destination's name; never over a name that appeared since.
NTSTATUS RenameWhole(TreeTop& top, BYTE* data) {
  const auto nameBytes = static_cast<ULONG>(top.nameUnits * sizeof(WCHAR));
  const ULONG length = offsetof(FILE_RENAME_INFORMATION, FileName) + nameBytes;
  if (length > kCopyBlockBytes) {
    return STATUS_NAME_TOO_LONG;
  }
  auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(data);  // the data buffer is free
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = top.parent.handle;
  rename->FileNameLength = nameBytes;
  std::copy_n(top.created.name.Buffer, top.nameUnits, rename->FileName);
  NTSTATUS status = STATUS_SUCCESS;
  for (int attempt = 1;; ++attempt) {
    IO_STATUS_BLOCK io{};
    status = NativeServices.ZwSetInformationFile(top.created.handle, &io, rename, length,
                                                 FileRenameInformation);
    if ((status != STATUS_ACCESS_DENIED && status != STATUS_SHARING_VIOLATION) ||
        attempt == kRenameTries) {
      return status;
    }
    Sleep(kRenamePauseMs);
  }
}

void PrintSummary(const TreeWalk& walk, WCHAR* message) {
  WCHAR files[kAmountUnits];
  WCHAR folders[kAmountUnits];
  WCHAR amount[kAmountUnits];
  WCHAR failed[kAmountUnits];
  WCHAR skipped[kAmountUnits];
  FormatCount(files, walk.progress.files);
  FormatCount(folders, walk.folders);
  FormatAmount(amount, walk.progress.doneBefore);
  FormatCount(failed, walk.failed);
  FormatCount(skipped, walk.skipped);
  BoundedFormat(message, kMessageBytes, kTreeSummary, files, folders, amount, failed, skipped);
  ConsolePrint(message);
}

// Where the unfinished tree stays: its native path, composed in the relative path's buffer,
// which the walk no longer needs.
void PrintUnfinished(TreeBuffers& buffers, WCHAR* message) {
  WCHAR* path = buffers.relative;
  const std::size_t parent = std::min(Length(buffers.parent), kRelativeUnits - 1);
  const std::size_t name = std::min(Length(buffers.unfinished), kRelativeUnits - 1 - parent);
  std::copy_n(buffers.parent, parent, path);
  std::copy_n(buffers.unfinished, name, path + parent);
  path[parent + name] = 0;
  PrintNamed(message, kUnfinishedTree, path);
}

// Walks the tree into the new folder, then gives it the destination's name if all of it
// arrived.
bool CopyWhole(TreeTop& top, TreeBuffers& buffers, WCHAR* message, BYTE* data) {
  TreeWalk walk{buffers, message, data, 1, CopyProgress{}, 1, 0, 0, false};
  TreeLevel& first = buffers.levels[0];
  first.source = top.source.handle;
  first.destination = top.created.handle;
  first.kept = top.kept;
  first.pathEnd = 0;
  first.listed = false;
  top.source.handle = nullptr;  // the walk closes it
  StartTreeProgress(walk.progress);
  WalkTree(walk);
  NTSTATUS renamed = STATUS_UNSUCCESSFUL;
  if (walk.failed == 0 && !walk.stopped) {
    renamed = RenameWhole(top, data);
    if (renamed != STATUS_SUCCESS) {
      ClearProgress(walk.progress);
      PrintCreating(message, renamed, STATUS_SUCCESS);
    }
  }
  Close(top.created);
  EndProgress(walk.progress, walk.progress.doneBefore);
  PrintSummary(walk, message);
  if (renamed != STATUS_SUCCESS) {
    PrintUnfinished(buffers, message);
  }
  return renamed == STATUS_SUCCESS;
}

}  // namespace

TreeResult CopyTreeNative(const NativeName& source, const NativeName& destination,
                          TreeBuffers& buffers, WCHAR* messageBuffer, BYTE* dataBuffer) {
  TreeTop top{};
  const NTSTATUS opened = OpenSourceFolder(top, source, dataBuffer);
  if (opened == STATUS_NOT_A_DIRECTORY) {
    Close(top.source);
    return TreeResult::kNotFolder;
  }
  bool copied = false;
  if (opened != STATUS_SUCCESS) {
    BoundedFormat(messageBuffer, kMessageBytes, kErrorOpening, StatusCode(opened));
    ConsolePrint(messageBuffer);
  } else if (IsInside(destination.path, source.path)) {
    PrintCreating(messageBuffer, STATUS_INVALID_PARAMETER, STATUS_SUCCESS);
  } else if (PrepareTop(top, destination, buffers, messageBuffer, dataBuffer)) {
    copied = CopyWhole(top, buffers, messageBuffer, dataBuffer);
  }
  Close(top.created);
  Close(top.parent);
  Close(top.source);
  return copied ? TreeResult::kCopied : TreeResult::kFailed;
}
