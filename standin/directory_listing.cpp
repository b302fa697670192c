// A folder's listing as the platform gives it: "." and ".." first, then the folder's own
// entries, in the order the file system keeps them (Wine sorts them ignoring case, which
// nothing the tool does relies on). A handle lists its folder once: each entry returned is
// consumed, and only a restart lists them again. The state is a position per handle.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "standin/internal.h"

namespace standin {
namespace {

constexpr ACCESS_MASK kListRights = GENERIC_READ | FILE_LIST_DIRECTORY;
constexpr ULONG kEntryAlignment = 8;
constexpr std::size_t kMaxNameUnits = 255;
constexpr std::size_t kBlockBytes = 4096;

ULONG Aligned(ULONG offset) {
  return (offset + kEntryAlignment - 1) & ~(kEntryAlignment - 1);
}

// The fixed part of an entry of the class listed, the one the tool asks for.
constexpr ULONG kFixedPart = offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName);

// One call's entries: packed at aligned offsets, each telling where the next begins.
struct Output {
  BYTE* buffer;
  ULONG length;
  ULONG used{};  // the bytes written, as the status block tells them
  ULONG last{};  // where the last entry begins
  bool any{};
};

struct Listing {
  OpenObject& folder;
  dev_t device;  // the folder's own
  ino_t inode;
  Output out;
  bool single;
};

enum class Placed { Whole, Cut, NoRoom, Skipped };

// The first entry is always placed, its name cut where the buffer ends; later ones only
// whole.
Placed Place(Output& out, const FILE_ID_FULL_DIR_INFORMATION& entry, const WCHAR* name) {
  const ULONG start = Aligned(out.used);
  if (start + kFixedPart > out.length) {
    return Placed::NoRoom;
  }
  const ULONG room = out.length - start - kFixedPart;
  if (out.any && entry.FileNameLength > room) {
    return Placed::NoRoom;
  }
  const ULONG copied = entry.FileNameLength < room ? entry.FileNameLength : room;
  std::memcpy(out.buffer + start, &entry, kFixedPart);
  std::memcpy(out.buffer + start + kFixedPart, name, copied);
  if (out.any) {
    const ULONG next = start - out.last;
    std::memcpy(out.buffer + out.last, &next, sizeof next);  // the last one's NextEntryOffset
  }
  out.last = start;
  out.used = start + kFixedPart + copied;
  out.any = true;
  return copied < entry.FileNameLength ? Placed::Cut : Placed::Whole;
}

// Times, size and attributes as the file's own queries give them; its ID is its inode, 0
// on another device (a file system mounted in the folder), as under Wine.
FILE_ID_FULL_DIR_INFORMATION EntryOf(const struct stat& file, dev_t folderDevice) {
  FILE_ID_FULL_DIR_INFORMATION entry{};
  entry.CreationTime = FileTime(file.st_mtim);
  entry.LastAccessTime = FileTime(file.st_atim);
  entry.LastWriteTime = FileTime(file.st_mtim);
  entry.ChangeTime = FileTime(file.st_ctim);
  entry.EndOfFile.QuadPart = EndOfFileOf(file);
  entry.AllocationSize.QuadPart = AllocationOf(file);
  entry.FileAttributes = AttributesOf(file);
  entry.FileId.QuadPart = file.st_dev == folderDevice ? static_cast<LONGLONG>(file.st_ino) : 0;
  return entry;
}

// The reparse tags Windows lists for what is neither a file nor a plain folder.
constexpr ULONG kTagMountPoint = 0xA0000003;
constexpr ULONG kTagSymlink = 0xA000000C;
constexpr ULONG kTagAfUnix = 0x80000023;
constexpr ULONG kTagLxFifo = 0x80000024;
constexpr ULONG kTagLxCharDevice = 0x80000025;
constexpr ULONG kTagLxBlockDevice = 0x80000026;

// A link to a folder is the folder and a link; a folder of another file system, a mount
// point; special files as in a WSL folder. A link to a file is its target, as under Wine
// (a copy takes its target's data).
ULONG TagOf(const struct stat& file, bool isLink, bool mounted) {
  switch (file.st_mode & S_IFMT) {
    case S_IFDIR: return isLink ? kTagSymlink : mounted ? kTagMountPoint : 0;
    case S_IFIFO: return kTagLxFifo;
    case S_IFSOCK: return kTagAfUnix;
    case S_IFCHR: return kTagLxCharDevice;
    case S_IFBLK: return kTagLxBlockDevice;
    default: return 0;
  }
}

bool IsDot(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Every entry the folder has, as Windows lists it: a dangling link as a link of unknown
// kind; one that cannot be looked up (a folder that may be read but not searched) with
// what the folder itself tells of it. Wine lists neither.
FILE_ID_FULL_DIR_INFORMATION EntryAt(const Listing& listing, const char* name, unsigned char type,
                                     ino_t inode) {
  const int folder = listing.folder.descriptor;
  struct stat file {};
  struct stat link {};
  const bool isLink = type == DT_LNK || (type == DT_UNKNOWN &&
                                         fstatat(folder, name, &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                                         S_ISLNK(link.st_mode));
  FILE_ID_FULL_DIR_INFORMATION entry{};
  if (fstatat(folder, name, &file, 0) == 0) {
    entry = EntryOf(file, listing.device);
    const bool mounted = file.st_dev != listing.device && !IsDot(name);
    entry.EaSize = TagOf(file, isLink, mounted);
  } else if (isLink && fstatat(folder, name, &link, AT_SYMLINK_NOFOLLOW) == 0) {
    entry = EntryOf(link, listing.device);
    entry.EndOfFile.QuadPart = entry.AllocationSize.QuadPart = 0;
    entry.EaSize = kTagSymlink;
  } else {
    entry.FileAttributes = type == DT_DIR ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    entry.FileId.QuadPart = static_cast<LONGLONG>(inode);
  }
  entry.FileAttributes |= entry.EaSize != 0 ? FILE_ATTRIBUTE_REPARSE_POINT : 0;
  return entry;
}

// A name longer than 255 UTF-16 units is not listed, as under Wine.
Placed ListName(Listing& listing, const char* name, unsigned char type, ino_t inode) {
  WCHAR wide[kMaxNameUnits + 1];
  const int units = Utf8NameToUtf16(name, wide, kMaxNameUnits + 1);
  if (units < 0) {
    return Placed::Skipped;
  }
  FILE_ID_FULL_DIR_INFORMATION entry = EntryAt(listing, name, type, inode);
  entry.FileNameLength = static_cast<ULONG>(units) * sizeof(WCHAR);
  return Place(listing.out, entry, wide);
}

// What one name did: whether it is consumed, and whether the call ends with it.
struct Step {
  bool consumed;
  bool done;
  NTSTATUS status;
};

Step StepOf(Placed placed, bool single) {
  switch (placed) {
    case Placed::NoRoom: return {false, true, STATUS_SUCCESS};
    case Placed::Cut: return {true, true, STATUS_BUFFER_OVERFLOW};
    case Placed::Skipped: return {true, false, STATUS_SUCCESS};
    default: return {true, single, STATUS_SUCCESS};
  }
}

Step ListDots(Listing& listing) {
  const char* const dots[] = {".", ".."};
  const ino_t inodes[] = {listing.inode, 0};
  Step step{true, false, STATUS_SUCCESS};
  while (listing.folder.dotsListed < 2 && !step.done) {
    const unsigned char dot = listing.folder.dotsListed;
    step = StepOf(ListName(listing, dots[dot], DT_DIR, inodes[dot]), listing.single);
    listing.folder.dotsListed += step.consumed ? 1 : 0;
  }
  return step;
}

// The folder's own entries from where the listing stands; the end is a success.
Step ListEntries(Listing& listing) {
  OpenObject& folder = listing.folder;
  if (lseek(folder.descriptor, folder.listOffset, SEEK_SET) < 0) {
    return {false, true, StatusFromErrno(errno)};
  }
  alignas(dirent64) char block[kBlockBytes];
  for (;;) {
    const ssize_t got = getdents64(folder.descriptor, block, sizeof block);
    if (got <= 0) {
      return {false, true, got == 0 ? STATUS_SUCCESS : StatusFromErrno(errno)};
    }
    for (ssize_t at = 0; at < got;) {
      const auto* record = reinterpret_cast<const dirent64*>(block + at);
      const Step step =
          IsDot(record->d_name)
              ? Step{true, false, STATUS_SUCCESS}
              : StepOf(ListName(listing, record->d_name, record->d_type, record->d_ino),
                       listing.single);
      folder.listOffset = step.consumed ? record->d_off : folder.listOffset;
      if (step.done) {
        return step;
      }
      at += record->d_reclen;
    }
  }
}

// The one entry a mask without wildcards names, looked up exactly as an open looks it up;
// the call ends with it.
Step ListOneName(Listing& listing) {
  OpenObject& folder = listing.folder;
  struct stat named {};
  if (folder.listOffset != 0 ||
      fstatat(folder.descriptor, folder.listName, &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return {false, true, STATUS_SUCCESS};
  }
  const Step step = StepOf(ListName(listing, folder.listName, DT_UNKNOWN, named.st_ino), true);
  folder.listOffset = step.consumed ? 1 : 0;
  return {step.consumed, true, step.status};
}

bool IsWildcard(WCHAR unit) {
  return unit == u'*' || unit == u'?' || unit == u'<' || unit == u'>' || unit == u'"';
}

// The mask of a handle's first call: none, or "*", lists every name; one without wildcards
// lists the entry of that name (kept as "" when no POSIX name can be it); other masks are
// not provided, the tool asking for none.
NTSTATUS TakeMask(const UNICODE_STRING* mask, OpenObject& folder) {
  const std::size_t units = mask == nullptr ? 0 : mask->Length / sizeof(WCHAR);
  folder.listExact = units > 0 && !(units == 1 && mask->Buffer[0] == u'*');
  if (!folder.listExact) {
    return STATUS_SUCCESS;
  }
  if (std::any_of(mask->Buffer, mask->Buffer + units, IsWildcard)) {
    return STATUS_NOT_IMPLEMENTED;
  }
  const int bytes = Utf16ToUtf8(mask->Buffer, units, folder.listName, kNameBytes);
  const bool named = bytes > 0 && std::strlen(folder.listName) == static_cast<std::size_t>(bytes) &&
                     std::strchr(folder.listName, '/') == nullptr;
  folder.listName[named ? bytes : 0] = 0;
  return STATUS_SUCCESS;
}

}  // namespace

// As under Wine: an event or APC routine is not provided; a mask counts only at the first
// call; a buffer must hold an entry with a name of one unit. A first call that finds
// nothing answers STATUS_NO_SUCH_FILE, as Windows does (Wine: STATUS_NO_MORE_FILES).
NTSTATUS ZwQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                              PVOID /*apcContext*/, PIO_STATUS_BLOCK io, PVOID information,
                              ULONG length, FILE_INFORMATION_CLASS informationClass,
                              BOOLEAN returnSingleEntry, PUNICODE_STRING fileName,
                              BOOLEAN restartScan) {
  if (event != nullptr || apcRoutine != nullptr) {
    return STATUS_NOT_IMPLEMENTED;
  }
  if (informationClass != FileIdFullDirectoryInformation) {
    return STATUS_INVALID_INFO_CLASS;
  }
  if (length < Aligned(kFixedPart + sizeof(WCHAR))) {
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  NTSTATUS status = STATUS_SUCCESS;
  OpenObject* folder = FileFor(file, kListRights, &status);
  struct stat own {};
  if (folder == nullptr || fstat(folder->descriptor, &own) != 0 || !S_ISDIR(own.st_mode)) {
    return folder == nullptr ? status : STATUS_INVALID_PARAMETER;
  }
  const bool first = !folder->listStarted;
  status = first ? TakeMask(fileName, *folder) : STATUS_SUCCESS;
  if (status != STATUS_SUCCESS) {
    return status;
  }
  folder->listStarted = true;
  folder->dotsListed = restartScan != FALSE ? 0 : folder->dotsListed;
  folder->listOffset = restartScan != FALSE ? 0 : folder->listOffset;
  Listing listing{*folder,
                  own.st_dev,
                  own.st_ino,
                  {static_cast<BYTE*>(information), length},
                  returnSingleEntry != FALSE};
  Step step = folder->listExact ? ListOneName(listing) : ListDots(listing);
  step = step.done ? step : ListEntries(listing);
  const NTSTATUS none = first ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
  status = listing.out.any || step.status != STATUS_SUCCESS ? step.status : none;
  return CompleteIo(io, status, listing.out.used);
}

}  // namespace standin
