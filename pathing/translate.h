// Translation of the user's paths into native object paths: the device path of the
// volume, read from its drive link, followed by the path inside the volume.
#pragma once

#include <cstddef>

#include "native/platform_api.h"

// A drive link name: "\??\C:" and its terminator; unit 4 takes the drive letter.
constexpr std::size_t kLinkNameUnits = 7;
constexpr std::size_t kDriveLetterIndex = 4;
inline constexpr const WCHAR* kDriveLinkText = WIDE("\\??\\C:");

// Writes into target (a path buffer) the device path of the drive that path begins
// with. Fails with the status of the link's open or query.
NTSTATUS ResolveDriveTarget(const WCHAR* path, WCHAR* linkName, WCHAR* target);

// Shortens the invocation path to its directory part (in place), fills the base
// directory (that part, or the current directory when there is none) and writes its
// native path, ending in one separator, into basePrefix.
NTSTATUS ComputeBasePrefix(WCHAR* invocationPath, WCHAR* baseDirectory, WCHAR* linkName,
                           WCHAR* target, WCHAR* basePrefix);

// Writes the native path of one argument into out. A relative argument is joined to
// the base prefix as typed; when the base prefix could not be computed, its status
// is this argument's. Every buffer but the argument is a path buffer.
NTSTATUS ComposeNativePath(const WCHAR* argument, const WCHAR* basePrefix, NTSTATUS baseStatus,
                           WCHAR* linkName, WCHAR* target, WCHAR* out);
