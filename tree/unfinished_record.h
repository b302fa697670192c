// The record that makes an unfinished tree known as vantro's: a small hidden file at the top
// of <name>.partial naming the source the tree is a copy of. A later run of the same command
// continues a tree that holds it; a folder of that name without it, or naming another source,
// is someone else's and is never touched. It never reaches the destination's name: it goes
// just before the rename, and is written again if the rename fails.
#pragma once

#include "native/windows_api.h"

// Its name at the top of the unfinished tree.
inline constexpr const WCHAR* kRecordName = WIDE(".vantro-unfinished");

// Writes the record into the open top folder: source is the source's native path as
// announced.
NTSTATUS WriteRecord(HANDLE top, const WCHAR* source);

// Whether the open top folder holds a record naming exactly this source; data takes
// kCopyBlockBytes.
bool HoldsRecordOf(HANDLE top, const WCHAR* source, BYTE* data);

// Removes the record, by its handle.
NTSTATUS RemoveRecord(HANDLE top);

// Whether a listed name is the record's.
bool IsRecordName(const WCHAR* name, ULONG nameBytes);
