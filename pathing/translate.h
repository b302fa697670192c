// Translation of the user's paths into native object paths: the device path of the
// volume, read from its drive link, followed by the path inside the volume.
#pragma once

#include <cstddef>
#include <string_view>

#include "native/windows_api.h"
#include "pathing/path_text.h"

// A drive link name: "\??\C:" and its terminator; unit 4 takes the drive letter.
constexpr std::size_t kLinkNameUnits = 7;
constexpr std::size_t kDriveLetterIndex = 4;
inline constexpr const WCHAR* kDriveLinkText = WIDE("\\??\\C:");
static_assert(std::char_traits<WCHAR>::length(kDriveLinkText) + 1 == kLinkNameUnits);

// One resolution of a drive link: its name and the device target read from it.
struct DriveLink {
  WCHAR name[kLinkNameUnits];
  WCHAR target[kPathUnits];
};

// The base of relative arguments: the directory, its native path ending in one
// separator, and the status of computing it.
struct BaseDirectory {
  DriveLink link;
  WCHAR directory[kPathUnits];
  WCHAR prefix[kPathUnits];
  NTSTATUS status;
};

// One argument's translation: its own link resolution, the native path it gives, and
// where in that path the names the user typed begin (before them: the drive's device or
// the base prefix).
struct NativeArgument {
  DriveLink link;
  WCHAR path[kPathUnits];
  std::size_t typedAt;
};

// Writes into link.target the device path of the drive that path begins with. Fails
// with the status of the link's open or query.
NTSTATUS ResolveDriveTarget(const WCHAR* path, DriveLink& link);

// Shortens the invocation path to its directory part (in place), fills the base
// directory (that part, or the current directory when there is none) and writes its
// native path into base.prefix. The result is also kept in base.status.
NTSTATUS ComputeBasePrefix(WCHAR* invocationPath, BaseDirectory& base);

// Writes the native path of one argument into out.path. A relative argument is joined
// to the base prefix as typed; when the base prefix could not be computed, its status
// is this argument's.
NTSTATUS ComposeNativePath(const WCHAR* argument, const BaseDirectory& base, NativeArgument& out);
