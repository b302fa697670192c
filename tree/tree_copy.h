// The copy of a whole folder: `vantro <folder> <new folder> /E`. The tree is walked by
// handles, each folder opened relative to its parent's and listed, every name taken from a
// listing; it is built under a temporary name beside the destination and takes the
// destination's name only once every folder and file arrived, so that the destination's
// name holds the whole tree or nothing. Names that differ in case alone stay apart where
// the destination keeps them apart, and are reported where it refuses the second.
#pragma once

#include <cstddef>

#include "copy/copy_engine.h"
#include "native/windows_api.h"

// The open levels of a walk, a folder of the source and its new folder each: the bound on
// the tree's depth.
constexpr std::size_t kTreeLevels = 128;
// A listing holds many entries, and always one with a 255-unit name.
constexpr ULONG kListingBytes = 4096;
// A path relative to the source folder: its names at every level, joined.
constexpr std::size_t kRelativeUnits = kTreeLevels * 256;
// A native path of any length a counted string holds, and its terminator.
constexpr std::size_t kNativePathUnits = 32768;
// What marks the new tree's name as unfinished until it is whole.
inline constexpr const WCHAR* kUnfinishedSuffix = WIDE(".partial");

// One open folder of the walk, with its new folder.
struct TreeLevel {
  HANDLE source;
  HANDLE destination;
  FILE_BASIC_INFORMATION kept;  // the source folder's time and attributes, for its new folder
  std::size_t pathEnd;          // the units of the relative path up to this folder
  ULONG next;                   // the offset of the next entry in the listing
  bool listed;                  // the listing holds entries not yet taken
  bool begun;                   // the folder was listed at least once
  // The new folder was there before this run (an unfinished tree's): its entries are looked
  // at, and counted as found or made (present) against what it holds at the end.
  bool existed;
  bool caseSensitive;  // it finds a name by exactly that name alone
  ULONGLONG present;
  alignas(8) BYTE listing[kListingBytes];
};

// Everything a tree copy needs beside the message and data buffers; the driver owns it,
// in static storage (it is large, and costs nothing until a tree is copied).
struct TreeBuffers {
  TreeLevel levels[kTreeLevels];
  WCHAR relative[kRelativeUnits];
  WCHAR parent[kNativePathUnits];      // the destination's parent folder, ending in a separator
  WCHAR unfinished[kNativePathUnits];  // the destination's name and the unfinished suffix
};

enum class TreeResult {
  kCopied,     // the whole tree arrived under the destination's name
  kFailed,     // refused, or unfinished: its lines were printed
  kNotFolder,  // the source is a file: it is copied as one
};

// Copies the folder source into a new folder destination, printing every line of its own
// (failures, skipped links, the summary, where an unfinished tree stays).
TreeResult CopyTreeNative(const NativeName& source, const NativeName& destination,
                          TreeBuffers& buffers, WCHAR* messageBuffer, BYTE* dataBuffer);
