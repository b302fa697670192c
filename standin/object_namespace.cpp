// The object namespace: drive links "\??\X:" whose targets are device names, and the
// POSIX directory behind each device. At start drive Z: is the POSIX root, and network
// paths go to a device with no files behind it, as on a machine without a network.
#include <algorithm>
#include <cstring>

#include "standin/internal.h"
#include "standin/test_hooks.h"

namespace standin {
namespace {

constexpr std::size_t kNameUnits = 16;
constexpr std::size_t kTargetUnits = 1024;
constexpr std::size_t kMaxLinks = 16;

struct Link {
  WCHAR name[kNameUnits];
  WCHAR target[kTargetUnits];
  char directory[kPosixPathBytes];  // empty: no files behind the device
};

constexpr std::size_t kStartLinks = 2;
const Link kStartNamespace[kStartLinks] = {
    {u"\\??\\Z:", u"\\Device\\HarddiskVolume1", "/"},
    {u"\\??\\UNC", u"\\Device\\Mup", ""},
};

Link links[kMaxLinks] = {kStartNamespace[0], kStartNamespace[1]};
std::size_t linkCount = kStartLinks;

WCHAR FoldCase(WCHAR unit) {
  return unit >= u'a' && unit <= u'z' ? static_cast<WCHAR>(unit - 0x20) : unit;
}

bool SameText(const WCHAR* left, const WCHAR* right, std::size_t units, bool ignoreCase) {
  for (std::size_t at = 0; at < units; ++at) {
    const bool same =
        ignoreCase ? FoldCase(left[at]) == FoldCase(right[at]) : left[at] == right[at];
    if (!same) {
      return false;
    }
  }
  return true;
}

// Whether name is a whole-component prefix of path; object names are matched without
// regard to case, as the object manager does for its own directories.
bool IsPrefix(const WCHAR* name, const WCHAR* path, std::size_t units) {
  const auto length = static_cast<std::size_t>(lstrlenW(name));
  return length <= units && SameText(name, path, length, true) &&
         (length == units || path[length] == u'\\');
}

void CopyWide(WCHAR* out, std::size_t capacity, LPCWSTR text) {
  const auto length = std::min(static_cast<std::size_t>(lstrlenW(text)), capacity - 1);
  std::memcpy(out, text, length * sizeof(WCHAR));
  out[length] = 0;
}

}  // namespace

int FindLink(const WCHAR* name, std::size_t units, bool ignoreCase) {
  for (std::size_t at = 0; at < linkCount; ++at) {
    if (static_cast<std::size_t>(lstrlenW(links[at].name)) == units &&
        SameText(links[at].name, name, units, ignoreCase)) {
      return static_cast<int>(at);
    }
  }
  return -1;
}

const WCHAR* LinkTarget(int link) {
  return links[link].target;
}

NTSTATUS FindVolume(const WCHAR* path, std::size_t units, const char** directory,
                    std::size_t* consumed) {
  for (std::size_t at = 0; at < linkCount; ++at) {
    const Link& link = links[at];
    const WCHAR* prefix = IsPrefix(link.target, path, units) ? link.target
                          : IsPrefix(link.name, path, units) ? link.name
                                                             : nullptr;
    if (prefix != nullptr) {
      if (link.directory[0] == 0) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
      }
      *directory = link.directory;
      *consumed = static_cast<std::size_t>(lstrlenW(prefix));
      return STATUS_SUCCESS;
    }
  }
  // An unknown object: a missing name at the top, a missing path below it.
  const WCHAR* end = path + units;
  const bool nested = std::find(path + 1, end, u'\\') != end;
  return nested ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_OBJECT_NAME_NOT_FOUND;
}

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  constexpr std::size_t kLongest = 0xFFFC;  // the longest even Length with room for a NUL
  std::size_t bytes = source == nullptr ? 0 : lstrlenW(source) * sizeof(WCHAR);
  bytes = bytes > kLongest ? kLongest : bytes;
  destination->Length = static_cast<USHORT>(bytes);
  destination->MaximumLength = static_cast<USHORT>(source == nullptr ? 0 : bytes + 2);
  destination->Buffer = const_cast<PWSTR>(source);  // NOLINT: the platform's signature
}

NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE handle, ACCESS_MASK /*access*/,
                                  POBJECT_ATTRIBUTES attributes) {
  if (handle == nullptr || attributes == nullptr || attributes->ObjectName == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const UNICODE_STRING& name = *attributes->ObjectName;
  const int link = FindLink(name.Buffer, name.Length / sizeof(WCHAR),
                            (attributes->Attributes & OBJ_CASE_INSENSITIVE) != 0);
  if (link < 0) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  OpenObject* object = nullptr;
  *handle = AllocateObject(ObjectKind::Link, &object);
  if (*handle == nullptr) {
    return STATUS_TOO_MANY_OPENED_FILES;
  }
  object->link = link;
  return STATUS_SUCCESS;
}

// Writes the target with its terminator; the caller that asks for the returned length
// must leave room for the terminator, as on the platform.
NTSTATUS ZwQuerySymbolicLinkObject(HANDLE link, PUNICODE_STRING target, PULONG returnedLength) {
  const OpenObject* object = FindObject(link, ObjectKind::Link);
  if (object == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  const WCHAR* text = LinkTarget(object->link);
  const ULONG bytes = static_cast<ULONG>(lstrlenW(text) * sizeof(WCHAR));
  const ULONG needed = returnedLength != nullptr ? bytes + sizeof(WCHAR) : bytes;
  if (returnedLength != nullptr) {
    *returnedLength = bytes + sizeof(WCHAR);
  }
  if (needed > target->MaximumLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memcpy(target->Buffer, text, bytes);
  target->Length = static_cast<USHORT>(bytes);
  if (bytes + sizeof(WCHAR) <= target->MaximumLength) {
    target->Buffer[bytes / sizeof(WCHAR)] = 0;
  }
  return STATUS_SUCCESS;
}

bool AddLink(LPCWSTR linkName, LPCWSTR target) {
  const int at = FindLink(linkName, static_cast<std::size_t>(lstrlenW(linkName)), false);
  const bool fits = lstrlenW(linkName) < static_cast<int>(kNameUnits) &&
                    lstrlenW(target) < static_cast<int>(kTargetUnits);
  if (!fits || (at < 0 && linkCount == kMaxLinks)) {
    return false;
  }
  Link& link = links[at < 0 ? linkCount : static_cast<std::size_t>(at)];
  CopyWide(link.name, kNameUnits, linkName);
  CopyWide(link.target, kTargetUnits, target);
  link.directory[0] = 0;
  linkCount += at < 0 ? 1 : 0;
  return true;
}

bool AddDriveLink(WCHAR letter, LPCWSTR deviceName, const char* directory) {
  WCHAR name[] = u"\\??\\C:";
  name[4] = letter;
  if (std::strlen(directory) >= kPosixPathBytes || !AddLink(name, deviceName)) {
    return false;
  }
  std::strcpy(links[FindLink(name, 6, false)].directory, directory);
  return true;
}

void ResetNamespace() {
  for (std::size_t at = 0; at < kStartLinks; ++at) {
    links[at] = kStartNamespace[at];
  }
  linkCount = kStartLinks;
}

}  // namespace standin
