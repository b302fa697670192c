#include "tree/tree_continue.h"

#include <algorithm>

#include "console/messages.h"
#include "copy/file_copy.h"
#include "copy/name_check.h"
#include "copy/native_file.h"
#include "native/native_services.h"
#include "tree/unfinished_record.h"

namespace {

// A name's hash (64-bit FNV-1a over its units); 0 marks a free slot.
ULONGLONG HashOf(const Entry& entry) {
  constexpr ULONGLONG kOffset = 0xcbf29ce484222325ULL;
  constexpr ULONGLONG kPrime = 0x100000001b3ULL;
  ULONGLONG hash = kOffset;
  for (ULONG at = 0; at < entry.FileNameLength / sizeof(WCHAR); ++at) {
    hash = (hash ^ entry.FileName[at]) * kPrime;
  }
  return hash != 0 ? hash : 1;
}

KnownEntry* SlotsOf(TreeWalk& walk, const TreeLevel& level) {
  return walk.buffers.known + level.knownAt;
}

// The slot of the name: its own, or the free one where it would go.
KnownEntry& SlotFor(TreeWalk& walk, const TreeLevel& level, ULONGLONG hash) {
  KnownEntry* slots = SlotsOf(walk, level);
  std::size_t at = static_cast<std::size_t>(hash) & (level.knownSlots - 1);
  while (slots[at].nameHash != 0 && slots[at].nameHash != hash) {
    at = (at + 1) & (level.knownSlots - 1);
  }
  return slots[at];
}

// Calls take with each entry of the level's new folder but the dots and the top's record,
// through the data buffer; the status of a listing that failed.
template <typename Take>
NTSTATUS ForEachEntryThere(TreeWalk& walk, const TreeLevel& level, Take take) {
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = NativeServices.ZwQueryDirectoryFile(
        level.destination, nullptr, nullptr, nullptr, &io, walk.data, kCopyBlockBytes,
        FileIdFullDirectoryInformation, FALSE, nullptr, restart);
    if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE) {
      return STATUS_SUCCESS;
    }
    if (status != STATUS_SUCCESS) {
      return status;
    }
    for (ULONG offset = 0;;) {
      const auto* entry = reinterpret_cast<const Entry*>(walk.data + offset);
      if (!IsDotName(*entry) &&
          !(level.pathEnd == 0 && IsRecordName(entry->FileName, entry->FileNameLength))) {
        take(*entry);
      }
      if (entry->NextEntryOffset == 0) {
        break;
      }
      offset += entry->NextEntryOffset;
    }
  }
}

// The noted entry of exactly the listed name, or nullptr.
KnownEntry* Lookup(TreeWalk& walk, const TreeLevel& level, const Entry& entry) {
  KnownEntry& slot = SlotFor(walk, level, HashOf(entry));
  return slot.nameHash != 0 ? &slot : nullptr;
}

