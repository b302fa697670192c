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
using RtlEqualUnicodeStringFn = BOOLEAN(NTAPI*)(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                                BOOLEAN CaseInSensitive);

// A folder's mark that names in it are looked up case-sensitively (Windows 10 1803 on); the
// user-mode headers lack it.
constexpr auto FileCaseSensitiveInformation = static_cast<FILE_INFORMATION_CLASS>(71);
struct FILE_CASE_SENSITIVE_INFORMATION {
  ULONG Flags;
};
constexpr ULONG FILE_CS_FLAG_CASE_SENSITIVE_DIR = 0x1;

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
