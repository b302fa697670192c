// The stand-in platform's view of the Windows API: the same names and layouts the
// product build takes from the Windows headers, with 16-bit wide text, so that the
// tool's sources compile unchanged on Linux.
#pragma once

#include <cstddef>
#include <cstdint>

#define NTAPI
#define WINAPI
#define WIDE(text) u##text

using VOID = void;
using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using BOOL = int;
using BOOLEAN = unsigned char;
using UCHAR = unsigned char;
using BYTE = unsigned char;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using USHORT = std::uint16_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using PULONG = ULONG*;
using DWORD = std::uint32_t;
using LPDWORD = DWORD*;
using UINT = unsigned int;
using INT_PTR = std::intptr_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using WCHAR = char16_t;
using PWSTR = WCHAR*;
using LPWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using LPCWSTR = const WCHAR*;
using LPCWCH = const WCHAR*;
using LPBOOL = BOOL*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using HMODULE = void*;
using NTSTATUS = LONG;
using ACCESS_MASK = ULONG;
using FARPROC = INT_PTR (*)();

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;

struct IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;
using PIO_APC_ROUTINE = VOID (*)(PVOID, PIO_STATUS_BLOCK, ULONG);
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

// Its underlying type is fixed, so that a class the list leaves out is a value of it too.
enum FILE_INFORMATION_CLASS : int {
  FileBasicInformation = 4,
  FileStandardInformation = 5,
  FileInternalInformation = 6,
  FileNameInformation = 9,
  FileRenameInformation = 10,
  FileDispositionInformation = 13,
  FileIdFullDirectoryInformation = 38,
  FileNormalizedNameInformation = 48,
};

enum FS_INFORMATION_CLASS : int {
  FileFsVolumeInformation = 1,
};

struct FILE_FS_VOLUME_INFORMATION {
  LARGE_INTEGER VolumeCreationTime;
  ULONG VolumeSerialNumber;
  ULONG VolumeLabelLength;
  BOOLEAN SupportsObjects;
  WCHAR VolumeLabel[1];
};

// Times count 100 ns since 1601-01-01 (UTC).
struct FILE_BASIC_INFORMATION {
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  ULONG FileAttributes;
};

struct FILE_STANDARD_INFORMATION {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
};

struct FILE_NAME_INFORMATION {
  ULONG FileNameLength;
  WCHAR FileName[1];
};

struct FILE_DISPOSITION_INFORMATION {
  BOOLEAN DoDeleteFile;
};

struct FILE_INTERNAL_INFORMATION {
  LARGE_INTEGER IndexNumber;
};

struct FILE_RENAME_INFORMATION {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;
  WCHAR FileName[1];
};

// One entry of a folder's listing; entries follow each other at NextEntryOffset (0: the last).
struct FILE_ID_FULL_DIR_INFORMATION {
  ULONG NextEntryOffset;
  ULONG FileIndex;
  LARGE_INTEGER CreationTime;
  LARGE_INTEGER LastAccessTime;
  LARGE_INTEGER LastWriteTime;
  LARGE_INTEGER ChangeTime;
  LARGE_INTEGER EndOfFile;
  LARGE_INTEGER AllocationSize;
  ULONG FileAttributes;
  ULONG FileNameLength;
  ULONG EaSize;  // the reparse tag, for a reparse point
  LARGE_INTEGER FileId;
  WCHAR FileName[1];
};

// Object attributes, access rights, create dispositions and options.
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x40;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x200;
constexpr ACCESS_MASK FILE_LIST_DIRECTORY = 0x1;
constexpr ACCESS_MASK FILE_ADD_FILE = 0x2;
constexpr ACCESS_MASK FILE_ADD_SUBDIRECTORY = 0x4;
constexpr ACCESS_MASK FILE_READ_ATTRIBUTES = 0x80;
constexpr ACCESS_MASK FILE_WRITE_ATTRIBUTES = 0x100;
constexpr ACCESS_MASK DELETE = 0x00010000;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
constexpr ULONG FILE_OPEN = 1;
constexpr ULONG FILE_CREATE = 2;
constexpr ULONG FILE_SHARE_READ = 0x1;
constexpr ULONG FILE_SHARE_WRITE = 0x2;
constexpr ULONG FILE_SHARE_DELETE = 0x4;
constexpr ULONG FILE_DIRECTORY_FILE = 0x1;
constexpr ULONG FILE_SYNCHRONOUS_IO_ALERT = 0x10;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x20;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x40;
constexpr ULONG FILE_DELETE_ON_CLOSE = 0x1000;
constexpr ULONG FILE_OPEN_REPARSE_POINT = 0x200000;
constexpr ULONG FILE_ATTRIBUTE_READONLY = 0x1;
constexpr ULONG FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr ULONG FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr ULONG FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr ULONG FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr ULONG FILE_ATTRIBUTE_TEMPORARY = 0x100;
constexpr ULONG FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr ULONG FILE_ATTRIBUTE_OFFLINE = 0x1000;
constexpr ULONG FILE_ATTRIBUTE_NOT_CONTENT_INDEXED = 0x2000;

constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
constexpr UINT CP_UTF8 = 65001;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(-1);  // NOLINT

// NT statuses the tool and the stand-in use.
constexpr NTSTATUS NtStatus(std::uint32_t code) {
  return static_cast<NTSTATUS>(code);
}
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_PENDING = 0x103;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = NtStatus(0x80000005);
constexpr NTSTATUS STATUS_NO_MORE_FILES = NtStatus(0x80000006);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = NtStatus(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = NtStatus(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_INFO_CLASS = NtStatus(0xC0000003);
constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH = NtStatus(0xC0000004);
constexpr NTSTATUS STATUS_INVALID_HANDLE = NtStatus(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = NtStatus(0xC000000D);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = NtStatus(0xC000000E);
constexpr NTSTATUS STATUS_NO_SUCH_FILE = NtStatus(0xC000000F);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = NtStatus(0xC0000010);
constexpr NTSTATUS STATUS_END_OF_FILE = NtStatus(0xC0000011);
constexpr NTSTATUS STATUS_NO_MEMORY = NtStatus(0xC0000017);
constexpr NTSTATUS STATUS_ACCESS_DENIED = NtStatus(0xC0000022);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = NtStatus(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = NtStatus(0xC0000024);
constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = NtStatus(0xC0000033);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = NtStatus(0xC0000034);
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = NtStatus(0xC0000035);
constexpr NTSTATUS STATUS_OBJECT_PATH_INVALID = NtStatus(0xC0000039);
constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = NtStatus(0xC000003A);
constexpr NTSTATUS STATUS_OBJECT_PATH_SYNTAX_BAD = NtStatus(0xC000003B);
constexpr NTSTATUS STATUS_SHARING_VIOLATION = NtStatus(0xC0000043);
constexpr NTSTATUS STATUS_QUOTA_EXCEEDED = NtStatus(0xC0000044);
constexpr NTSTATUS STATUS_DELETE_PENDING = NtStatus(0xC0000056);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = NtStatus(0xC000009A);
constexpr NTSTATUS STATUS_DISK_FULL = NtStatus(0xC000007F);
constexpr NTSTATUS STATUS_MEDIA_WRITE_PROTECTED = NtStatus(0xC00000A2);
constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY = NtStatus(0xC00000BA);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = NtStatus(0xC00000BB);
constexpr NTSTATUS STATUS_NOT_SAME_DEVICE = NtStatus(0xC00000D4);
constexpr NTSTATUS STATUS_INVALID_PARAMETER_3 = NtStatus(0xC00000F1);
constexpr NTSTATUS STATUS_DIRECTORY_NOT_EMPTY = NtStatus(0xC0000101);
constexpr NTSTATUS STATUS_NOT_A_DIRECTORY = NtStatus(0xC0000103);
constexpr NTSTATUS STATUS_NAME_TOO_LONG = NtStatus(0xC0000106);
constexpr NTSTATUS STATUS_TOO_MANY_OPENED_FILES = NtStatus(0xC000011F);
constexpr NTSTATUS STATUS_CANNOT_DELETE = NtStatus(0xC0000121);
constexpr NTSTATUS STATUS_CONTROL_C_EXIT = NtStatus(0xC000013A);
constexpr NTSTATUS STATUS_ENTRYPOINT_NOT_FOUND = NtStatus(0xC0000139);
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = NtStatus(0xC0000185);
constexpr NTSTATUS STATUS_IO_REPARSE_TAG_NOT_HANDLED = NtStatus(0xC0000279);

// Console control events, and a routine that handles them.
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD CTRL_LOGOFF_EVENT = 5;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;
using PHANDLER_ROUTINE = BOOL (*)(DWORD controlType);

// kernel32 functions the tool calls.
HMODULE GetModuleHandleW(LPCWSTR moduleName);
HMODULE LoadLibraryW(LPCWSTR fileName);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
DWORD GetCurrentDirectoryW(DWORD bufferLength, LPWSTR buffer);
HANDLE GetStdHandle(DWORD stdHandle);
BOOL GetConsoleMode(HANDLE console, LPDWORD mode);
DWORD GetConsoleProcessList(LPDWORD processList, DWORD processCount);
ULONGLONG GetTickCount64();
BOOL WriteConsoleW(HANDLE console, const VOID* buffer, DWORD charsToWrite, LPDWORD charsWritten,
                   LPVOID reserved);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE object);
VOID Sleep(DWORD milliseconds);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handlerRoutine, BOOL add);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wideText, int wideLength,
                        LPSTR multiByte, int multiByteLength, LPCSTR defaultChar,
                        LPBOOL usedDefaultChar);
int lstrlenW(LPCWSTR text);
