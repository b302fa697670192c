// The native services the tool binds by name from ntdll, and what the user-mode
// headers lack to call them.
#pragma once

#include "native/windows_api.h"

// Parameters carry the platform's names: "out" marks what the service writes.
using RtlInitUnicodeStringFn = VOID(NTAPI*)(PUNICODE_STRING DestinationString /* out */,
                                            PCWSTR SourceString);
using ZwCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE FileHandle /* out */, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes,
                                        PIO_STATUS_BLOCK IoStatusBlock /* out */,
                                        PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                        ULONG ShareAccess, ULONG CreateDisposition,
                                        ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
using ZwReadFileFn = NTSTATUS(NTAPI*)(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                      PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock /* out */,
                                      PVOID Buffer /* out */, ULONG Length,
                                      PLARGE_INTEGER ByteOffset, PULONG Key);
using ZwWriteFileFn = NTSTATUS(NTAPI*)(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                       PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock /* out */,
                                       PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                       PULONG Key);
using ZwCloseFn = NTSTATUS(NTAPI*)(HANDLE Handle);
using ZwQuerySymbolicLinkObjectFn = NTSTATUS(NTAPI*)(HANDLE LinkHandle,
                                                     PUNICODE_STRING LinkTarget /* out */,
                                                     PULONG ReturnedLength /* out */);
using ZwOpenSymbolicLinkObjectFn = NTSTATUS(NTAPI*)(PHANDLE LinkHandle /* out */,
                                                    ACCESS_MASK DesiredAccess,
                                                    POBJECT_ATTRIBUTES ObjectAttributes);
using ZwSetInformationFileFn = NTSTATUS(NTAPI*)(HANDLE FileHandle,
                                                PIO_STATUS_BLOCK IoStatusBlock /* out */,
                                                PVOID FileInformation, ULONG Length,
                                                FILE_INFORMATION_CLASS FileInformationClass);
using ZwQueryInformationFileFn = NTSTATUS(NTAPI*)(HANDLE FileHandle,
                                                  PIO_STATUS_BLOCK IoStatusBlock /* out */,
                                                  PVOID FileInformation /* out */, ULONG Length,
                                                  FILE_INFORMATION_CLASS FileInformationClass);
using ZwQueryDirectoryFileFn = NTSTATUS(NTAPI*)(HANDLE FileHandle, HANDLE Event,
                                                PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                                PIO_STATUS_BLOCK IoStatusBlock /* out */,
                                                PVOID FileInformation /* out */, ULONG Length,
                                                FILE_INFORMATION_CLASS FileInformationClass,
                                                BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                                BOOLEAN RestartScan);
using ZwQueryVolumeInformationFileFn = NTSTATUS(NTAPI*)(HANDLE FileHandle,
                                                        PIO_STATUS_BLOCK IoStatusBlock /* out */,
                                                        PVOID FsInformation /* out */, ULONG Length,
                                                        FS_INFORMATION_CLASS FsInformationClass);
using RtlEqualUnicodeStringFn = BOOLEAN(NTAPI*)(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                                BOOLEAN CaseInSensitive);

// A folder's mark that names in it are looked up case-sensitively (Windows 10 1803 on); the
// user-mode headers lack it.
constexpr auto FileCaseSensitiveInformation = static_cast<FILE_INFORMATION_CLASS>(71);
struct FILE_CASE_SENSITIVE_INFORMATION {
  ULONG Flags;
};
constexpr ULONG FILE_CS_FLAG_CASE_SENSITIVE_DIR = 0x1;

// The deletion mark of Windows 10 1809 on: besides the file's delete-pending state (what
// FileDispositionInformation sets), it sets or clears the state a create with
// FILE_DELETE_ON_CLOSE gives the handle, which the older class cannot clear.
constexpr auto FileDispositionInformationEx = static_cast<FILE_INFORMATION_CLASS>(64);
struct FILE_DISPOSITION_INFORMATION_EX {
  ULONG Flags;
};
constexpr ULONG FILE_DISPOSITION_DELETE = 0x1;
constexpr ULONG FILE_DISPOSITION_ON_CLOSE = 0x8;

// Reparse tags, as a listing gives them in EaSize: a name surrogate (a link, a junction, a
// mount point) has this bit; the special files of a WSL folder have tags of their own.
constexpr ULONG kReparseNameSurrogate = 0x20000000;
constexpr ULONG kReparseTagMountPoint = 0xA0000003;
constexpr ULONG kReparseTagSymlink = 0xA000000C;
constexpr ULONG kReparseTagLxSymlink = 0xA000001D;
constexpr ULONG kReparseTagAfUnix = 0x80000023;
constexpr ULONG kReparseTagLxFifo = 0x80000024;
constexpr ULONG kReparseTagLxCharDevice = 0x80000025;
constexpr ULONG kReparseTagLxBlockDevice = 0x80000026;

// NT statuses are shown as unsigned 32-bit values; LONG is 32 bits on both builds.
// Wherever the tool tests a status it compares with STATUS_SUCCESS, not NT_SUCCESS:
// NT_SUCCESS also passes informational statuses (STATUS_PENDING, STATUS_OBJECT_NAME_EXISTS)
// that do not say the request was done as asked.
inline ULONG StatusCode(NTSTATUS status) {
  return static_cast<ULONG>(status);
}

// A name to open, with no root directory, security descriptor or quality of service.
inline OBJECT_ATTRIBUTES ObjectAttributesFor(PUNICODE_STRING name, ULONG attributes) {
  OBJECT_ATTRIBUTES record{};
  record.Length = sizeof(OBJECT_ATTRIBUTES);
  record.ObjectName = name;
  record.Attributes = attributes;
  return record;
}

// The records the native services take have the platform's layouts: on the 32-bit
// platform OBJECT_ATTRIBUTES is 24 bytes, IO_STATUS_BLOCK and UNICODE_STRING 8.
static_assert(sizeof(void*) != 4 || sizeof(OBJECT_ATTRIBUTES) == 24);
static_assert(sizeof(void*) != 4 || sizeof(IO_STATUS_BLOCK) == 8);
static_assert(sizeof(void*) != 4 || sizeof(UNICODE_STRING) == 8);
static_assert(sizeof(void*) != 8 || sizeof(OBJECT_ATTRIBUTES) == 48);
static_assert(sizeof(void*) != 8 || sizeof(IO_STATUS_BLOCK) == 16);
static_assert(sizeof(void*) != 8 || sizeof(UNICODE_STRING) == 16);
