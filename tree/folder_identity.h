// Whether two open folders are one folder, by whatever names they were reached: a second
// drive letter, a symbolic link, a junction, a short name or a network path to the same
// place. Decided by identity, never by comparing paths as text.
#pragma once

#include "native/windows_api.h"

// Whether first and second are the same folder: the same file ID on the same volume. Where
// neither folder's volume can be told (Wine, for a Linux file system no drive letter maps:
// it refuses the query, and every such file system's root has the same ID), their times
// stand in for the volume: queried now, one folder's are the other's. An unknown ID is
// never a match.
bool SameFolder(HANDLE first, HANDLE second);
