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

// An entry of a new folder that was there before this run, noted by a hash of its exact name
// (0: a free slot); matched once a source's entry of that name met it.
struct KnownEntry {
  ULONGLONG nameHash;
  LONGLONG size;
  LONGLONG lastWrite;
  LONGLONG id;
  ULONG attributes;
  bool matched;
};
// The entries the walk notes at most, over the folders open at once.
constexpr std::size_t kKnownEntries = std::size_t{1} << 18;

// One open folder of the walk, with its new folder.
struct TreeLevel {
  HANDLE source;
  HANDLE destination;
  FILE_BASIC_INFORMATION kept;  // the source folder's time and attributes, for its new folder
  std::size_t pathEnd;          // the units of the relative path up to this folder
  ULONG next;                   // the offset of the next entry in the listing
  bool listed;                  // the listing holds entries not yet taken
  bool begun;                   // the folder was listed at least once
  // The new folder was there before this run (an unfinished tree's): its entries are noted
  // in the known slots from knownAt on, and the matched ones counted.
  bool existed;
  std::size_t knownAt;
  std::size_t knownSlots;
  ULONGLONG knownCount;
  ULONGLONG matched;
  alignas(8) BYTE listing[kListingBytes];
};

// Everything a tree copy needs beside the message and data buffers; the driver owns it,
// in static storage (it is large, and costs nothing until a tree is copied).
struct TreeBuffers {
  TreeLevel levels[kTreeLevels];
  WCHAR relative[kRelativeUnits];
  WCHAR parent[kNativePathUnits];      // the destination's parent folder, ending in a separator
  WCHAR unfinished[kNativePathUnits];  // the destination's name and the unfinished suffix
  // Open-addressed tables of the entries of new folders that were there before, one per
  // level, taken and given back as the walk goes in and out.
  KnownEntry known[kKnownEntries];
  std::size_t knownUsed;
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
