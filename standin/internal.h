// Shared inside the stand-in platform: its native services, handle table, object
// namespace and text conversions.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

#include "standin/exports.h"
#include "standin/start_up.h"
#include "standin/windows_api.h"

namespace standin {

// Times of files: FILETIME ticks (100 ns since 1601) from a POSIX time, and back; a time of
// 0 or -1 gives UTIME_OMIT (the time is left as it is).
LARGE_INTEGER FileTime(const timespec& time);
timespec PosixTime(const LARGE_INTEGER& fileTime);
// A file nobody may write shows as read-only, as under Wine.
bool NobodyMayWrite(mode_t mode);

// What a module exports, by exact name.
struct Export {
  const char* name;
  FARPROC address;
};

template <typename Function>
FARPROC AddressOf(Function function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));  // NOLINT
}

// Each over a table at namespace scope: a function-local one would be guarded at its first
// use, which takes the C++ runtime library, and its loading, into every run.
std::span<const Export> NtdllExports();
std::span<const Export> PathExports();

// Handles: a fixed table of open objects; a handle is never 0.
enum class ObjectKind { Free, Link, File };
constexpr std::size_t kPosixPathBytes = 4096;
// volumeBytes of a file whose full path is not known: path holds only its name.
constexpr std::size_t kPathUnknown = ~std::size_t{0};
// The longest name a listing gives, 255 UTF-16 units, as UTF-8 with its terminator.
constexpr std::size_t kNameBytes = 255 * 3 + 1;

struct OpenObject {
  ObjectKind kind;
  int link;            // Link: index in the namespace
  int descriptor;      // File: the POSIX descriptor
  ACCESS_MASK access;  // File: the rights it was opened with
  // File: removed when closed, or when the process ends by a signal, if either is set:
  // the file's delete-pending state (FileDispositionInformation sets and clears it) and
  // this handle's on-close state (FILE_DELETE_ON_CLOSE, or the newer deletion mark with
  // FILE_DISPOSITION_ON_CLOSE). Read by the signal handler, so set only once the name
  // and identity are in place.
  volatile sig_atomic_t deletePending;
  volatile sig_atomic_t deleteOnClose;
  // File opened with DELETE: the folder its name is relative to (AT_FDCWD for a full path,
  // else a descriptor of its own); -1 for other files, which are never removed or renamed.
  int parent;
  // Folder: how far its listing has gone, "." and ".." first, then by directory offset;
  // listing one name (listExact), 1 once it is given.
  bool listStarted;
  unsigned char dotsListed;
  bool listExact;
  dev_t device;  // File: identity, so that only this file is removed
  ino_t inode;
  std::size_t nameAt;          // File: where in path its name relative to parent begins
  std::size_t volumeBytes;     // File: the bytes of path that are its volume's directory
  off_t listOffset;            // Folder: the directory offset its listing stands at
  char listName[kNameBytes];   // the name listExact lists ("" names none)
  char path[kPosixPathBytes];  // File: its full path, or (kPathUnknown) only its name
};

// The walk of a tree holds two handles for each of 128 levels, and a few more.
constexpr std::size_t kMaxObjects = 320;
// Owned by handles.cpp; visible here so that the lookup, made on every read and write,
// compiles into its callers instead of costing a call per block.
extern OpenObject objectTable[kMaxObjects];

HANDLE AllocateObject(ObjectKind kind, OpenObject** object);

// The table slot of a handle (a nonzero multiple of four), or kMaxObjects for none.
inline std::size_t SlotOf(HANDLE handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  return value % 4 == 0 && value != 0 && value / 4 <= kMaxObjects ? value / 4 - 1 : kMaxObjects;
}

// The object of that kind behind a handle, or nullptr.
inline OpenObject* FindObject(HANDLE handle, ObjectKind kind) {
  const std::size_t slot = SlotOf(handle);
  return slot < kMaxObjects && objectTable[slot].kind == kind ? &objectTable[slot] : nullptr;
}

// Fills in a status block and returns its status.
inline NTSTATUS CompleteIo(PIO_STATUS_BLOCK io, NTSTATUS status, ULONG_PTR information) {
  io->Status = status;
  io->Information = information;
  return status;
}

// The open file behind a handle that was opened with one of the needed rights, or
// nullptr with the status that refuses it.
inline OpenObject* FileFor(HANDLE handle, ACCESS_MASK needed, NTSTATUS* status) {
  OpenObject* object = FindObject(handle, ObjectKind::File);
  *status = object == nullptr                ? STATUS_INVALID_HANDLE
            : (object->access & needed) == 0 ? STATUS_ACCESS_DENIED
                                             : STATUS_SUCCESS;
  return *status == STATUS_SUCCESS ? object : nullptr;
}

