// One file of a copy as the native services see it, and what the copy asks of it besides
// reading and writing.
#pragma once

#include "native/windows_api.h"

// Without OBJ_CASE_INSENSITIVE its name is looked up exactly as written.
struct NativeFile {
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK io;
  // nullptr while it is not open. OBJ_KERNEL_HANDLE is dropped by the object manager for a
  // caller in user mode, so this is an ordinary handle of the process, closed with
  // CloseHandle; ZwClose is bound by name for the translation's link handles alone.
  HANDLE handle;
};

void DescribeFile(NativeFile& file, const WCHAR* nativePath);
// A name relative to an open folder, counted as a listing gives it (not terminated).
void DescribeRelativeFile(NativeFile& file, HANDLE folder, const WCHAR* name, USHORT nameBytes);

// Every kind of sharing, for opens that only look (a folder listed, a name checked); a
// folder opened for synchronous calls.
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kFolderOptions = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;

// ZwCreateFile, without sharing unless asked; the handle stays nullptr when it fails.
NTSTATUS OpenNativeFile(NativeFile& file, ACCESS_MASK access, ULONG disposition, ULONG options,
                        ULONG share = 0);

// Marks the open file for deletion at its close, or clears the mark.
NTSTATUS SetDeletion(NativeFile& file, bool deleteFile);

// Clears the mark a create with FILE_DELETE_ON_CLOSE gave the handle, which SetDeletion
// cannot clear (FileDispositionInformationEx, Windows 10 1809 on).
NTSTATUS ClearMarkOfCreate(NativeFile& file);

// Whether the platform lets a create's mark be cleared on the volume of file (opened with
// DELETE): asked by clearing the mark of a handle that has none, which changes nothing where
// the class is known and is refused where it is not (Wine 8: c0000002; Windows before 1809;
// a file system without it).
bool CanClearMarkOfCreate(NativeFile& file);

// Whether the open file's deletion mark holds, as the platform reports it.
bool MarkHolds(NativeFile& file);

// Whether the platform reports a mark's hold on the volume of file, a new and empty file or
// folder opened with DELETE: it is marked, asked, and unmarked again (Wine reports none).
bool ReportsMarkHold(NativeFile& file);

// Sets the last-write time (0: unchanged) and the attributes (0: unchanged); the creation
// and last-access times are left as they are.
NTSTATUS SetTimeAndAttributes(NativeFile& file, LARGE_INTEGER lastWrite, ULONG attributes);
