// What the stand-in's modules export under their own names: ntdll's native services and
// the path functions of kernelbase and shlwapi. The host build checks each against the type
// the tool calls it through.
#pragma once

#include "standin/windows_api.h"

namespace standin {

// The native services, as ntdll exports them.
VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE handle, ACCESS_MASK access,
                                  POBJECT_ATTRIBUTES attributes);
NTSTATUS ZwQuerySymbolicLinkObject(HANDLE link, PUNICODE_STRING target, PULONG returnedLength);
NTSTATUS ZwClose(HANDLE handle);
NTSTATUS ZwCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK io, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                      ULONG shareAccess, ULONG disposition, ULONG options, PVOID eaBuffer,
                      ULONG eaLength);
NTSTATUS ZwReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                    PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                    PULONG key);
NTSTATUS ZwWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                     PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset,
                     PULONG key);
NTSTATUS ZwSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                              FILE_INFORMATION_CLASS informationClass);
NTSTATUS ZwQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                FILE_INFORMATION_CLASS informationClass);
NTSTATUS ZwQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apcRoutine,
                              PVOID apcContext, PIO_STATUS_BLOCK io, PVOID information,
                              ULONG length, FILE_INFORMATION_CLASS informationClass,
                              BOOLEAN returnSingleEntry, PUNICODE_STRING fileName,
                              BOOLEAN restartScan);
NTSTATUS ZwQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information,
                                      ULONG length, FS_INFORMATION_CLASS informationClass);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING first, PCUNICODE_STRING second,
                              BOOLEAN caseInsensitive);

// shlwapi's path functions, which kernelbase exports too.
BOOL PathRemoveFileSpecW(LPWSTR path);
int PathGetDriveNumberW(LPCWSTR path);
BOOL PathIsRelativeW(LPCWSTR path);
LPWSTR PathSkipRootW(LPCWSTR path);

}  // namespace standin