// Closes the object (removing a file marked for deletion) and frees its handle.
NTSTATUS ReleaseObject(HANDLE handle);

// Removes every file still marked for deletion, as the platform does for a process that
// ends; async-signal-safe.
void RemoveMarkedFiles();
// Removes name in folder at only while it still names the file of that identity (a
// folder only while empty); async-signal-safe.
void RemoveIfStill(int at, const char* name, dev_t device, ino_t inode);
// Ends the process by the signal with the platform's rule: the marked files removed
// first; async-signal-safe, and the handler of every signal the stand-in takes over.
void EndBySignal(int signalNumber);

// Where a file opened by a name relative to the folder root is: its full path (nameAt
// past the folder's) when root's is known and the whole fits, else the name alone.
void PlaceRelative(const OpenObject& root, const char* name, char* path, std::size_t* nameAt,
                   std::size_t* volumeBytes);
// A descriptor of the folder behind folder for names kept relative to it, apart from that
// one (and its lock), so that it outlives its handle; -1 when none can be had.
int KeepFolder(int folder);

// A native path as a POSIX path: the volume's directory (its first volumeBytes bytes),
// then each name. A separator may end the path only after the name of a folder:
// trailingSeparator says that the path ended so.
struct PosixPath {
  char path[kPosixPathBytes];
  std::size_t volumeBytes;
  bool trailingSeparator;
};
NTSTATUS ParseNativePath(const UNICODE_STRING* objectName, PosixPath& parsed);
// Native names as POSIX names: names relative to a folder ("a\b", no leading separator)
// as "a/b"; trailingSeparator tells that the name ended in one.
NTSTATUS ParseRelativeName(const WCHAR* name, std::size_t units, char* posix,
                           bool* trailingSeparator);
NTSTATUS StatusFromErrno(int error);
// A name relative to at that is not there: its own absence when its folder exists, else
// the path's.
NTSTATUS MissingStatus(int at, char* name);
// As Wine shows a POSIX file: read-only when nobody may write it, a regular file archived.
ULONG AttributesOf(const struct stat& file);
// A folder's size is 0, as the platform tells it.
LONGLONG EndOfFileOf(const struct stat& file);
LONGLONG AllocationOf(const struct stat& file);

// A folder's mark that its names are looked up case-sensitively, which every POSIX folder
// has (the product's headers name it; the stand-in's own view lacks it). Being no
// enumerator of the class, it is switched on as an int.
constexpr auto kCaseSensitiveClass = static_cast<FILE_INFORMATION_CLASS>(71);
constexpr ULONG kCaseSensitiveDirectory = 0x1;
// The deletion mark of Windows 10 1809 on (FILE_DISPOSITION_INFORMATION_EX), likewise.
constexpr auto kDispositionExClass = static_cast<FILE_INFORMATION_CLASS>(64);
constexpr ULONG kDispositionDelete = 0x1;
constexpr ULONG kDispositionPosixSemantics = 0x2;
constexpr ULONG kDispositionImageSectionCheck = 0x4;
constexpr ULONG kDispositionOnClose = 0x8;
constexpr ULONG kDispositionIgnoreReadOnly = 0x10;

// The object namespace: maps a native path to the POSIX path it names.
// Returns STATUS_SUCCESS with the volume's directory and the rest of the path after
// the device name (empty, or beginning with a separator).
NTSTATUS FindVolume(const WCHAR* path, std::size_t units, const char** directory,
                    std::size_t* consumed);
int FindLink(const WCHAR* name, std::size_t units, bool ignoreCase);
const WCHAR* LinkTarget(int link);

// Encodes the code point at text[at] (an unpaired surrogate as U+FFFD) as UTF-8 into out,
// which takes 4 bytes or more, and moves at past it. Returns the bytes written.
constexpr std::size_t kUtf8MaxBytes = 4;
int EncodeNextUtf8(const WCHAR* text, std::size_t units, std::size_t& at, char* out);

// A POSIX name as a listing gives it (see Utf8ToUtf16), each byte that begins no
// well-formed sequence as U+FFFD, as under Wine.
int Utf8NameToUtf16(const char* name, WCHAR* out, std::size_t capacity);

// UTF-16 to UTF-8. Returns the units written (without terminator) and terminates the
// output; -1 for text that is not well formed or does not fit.
int Utf16ToUtf8(const WCHAR* text, std::size_t units, char* out, std::size_t capacity);

}  // namespace standin
