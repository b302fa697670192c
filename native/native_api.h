// The native services the tool binds by name from ntdll, and what the user-mode
// headers lack to call them.
#pragma once

#include "native/platform_api.h"

using RtlInitUnicodeStringFn = VOID(NTAPI*)(PUNICODE_STRING, PCWSTR);
using ZwCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                        PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using ZwReadFileFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK,
                                      PVOID, ULONG, PLARGE_INTEGER, PULONG);
using ZwWriteFileFn = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK,
                                       PVOID, ULONG, PLARGE_INTEGER, PULONG);
using ZwCloseFn = NTSTATUS(NTAPI*)(HANDLE);
using ZwQuerySymbolicLinkObjectFn = NTSTATUS(NTAPI*)(HANDLE, PUNICODE_STRING, PULONG);
using ZwOpenSymbolicLinkObjectFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
using ZwSetInformationFileFn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                FILE_INFORMATION_CLASS);

// NT statuses are shown as unsigned 32-bit values; LONG is 32 bits on both builds.
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
