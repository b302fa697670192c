#include "pathing/translate.h"

#include "native/native_services.h"
#include "native/path_functions.h"
#include "pathing/path_text.h"

namespace {

// Network paths resolve through this link as drive paths do through theirs.
const WCHAR* const kUncLinkName = WIDE("\\??\\UNC");

bool IsUncPath(const WCHAR* path) {
  return path[0] == kSeparator && path[1] == kSeparator;
}

// "\\?\" and "\\.\" name the object namespace directly; the tool takes no such path.
bool IsDeviceNamespacePath(const WCHAR* path) {
  return IsUncPath(path) && (path[2] == u'?' || path[2] == u'.') && path[3] == kSeparator;
}

// A path that begins with a single separator: rooted on the current drive.
bool IsRootedPath(const WCHAR* path) {
  return path[0] == kSeparator && path[1] != kSeparator;
}

// Length of "\\server\share" at the start of a UNC path, or 0 when either is empty.
std::size_t UncRootLength(const WCHAR* path) {
  std::size_t at = 2;
  for (int part = 0; part < 2; ++part) {
    const std::size_t start = at;
    while (path[at] != 0 && path[at] != kSeparator) {
      ++at;
    }
    if (at == start || (part == 0 && path[at] == 0)) {
      return 0;
    }
    at += part == 0 ? 1 : 0;
  }
  return at;
}

NTSTATUS QueryLinkTarget(const WCHAR* linkName, WCHAR* target) {
  UNICODE_STRING name;
  NativeServices.RtlInitUnicodeString(&name, linkName);
  // Object names are matched without regard to case. OBJ_KERNEL_HANDLE is dropped by the
  // object manager for a caller in user mode, so the handle is this process's own.
  OBJECT_ATTRIBUTES attributes =
      ObjectAttributesFor(&name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE);
  HANDLE link = nullptr;
  NTSTATUS status = NativeServices.ZwOpenSymbolicLinkObject(&link, GENERIC_READ, &attributes);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  // The whole buffer less the unit kept for the terminator, which is laid by Length; a
  // counted string's MaximumLength is 16 bits.
  static_assert(kPathMaxLength * sizeof(WCHAR) <= 0xFFFE);
  constexpr auto kOffered = static_cast<USHORT>(kPathMaxLength * sizeof(WCHAR));
  UNICODE_STRING text{0, kOffered, target};
  ULONG returnedLength = 0;
  status = NativeServices.ZwQuerySymbolicLinkObject(link, &text, &returnedLength);
  NativeServices.ZwClose(link);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  if (text.Length > kOffered) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  // A target may end in a separator (`subst X: C:\` keeps the one typed): the rest of a
  // path is joined to it with one.
  std::size_t end = text.Length / sizeof(WCHAR);
  end -= end > 1 && target[end - 1] == kSeparator ? 1 : 0;
  target[end] = 0;
  return STATUS_SUCCESS;
}

NTSTATUS ReadCurrentDirectory(WCHAR* buffer) {
  const DWORD length = GetCurrentDirectoryW(kPathUnits, buffer);
  if (length == 0) {
    return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  return length < kPathUnits ? STATUS_SUCCESS : STATUS_NAME_TOO_LONG;
}

// "X:" for a drive directory, "\\server\share" for a network one; 0 for neither.
std::size_t CurrentRootLength(const WCHAR* directory) {
  if (IsUncPath(directory)) {
    return UncRootLength(directory);
  }
  return PathFunctions.PathGetDriveNumberW(directory) >= 0 ? 2 : 0;
}

// Into out, the root of the current directory before a rooted path; scratch is a path
// buffer that is free until the link's target is read into it.
NTSTATUS PrependCurrentRoot(const WCHAR* path, WCHAR* scratch, WCHAR* out) {
  const NTSTATUS status = ReadCurrentDirectory(scratch);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  const std::size_t rootLength = CurrentRootLength(scratch);
  if (rootLength == 0) {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  scratch[rootLength] = 0;
  return ReplacePathRoot(out, path, 0, scratch);
}

NTSTATUS ReplaceUncRoot(const WCHAR* path, DriveLink& link, WCHAR* out) {
  if (UncRootLength(path) == 0) {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  const NTSTATUS status = QueryLinkTarget(kUncLinkName, link.target);
  // The target, then "\server\share\rest".
  return status != STATUS_SUCCESS ? status : ReplacePathRoot(out, path, 1, link.target);
}

NTSTATUS ReplaceDriveRoot(const WCHAR* path, DriveLink& link, WCHAR* out) {
  const WCHAR* rest = PathFunctions.PathSkipRootW(path);
  if (PathFunctions.PathGetDriveNumberW(path) < 0 || path[2] != kSeparator || rest == nullptr) {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  const auto rootLength = static_cast<std::size_t>(rest - path);
  const NTSTATUS status = ResolveDriveTarget(path, link);
  // The target, then "\", then the rest after the root.
  return status != STATUS_SUCCESS ? status
                                  : ReplacePathRoot(out, path, rootLength - 1, link.target);
}

// Into out (a path buffer), the native path of a path that is not relative: a drive
// path, a network path or a path rooted on the current drive. The path is never copied
// whole before its root is replaced: the replacement's bound is the only one on its length.
NTSTATUS ComposeAbsolutePath(const WCHAR* path, DriveLink& link, WCHAR* out) {
  if (IsDeviceNamespacePath(path)) {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  const WCHAR* absolute = path;
  if (IsRootedPath(path)) {
    const NTSTATUS status = PrependCurrentRoot(path, link.target, out);
    if (status != STATUS_SUCCESS) {
      return status;
    }
    absolute = out;
  }
  return IsUncPath(absolute) ? ReplaceUncRoot(absolute, link, out)
                             : ReplaceDriveRoot(absolute, link, out);
}

std::size_t DirectoryRootLength(const WCHAR* directory) {
  return IsUncPath(directory) ? UncRootLength(directory) : 3;
}

// Removes the last component of a directory, never its root.
void DropLastComponent(WCHAR* directory) {
  const std::size_t rootLength = DirectoryRootLength(directory);
  std::size_t cut = static_cast<std::size_t>(lstrlenW(directory));
  while (cut > rootLength && directory[cut - 1] != kSeparator) {
    --cut;
  }
  if (cut > rootLength) {
    --cut;  // the separator before the removed component
  }
  if (cut >= rootLength) {
    directory[cut] = 0;
  }
}

NTSTATUS AppendComponent(WCHAR* directory, const WCHAR* name, std::size_t length) {
  NTSTATUS status = STATUS_SUCCESS;
  if (!EndsWithSeparator(directory)) {
    status = AppendPath(directory, WIDE("\\"));
  }
  return status != STATUS_SUCCESS ? status : AppendPathUnits(directory, name, length);
}

// Takes a relative directory against the current one: "." is dropped, ".." removes
// the component before it.
NTSTATUS AppendRelativeDirectory(WCHAR* directory, const WCHAR* relative) {
  NTSTATUS status = STATUS_SUCCESS;
  for (const WCHAR* name = relative; status == STATUS_SUCCESS && *name != 0;) {
    std::size_t length = 0;
    while (name[length] != 0 && name[length] != kSeparator) {
      ++length;
    }
    const bool isDot = length == 1 && name[0] == u'.';
    const bool isDotDot = length == 2 && name[0] == u'.' && name[1] == u'.';
    if (isDotDot) {
      DropLastComponent(directory);
    } else if (length > 0 && !isDot) {
      status = AppendComponent(directory, name, length);
    }
    name += length;
    name += *name == kSeparator ? 1 : 0;
  }
  return status;
}

NTSTATUS FillBaseDirectory(const WCHAR* directoryPart, WCHAR* baseDirectory) {
  if (*directoryPart != 0 && !PathFunctions.PathIsRelativeW(directoryPart)) {
    return CopyPath(baseDirectory, directoryPart);
  }
  const NTSTATUS status = ReadCurrentDirectory(baseDirectory);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  return AppendRelativeDirectory(baseDirectory, directoryPart);
}

}  // namespace

NTSTATUS ResolveDriveTarget(const WCHAR* path, DriveLink& link) {
  const int drive = PathFunctions.PathGetDriveNumberW(path);
  if (drive < 0) {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  link.name[kDriveLetterIndex] = static_cast<WCHAR>(u'A' + drive);
  return QueryLinkTarget(link.name, link.target);
}

NTSTATUS ComputeBasePrefix(WCHAR* invocationPath, BaseDirectory& base) {
  PathFunctions.PathRemoveFileSpecW(invocationPath);
  NTSTATUS status = FillBaseDirectory(invocationPath, base.directory);
  if (status == STATUS_SUCCESS) {
    status = ComposeAbsolutePath(base.directory, base.link, base.prefix);
  }
  // A drive root already ends in its separator: one, never two.
  if (status == STATUS_SUCCESS && !EndsWithSeparator(base.prefix)) {
    status = AppendPath(base.prefix, WIDE("\\"));
  }
  base.status = status;
  return status;
}

NTSTATUS ComposeNativePath(const WCHAR* argument, const BaseDirectory& base, NativeArgument& out) {
  const bool relative = PathFunctions.PathIsRelativeW(argument) != FALSE;
  NTSTATUS status = STATUS_SUCCESS;
  if (!relative) {
    status = ComposeAbsolutePath(argument, out.link, out.path);
  } else if (base.status != STATUS_SUCCESS) {
    status = base.status;
  } else {
    status = CopyPath(out.path, base.prefix);
    status = status != STATUS_SUCCESS ? status : AppendPath(out.path, argument);
  }
  if (status == STATUS_SUCCESS) {
    // The names after the argument's root arrive unit for unit at the end of the path.
    const WCHAR* typed = relative ? argument : PathFunctions.PathSkipRootW(argument);
    out.typedAt = static_cast<std::size_t>(lstrlenW(out.path) - lstrlenW(typed));
  }
  return status;
}
