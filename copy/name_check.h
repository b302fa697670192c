// Whether the platform opened the file of exactly the names the user typed. A platform
// may ignore a case-sensitive lookup (Windows outside case-sensitive folders, Wine); the
// name it reports of the opened file tells.
#pragma once

#include <cstddef>

#include "native/windows_api.h"

// One file as the translation named it: its native path, and the names the user typed,
// which end it (what comes before them is the drive's device or the base folder's path).
struct NativeName {
  const WCHAR* path;
  const WCHAR* typedNames;
};

// The longest record of a reported name: its header and 32,767 units, as many as a counted
// string's 16-bit length describes.
constexpr ULONG kNameRecordBytes = offsetof(FILE_NAME_INFORMATION, FileName) + 0xFFFE;

// Compares the names the user typed (the end of the native path that was opened, from
// its first typed name on) with the names stored on disk. Returns STATUS_SUCCESS unless a
// pair differs in letter case alone: then what a platform honouring the lookup reports,
// STATUS_OBJECT_PATH_NOT_FOUND for a folder on the way, else STATUS_OBJECT_NAME_NOT_FOUND
// for the file's own name. Names that differ otherwise (a short name, a link's target) and
// names that cannot be had prove nothing and pass.
// The stored names come from the normalized name of the open file; where the file system
// refuses it (Wine; SMB 2.0.2 to 3.0.2 servers, the NFS and WebDAV redirectors, whose
// opened name may be the client's echo of the name as typed), from each typed name's
// folder listed with that name as the mask; where that cannot be listed, from the opened
// name. buffer (kNameRecordBytes, aligned for a ULONG) takes the reported name or the
// listing: the query offers its first bufferBytes, and only a name longer than those is read
// again into as much of the rest as it takes, so that the pages past them are touched for
// such a name alone. A separator that ends the typed names (a folder typed "Dir\") names
// nothing.
NTSTATUS CheckOpenedName(HANDLE file, const NativeName& name, BYTE* buffer, ULONG bufferBytes);

// A file ID that tells nothing: 0, or all ones (it "MUST be ignored", as ReFS may answer).
bool IsUnknownId(LONGLONG id);

// The file ID of an open file, or an unknown one (0) when it cannot be had.
LONGLONG FileIdOf(HANDLE file);

// Whether a file opened by its name in a folder's listing is the one listed: its ID is the
// listing's. The name may have been given to another file since it was listed, or a
// platform that ignores the case-sensitive lookup may have opened its twin; either way it
// counts as not found (STATUS_OBJECT_NAME_NOT_FOUND). An unknown listedId asks for no check.
NTSTATUS CheckListedId(HANDLE file, LONGLONG listedId);
