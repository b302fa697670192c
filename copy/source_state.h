// What the source looked like when it was opened. Opening it without sharing holds it only
// against programs that respect share modes; Wine's Linux side and the far side of a
// network share do not. So the copy notes the source's state at its open and compares it
// at the end: a source that changed meanwhile is never taken for a whole copy.
#pragma once

#include "native/windows_api.h"

struct SourceState {
  FILE_BASIC_INFORMATION basic;  // its times and attributes
  LONGLONG size;
};

// Two queries of the open source: its times and attributes, and its size.
NTSTATUS QuerySourceState(HANDLE file, SourceState& state);

// STATUS_SUCCESS when the source still has the noted size, last-write time and change time,
// and readBytes is all of it; STATUS_SHARING_VIOLATION (what another writer gets where share
// modes hold) when it changed, or the status of a query that failed. The change time moves
// with anything done to the file: a write, a link added or removed, an attribute set, a time
// put back.
NTSTATUS CheckSourceUnchanged(HANDLE file, const SourceState& noted, ULONGLONG readBytes);