// The noted entry of the listed name, matched by a source's entry; nullptr where there is
// none of that name and kind.
KnownEntry* Match(TreeWalk& walk, TreeLevel& level, const Entry& entry, bool folder) {
  KnownEntry* known = Lookup(walk, level, entry);
  if (known == nullptr || ((known->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder) {
    return nullptr;
  }
  level.matched += known->matched ? 0 : 1;
  known->matched = true;
  return known;
}

// Opens the listed name in the level's new folder, only when it is the noted entry (its ID).
NTSTATUS OpenNoted(const TreeLevel& level, const Entry& entry, const KnownEntry& known,
                   NativeFile& there, ACCESS_MASK access, ULONG options) {
  DescribeRelativeFile(there, level.destination, entry.FileName,
                       static_cast<USHORT>(entry.FileNameLength));
  NTSTATUS status = OpenNativeFile(there, access, FILE_OPEN, options, kShareAll);
  if (status == STATUS_SUCCESS && !IsUnknownId(known.id) && FileIdOf(there.handle) != known.id) {
    CloseHandle(there.handle);
    status = STATUS_OBJECT_NAME_NOT_FOUND;
  }
  return status;
}

bool IsWholeCopy(const KnownEntry& there, const Entry& entry) {
  return there.size == entry.EndOfFile.QuadPart &&
         there.lastWrite == entry.LastWriteTime.QuadPart &&
         (there.attributes & kKeptAttributes) == (entry.FileAttributes & kKeptAttributes);
}

// Removes the copy that differs, by its handle; read-only first taken off, since the platform
// removes no read-only file.
NTSTATUS RemoveCopy(NativeFile& there, const KnownEntry& known) {
  NTSTATUS status = STATUS_SUCCESS;
  if ((known.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    status = SetTimeAndAttributes(there, LARGE_INTEGER{}, FILE_ATTRIBUTE_NORMAL);
  }
  status = status == STATUS_SUCCESS ? SetDeletion(there, true) : status;
  CloseHandle(there.handle);
  return status;
}

}  // namespace

bool NoteEntries(TreeWalk& walk, TreeLevel& level) {
  ULONGLONG count = 0;
  NTSTATUS status = ForEachEntryThere(walk, level, [&count](const Entry&) { ++count; });
  std::size_t slots = 16;
  while (slots < count * 2) {
    slots *= 2;
  }
  level.knownSlots = 0;
  if (status == STATUS_SUCCESS && walk.buffers.knownUsed + slots > kKnownEntries) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (status != STATUS_SUCCESS) {
    walk.buffers.relative[level.pathEnd] = 0;
    ReportPath(walk, kTreeErrorReading, level.pathEnd == 0 ? WIDE(".") : walk.buffers.relative,
               status);
    ++walk.failed;
    return false;
  }
  level.knownAt = walk.buffers.knownUsed;
  level.knownSlots = slots;
  level.knownCount = count;
  level.matched = 0;
  walk.buffers.knownUsed += slots;
  std::fill_n(SlotsOf(walk, level), slots, KnownEntry{});
  ForEachEntryThere(walk, level, [&walk, &level](const Entry& entry) {
    const ULONGLONG hash = HashOf(entry);
    SlotFor(walk, level, hash) = {hash,
                                  entry.EndOfFile.QuadPart,
                                  entry.LastWriteTime.QuadPart,
                                  entry.FileId.QuadPart,
                                  entry.FileAttributes,
                                  false};
  });
  return true;
}

void ForgetEntries(TreeWalk& walk, const TreeLevel& level) {
  if (level.knownSlots > 0) {
    walk.buffers.knownUsed = level.knownAt;
  }
}

Place TakePlace(TreeWalk& walk, TreeLevel& level, const Entry& entry) {
  const KnownEntry* known = Match(walk, level, entry, false);
  if (known == nullptr) {
    return Place::kFree;
  }
  if (IsWholeCopy(*known, entry)) {
    return Place::kThere;
  }
  NativeFile there{};
  if (OpenNoted(level, entry, *known, there, FILE_WRITE_ATTRIBUTES | DELETE | SYNCHRONIZE,
                FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT) != STATUS_SUCCESS) {
    return Place::kFree;  // gone since, or another file: its create says what is there
  }
  const NTSTATUS removed = RemoveCopy(there, *known);
  if (removed != STATUS_SUCCESS) {
    FailEntry(walk, kTreeErrorCreating, removed, STATUS_SUCCESS);
    return Place::kFailed;
  }
  return Place::kFree;
}

HANDLE OpenFolderThere(TreeWalk& walk, TreeLevel& level, const Entry& entry) {
  const KnownEntry* known = Match(walk, level, entry, true);
  NativeFile there{};
  return known != nullptr && OpenNoted(level, entry, *known, there, kNewFolderAccess,
                                       kFolderOptions) == STATUS_SUCCESS
             ? there.handle
             : nullptr;
}

void ReportWhatTheSourceLacks(TreeWalk& walk, TreeLevel& level) {
  if (level.matched == level.knownCount) {
    return;
  }
  ForEachEntryThere(walk, level, [&walk, &level](const Entry& entry) {
    const KnownEntry* known = Lookup(walk, level, entry);
    if (known != nullptr && !known->matched) {
      NameEntry(walk, level, entry);
      FailEntry(walk, kNotInSource, STATUS_SUCCESS);
      ++walk.notInSource;
    }
  });
}
