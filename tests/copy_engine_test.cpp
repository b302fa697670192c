// The copy engine over a service table whose reads, writes and creates the test
// scripts, to bring about what real files rarely do: short reads, failed reads and
// writes, writes that move part or none of their bytes, both forms of end of file.
#include "copy/copy_engine.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "native/native_services.h"
#include "tests/support/bound_services.h"
#include "tests/support/linux_shell.h"
#include "tests/support/scratch.h"
#include "tree/tree_copy.h"
#ifndef _WIN32
#include "standin/test_hooks.h"
#endif

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlock = kCopyBlockBytes;
constexpr NTSTATUS kIoError = STATUS_IO_DEVICE_ERROR;
constexpr NTSTATUS kDenied = STATUS_ACCESS_DENIED;
constexpr NTSTATUS kTaken = STATUS_OBJECT_NAME_COLLISION;
constexpr NTSTATUS kFull = STATUS_DISK_FULL;
constexpr NTSTATUS kEnd = STATUS_END_OF_FILE;

// What one scripted read or write does in place of the bound service: the service as it is
// (kReal) or asked for at most `bytes`; failing with `status`, moving nothing; the service
// with its end of file shown as success with 0 bytes; success with 0 bytes moved.
struct Step {
  enum Kind { kReal, kLimit, kFail, kEndAsEmpty, kNothing } kind = kReal;
  ULONG bytes = 0;
  NTSTATUS status = STATUS_SUCCESS;
};
const Step kReal{};
const Step kEndAsEmpty{Step::kEndAsEmpty};
const Step kNothing{Step::kNothing};
const auto Limit = [](ULONG bytes) { return Step{Step::kLimit, bytes}; };
const auto Fail = [](NTSTATUS status) { return Step{Step::kFail, 0, status}; };

// The first calls follow `first`; every later one does `rest`.
struct Script {
  std::vector<Step> first{};
  Step rest{};

  Step Next(std::size_t& calls) const {
    const std::size_t call = calls++;
    return call < first.size() ? first[call] : rest;
  }
};
const Script kAsIs{};
Script Calls(std::same_as<Step> auto... first) {
  return {{first...}};
}
Script Every(Step step) {
  return {{}, step};
}

// What a listing asked for one name (a name's check) answers: the platform's own, nothing
// (no listing can be had), or the name stored in another case than typed.
enum class NameListing { kPlatform, kRefused, kOtherCase };

// What a test scripts the services to do beside the bound ones, by the names the copy opens
// (a folder's handle is known by its name relative to its parent), and what they saw.
struct Rig {
  Script reads{}, writes{}, marks{};
  std::size_t readCalls = 0, writeCalls = 0, markCalls = 0, createCalls = 0;
  // The creates after the source's fail (with deleteRightOnly, those that ask for the right
  // to delete) with createFails, leaving blockStatus in the status block if it has one.
  NTSTATUS createFails = STATUS_SUCCESS;
  bool deleteRightOnly = false;
  std::optional<NTSTATUS> blockStatus;
  bool createMarkRefused = false;  // the platform cannot clear a create's mark (Wine 8)
  bool lastWriteMoves = false;     // the source's last-write time alone moves once read from
  NameListing nameListing = NameListing::kPlatform;
  WideString readFails;     // reads of the file of this name fail
  WideString listingFails;  // this folder's listing is refused
  WideString listsNoDots;   // this empty folder lists nothing at all: no "." or ".."
  WideString unknownId;     // this entry is listed with an ID of all ones
  WideString systemFolder;  // this folder is listed hidden and system, and denies its open
  WideString timesRefused;  // this new folder refuses its time and attributes
  WideString twinOf;        // this name opens its twin, its first letter in the other case
  WideString holdLostFor;   // this new file's mark is reported as not held
  int renameRefusals = 0;   // the final rename is refused this often with renameStatus
  NTSTATUS renameStatus = STATUS_SUCCESS;
  bool relativeRenameInvalid = false;  // a rename relative to a folder is invalid here
  // What became of each new file, by its name as created: 'C' created marked for deletion,
  // 'c' created unmarked, 'T' marked, 'F' unmarked, 'W' written, 'A' its time and attributes
  // set, 'R' read-only set; each only once the call succeeded.
  std::map<WideString, std::string> marksOf;
  std::map<HANDLE, WideString> namedHandles;
  // What the copy created ("+name") and which new folders it marked case-sensitive
  // ("!name"), in order.
  std::string treeTrail;
};

NativeServiceTable bound;
Rig rig;

NTSTATUS CompleteIo(PIO_STATUS_BLOCK io, NTSTATUS status) {
  io->Status = status;
  io->Information = 0;
  return status;
}

// A read or write that follows its script in place of the bound service.
template <auto NativeServiceTable::*kService>
NTSTATUS Scripted(HANDLE file, HANDLE event, PIO_APC_ROUTINE routine, PVOID context,
                  PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                  PULONG key) {
  constexpr bool kWrite = kService == &NativeServiceTable::ZwWriteFile;
  const Step step = (kWrite ? rig.writes : rig.reads).Next(kWrite ? rig.writeCalls : rig.readCalls);
  if (step.kind == Step::kFail || step.kind == Step::kNothing) {
    return CompleteIo(io, step.status);
  }
  const ULONG asked = step.kind == Step::kLimit ? std::min(length, step.bytes) : length;
  const NTSTATUS status =
      (bound.*kService)(file, event, routine, context, io, buffer, asked, offset, key);
  if (kWrite && status == STATUS_SUCCESS) {
    rig.marksOf[rig.namedHandles[file]] += 'W';
  }
  if (!kWrite && rig.namedHandles[file] == rig.readFails) {
    return CompleteIo(io, kIoError);
  }
  if (step.kind == Step::kEndAsEmpty && status == STATUS_END_OF_FILE) {
    return CompleteIo(io, STATUS_SUCCESS);
  }
  return status;
}

// Counts the creates, and fails those the row asks to fail. What Windows would show and
// neither the stand-in nor Wine does is seen here: a synchronous open without the right to
// wait on its file is refused, and every name is to be looked up exactly as typed (the
// stand-in never ignores case, Wine always does).
NTSTATUS RecordedCreate(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                        PIO_STATUS_BLOCK io, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                        ULONG shareAccess, ULONG disposition, ULONG options, PVOID eaBuffer,
                        ULONG eaLength) {
  EXPECT_EQ(attributes->Attributes & OBJ_CASE_INSENSITIVE, 0U) << "a lookup that ignores case";
  ++rig.createCalls;
  constexpr ULONG kSynchronous = FILE_SYNCHRONOUS_IO_ALERT | 0x20;  // and ..._NONALERT
  if ((options & kSynchronous) != 0 && (access & SYNCHRONIZE) == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  if (rig.createFails != STATUS_SUCCESS && rig.createCalls >= 2 &&
      (!rig.deleteRightOnly || (access & DELETE) != 0)) {
    io->Status = rig.blockStatus.value_or(io->Status);
    return rig.createFails;
  }
  const WideString opened(attributes->ObjectName->Buffer, attributes->ObjectName->Length / 2);
  WideString as = opened;  // the name the platform opens
  if (disposition == FILE_OPEN && !opened.empty() && opened == rig.twinOf) {
    as[0] ^= 0x20;  // as a platform that folds case
  }
  if (disposition == FILE_OPEN && opened == rig.systemFolder) {
    return STATUS_ACCESS_DENIED;
  }
  const auto bytes = static_cast<USHORT>(as.size() * sizeof(WCHAR));
  UNICODE_STRING asName{bytes, bytes, as.data()};
  OBJECT_ATTRIBUTES folded = *attributes;
  folded.ObjectName = &asName;
  const NTSTATUS status =
      bound.ZwCreateFile(handle, access, &folded, io, allocationSize, fileAttributes, shareAccess,
                         disposition, options, eaBuffer, eaLength);
  if (status == STATUS_SUCCESS) {
    rig.namedHandles[*handle] = opened;
    if (disposition == FILE_CREATE) {
      rig.treeTrail.append("+").append(Narrow(opened.c_str()));
    }
    if (disposition == FILE_CREATE && (options & FILE_DIRECTORY_FILE) == 0) {
      rig.marksOf[opened] = (options & FILE_DELETE_ON_CLOSE) != 0 ? "C" : "c";
    }
  }
  return status;
}

// The letter of marksOf for a setting of a file.
char MarkEvent(const void* information, FILE_INFORMATION_CLASS informationClass) {
  if (informationClass == FileBasicInformation) {
    const auto* basic = static_cast<const FILE_BASIC_INFORMATION*>(information);
    return (basic->FileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 'R' : 'A';
  }
  const bool marks =
      informationClass == FileDispositionInformationEx
          ? (static_cast<const FILE_DISPOSITION_INFORMATION_EX*>(information)->Flags &
             FILE_DISPOSITION_DELETE) != 0
          : static_cast<const FILE_DISPOSITION_INFORMATION*>(information)->DoDeleteFile != 0;
  return marks ? 'T' : 'F';
}

// Whether the file was marked from before its first write to after its last, and made
// read-only only once unmarked (the platform refuses to remove a read-only file).
bool MarkedWhileWritten(const std::string& events) {
  bool marked = false;
  for (const char event : events) {
    marked = event == 'C' || event == 'T' || (marked && event != 'F');
    if ((event == 'W' && !marked) || (event == 'R' && marked)) {
      return false;
    }
  }
  return true;
}

// Whether the file ends without a mark: its copy is kept.
bool EndsUnmarked(const std::string& events) {
  const std::size_t last = events.find_last_of("CTF");
  return last == std::string::npos || events[last] == 'F';
}

// Records the mark asked for, then fails or does it as its script says. A folder's
// case-sensitive mark is recorded in the tree's trail; a folder named Refused refuses it.
NTSTATUS ScriptedMark(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                      FILE_INFORMATION_CLASS informationClass) {
  const WideString& name = rig.namedHandles[file];
  if (informationClass == FileCaseSensitiveInformation) {
    rig.treeTrail.append("!").append(Narrow(name.c_str()));
    return name == Widen("Refused") ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  }
  if (informationClass == FileRenameInformation) {
    const auto* rename = static_cast<const FILE_RENAME_INFORMATION*>(information);
    if (rig.relativeRenameInvalid && rename->RootDirectory != nullptr) {
      return STATUS_INVALID_PARAMETER;
    }
    if (rig.renameRefusals > 0) {
      --rig.renameRefusals;
      return rig.renameStatus;
    }
    return bound.ZwSetInformationFile(file, io, information, length, informationClass);
  }
  if (informationClass == FileBasicInformation && name == rig.timesRefused) {
    return STATUS_ACCESS_DENIED;
  }
  if (informationClass == FileDispositionInformationEx && rig.createMarkRefused) {
    return STATUS_NOT_IMPLEMENTED;  // as Wine 8 answers every flag
  }
  const Step step = rig.marks.Next(rig.markCalls);
  const NTSTATUS status =
      step.kind == Step::kFail
          ? step.status
          : bound.ZwSetInformationFile(file, io, information, length, informationClass);
  if (status == STATUS_SUCCESS) {
    rig.marksOf[name] += MarkEvent(information, informationClass);
  }
  return status;
}

// A listing as the row scripts it: a folder's listing that fails or lists nothing at all,
// an entry's ID or attributes rewritten. A listing with a mask (a name's check) is the
// platform's own.
NTSTATUS ScriptedListing(HANDLE file, HANDLE event, PIO_APC_ROUTINE routine, PVOID context,
                         PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                         FILE_INFORMATION_CLASS informationClass, BOOLEAN single,
                         PUNICODE_STRING mask, BOOLEAN restart) {
  const WideString& folder = rig.namedHandles[file];
  if (mask != nullptr && rig.nameListing == NameListing::kRefused) {
    return STATUS_NOT_IMPLEMENTED;
  }
  if (mask == nullptr && folder == rig.listingFails) {
    return CompleteIo(io, STATUS_ACCESS_DENIED);
  }
  if (mask == nullptr && folder == rig.listsNoDots) {
    return CompleteIo(io, STATUS_NO_SUCH_FILE);
  }
  const NTSTATUS status =
      bound.ZwQueryDirectoryFile(file, event, routine, context, io, information, length,
                                 informationClass, single, mask, restart);
  for (ULONG offset = 0; status == STATUS_SUCCESS;) {
    auto* entry =
        reinterpret_cast<FILE_ID_FULL_DIR_INFORMATION*>(static_cast<BYTE*>(information) + offset);
    if (mask != nullptr && rig.nameListing == NameListing::kOtherCase) {
      entry->FileName[0] ^= 0x20;  // the first letter's other case
    }
    const WideString name(entry->FileName, entry->FileNameLength / sizeof(WCHAR));
    entry->FileId.QuadPart = name == rig.unknownId ? -1 : entry->FileId.QuadPart;
    entry->FileAttributes |=
        name == rig.systemFolder ? FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM : 0;
    if (entry->NextEntryOffset == 0) {
      break;
    }
    offset += entry->NextEntryOffset;
  }
  return status;
}

// The source's times as Windows reports them: its creation time is not its last-write time,
// and a row may move the last-write time alone once the copy has read from the source.
NTSTATUS ReportedTimes(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                       FILE_INFORMATION_CLASS informationClass) {
  const NTSTATUS status =
      bound.ZwQueryInformationFile(file, io, information, length, informationClass);
  if (informationClass == FileCaseSensitiveInformation) {
    const WideString& name = rig.namedHandles[file];
    const bool marked =
        name == Widen("Marked") || name == Widen("Refused") || name.ends_with(Widen("\\tree"));
    static_cast<FILE_CASE_SENSITIVE_INFORMATION*>(information)->Flags = marked ? 1 : 0;
    return STATUS_SUCCESS;
  }
  // Where a row loses a mark's hold, the platform reports holds (the top's, asked first).
  if (status == STATUS_SUCCESS && informationClass == FileStandardInformation &&
      !rig.holdLostFor.empty()) {
    auto* standard = static_cast<FILE_STANDARD_INFORMATION*>(information);
    standard->DeletePending = rig.namedHandles[file] == rig.holdLostFor ? FALSE : TRUE;
  }
  if (status == STATUS_SUCCESS && informationClass == FileBasicInformation) {
    auto* basic = static_cast<FILE_BASIC_INFORMATION*>(information);
    constexpr LONGLONG kDay = 864000000000;
    basic->CreationTime.QuadPart = basic->LastWriteTime.QuadPart - kDay;
    basic->LastWriteTime.QuadPart += rig.lastWriteMoves && rig.readCalls > 0 ? 1 : 0;
  }
  return status;
}

// Whether nothing holds the file any more: an open without sharing succeeds only then.
NTSTATUS OpenAlone(const WideString& path) {
  HANDLE handle = nullptr;
  const NTSTATUS status = CreateNative(bound, path, &handle, GENERIC_READ | SYNCHRONIZE, FILE_OPEN,
                                       FILE_SYNCHRONOUS_IO_ALERT | FILE_NON_DIRECTORY_FILE);
  if (status == STATUS_SUCCESS) {
    CloseHandle(handle);
  }
  return status;
}

class CopyEngineTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(services_.Missing(), nullptr);
    bound = services_.Bound();
    rig = {};
    NativeServices.ZwQueryDirectoryFile = ScriptedListing;
    NativeServices.ZwReadFile = Scripted<&NativeServiceTable::ZwReadFile>;
    NativeServices.ZwWriteFile = Scripted<&NativeServiceTable::ZwWriteFile>;
    NativeServices.ZwCreateFile = RecordedCreate;
    NativeServices.ZwSetInformationFile = ScriptedMark;
    NativeServices.ZwQueryInformationFile = ReportedTimes;
  }

  BoundServices services_;
  ScratchFolder folder_;
};

// Rows are named by their name alone in the test list.
const auto kByName = [](const auto& info) { return std::string(info.param.name); };

// The destination is marked for deletion from its creation until the last block is written
// and its time and attributes are set; a copy that failed keeps its mark, or gets it at the
// end. Read-only comes only after the mark is cleared. Rows may have the mark refused (the copy
// is written unmarked), the folder refuse a create with the right to delete, the source be
// read-only, its last-write time alone move during the copy, or no source at all.
enum { kMarkRefused = 1, kNoDeleteRight = 2, kReadOnly = 4, kLastWriteMoves = 8, kNoSource = 16 };

// A file's row: the line the copy prints ("" when the whole file arrived), the source's size,
// what the row scripts, and what the destination's create fails with (and leaves in its
// status block).
struct Scenario {
  const char* name;
  const char* printed;
  std::size_t size;
  Script reads{}, writes{}, marks{};
  int flags = 0;
  NTSTATUS createFails = STATUS_SUCCESS;
  std::optional<NTSTATUS> blockStatus{};

  friend void PrintTo(const Scenario& row, std::ostream* out) { *out << row.name; }
};

const Scenario kScenarios[] = {
    {"PlainCopy", "", 3 * kBlock + 5},
    {"ShortReadMidFile", "", 3 * kBlock + 5, Calls(kReal, Limit(100))},
    {"EveryReadShort", "", 3 * kBlock + 5, Every(Limit(4000))},
    {"EndAsStatusAfterFullBlocks", "", 2 * kBlock},
    {"EndAsEmptySuccessAfterFullBlocks", "", 2 * kBlock, Every(kEndAsEmpty)},
    {"EndAsEmptySuccessAfterShortBlock", "", kBlock + 7, Every(kEndAsEmpty)},
    {"EmptySourceEndAsStatus", "", 0},
    {"EmptySourceEndAsEmptySuccess", "", 0, Every(kEndAsEmpty)},
    {"FailedFirstRead", "Error reading, Status=c0000185\n", 2 * kBlock, Calls(Fail(kIoError))},
    {"FailedReadMidFile", "Error reading, Status=c0000022\n", 3 * kBlock,
     Calls(kReal, Limit(10), Fail(kDenied))},
    // The rest of a block, after part of it was written, fails.
    {"FailedWrite", "Error writing, Status=c0000185\n", 3 * kBlock, kAsIs,
     Calls(kReal, Limit(536), Fail(kIoError))},
    {"PartialWritesContinued", "", 3 * kBlock + 5, kAsIs,
     Calls(Limit(536), Limit(1), Limit(kBlock - 1))},
    {"EveryWritePartial", "", 3 * kBlock + 5, kAsIs, Every(Limit(3000))},
    {"WriteMovesNothing", "Error writing, Status=c000007f\n", 2 * kBlock, kAsIs,
     Calls(kReal, kNothing)},
    {"PartialWriteThenNothing", "Error writing, Status=c000007f\n", 2 * kBlock, kAsIs,
     Calls(Limit(536), kNothing)},
    {"FirstMarkRefused", "", 2 * kBlock + 3, kAsIs, kAsIs, Calls(Fail(kDenied)), kMarkRefused},
    {"FirstMarkRefusedThenFailedRead", "Error reading, Status=c0000185\n", 2 * kBlock,
     Calls(kReal, Fail(kIoError)), kAsIs, Calls(Fail(kDenied)), kMarkRefused},
    {"DeleteRightRefused", "", 2 * kBlock + 3, kAsIs, kAsIs, kAsIs, kMarkRefused | kNoDeleteRight,
     kDenied},
    {"ReadOnlySource", "", kBlock + 3, kAsIs, kAsIs, kAsIs, kReadOnly},
    {"TimeAndAttributesRefused", "Error writing, Status=c0000022\n", kBlock + 3, kAsIs, kAsIs,
     Calls(kReal, Fail(kDenied))},
    {"ReadOnlyRefused", "Error writing, Status=c0000022\n", kBlock + 3, kAsIs, kAsIs,
     Calls(kReal, kReal, kReal, Fail(kDenied)), kReadOnly},
    {"MarkNotCleared", "Error writing, Status=c0000022\n", kBlock + 3, kAsIs, kAsIs,
     Calls(kReal, kReal, Fail(kDenied))},
    {"LastWriteTimeMovedAlone", "Error reading, Status=c0000043\n", kBlock + 3, kAsIs, kAsIs, kAsIs,
     kLastWriteMoves},
    // The source reports its end before its noted size, though neither its size nor its
    // times moved: not a whole copy.
    {"EarlyEndOfFile", "Error reading, Status=c0000043\n", 2 * kBlock + 3,
     Calls(kReal, Fail(kEnd))},
    // A source that cannot be opened; a destination that cannot be created shows both
    // statuses (the second is the status block's, which a failing service may leave
    // untouched).
    {"SourceMissing", "Error openning, Status=c0000034\n", 0, kAsIs, kAsIs, kAsIs, kNoSource},
    {"CreateFails", "Error creating, Status=c0000035 (0)\n", 0, kAsIs, kAsIs, kAsIs, 0, kTaken},
    {"CreateFailsWithItsBlock", "Error creating, Status=c0000035 (c0000035)\n", 0, kAsIs, kAsIs,
     kAsIs, 0, kTaken, kTaken},
    {"CreateFailsBlockDiffers", "Error creating, Status=c0000022 (c000007f)\n", 0, kAsIs, kAsIs,
     kAsIs, 0, kDenied, kFull},
};

class CopyScenarioTest : public CopyEngineTest, public testing::WithParamInterface<Scenario> {};

// The whole file arrives or nothing is left; a failure is one line, and no handle stays open
// either way. Until both files are open nothing is read, and a missing source creates nothing.
TEST_P(CopyScenarioTest, CopiesWholeFileOrLeavesNothing) {
  const Scenario& row = GetParam();
  const std::string data = RandomBytes(row.size, 7);
  if ((row.flags & kNoSource) == 0) {
    WriteBytes(folder_ / "source", data);
  }
  if ((row.flags & kReadOnly) != 0) {
    fs::permissions(folder_ / "source", fs::perms::owner_read);
  }
  rig.reads = row.reads, rig.writes = row.writes, rig.marks = row.marks;
  rig.createFails = row.createFails, rig.blockStatus = row.blockStatus;
  rig.deleteRightOnly = (row.flags & kNoDeleteRight) != 0;
  rig.lastWriteMoves = (row.flags & kLastWriteMoves) != 0;

  const CopyOutcome outcome =
      CopyCapturingOutput(folder_.NativePath("source"), folder_.NativePath("copy"));

  const std::string_view printed = row.printed;
  EXPECT_EQ(outcome.printed, printed);
  EXPECT_EQ(outcome.copied, printed.empty());
  const std::string& events = rig.marksOf[folder_.NativePath("copy")];
  EXPECT_TRUE((row.flags & kMarkRefused) != 0 || MarkedWhileWritten(events)) << events;
  EXPECT_TRUE(!printed.empty() || EndsUnmarked(events)) << events;
  EXPECT_EQ(fs::exists(folder_ / "copy"), printed.empty());
  if (printed.empty()) {
    EXPECT_TRUE(ReadBytes(folder_ / "copy") == data) << "the copy differs from its source";
    // The last-write time, at the platform's 100 ns.
    EXPECT_EQ(
        std::chrono::floor<std::chrono::microseconds>(fs::last_write_time(folder_ / "copy")),
        std::chrono::floor<std::chrono::microseconds>(fs::last_write_time(folder_ / "source")));
    EXPECT_EQ(OpenAlone(folder_.NativePath("copy")), STATUS_SUCCESS);
  }
  if (printed.starts_with("Error openning") || printed.starts_with("Error creating")) {
    EXPECT_EQ(rig.readCalls, 0U);
  }
  if ((row.flags & kNoSource) != 0) {
    EXPECT_EQ(rig.createCalls, 1U);
  } else {
    EXPECT_EQ(OpenAlone(folder_.NativePath("source")), STATUS_SUCCESS);
  }
}

INSTANTIATE_TEST_SUITE_P(Scripted, CopyScenarioTest, testing::ValuesIn(kScenarios), kByName);

#ifndef _WIN32
// Host only: it watches the line's write through SIGPIPE from a closed pipe.
// Where the failure line is written: what a write to a closed pipe shows of the folder.
char printedWhileExisting[4096];
volatile sig_atomic_t destinationSeen = -1;

void NotePipeWrite(int /*signal*/) {
  destinationSeen = access(printedWhileExisting, F_OK) == 0 ? 1 : 0;
}

// The error line is written only after the partial destination is gone, so that a
// console write that fails, or ends the process, cannot leave it behind.
TEST_F(CopyEngineTest, FailureIsPrintedOnlyOnceTheDestinationIsGone) {
  WriteBytes(folder_ / "source", RandomBytes(3 * kBlock, 9));
  rig.writes = Calls(kReal, Fail(kFull));
  const std::string copy = (folder_ / "copy").string();
  ASSERT_LT(std::snprintf(printedWhileExisting, sizeof printedWhileExisting, "%s", copy.c_str()),
            static_cast<int>(sizeof printedWhileExisting));
  int closed[2];
  ASSERT_EQ(pipe(closed), 0);
  close(closed[0]);
  const int saved = dup(1);
  dup2(closed[1], 1);
  const auto previous = signal(SIGPIPE, NotePipeWrite);

  WCHAR message[kMessageUnits];
  alignas(64) BYTE data[kDataBufferBytes];
  const bool copied = CopyFileNative(TypedLastName(folder_.NativePath("source")),
                                     TypedLastName(folder_.NativePath("copy")), message, data);

  signal(SIGPIPE, previous);
  dup2(saved, 1);
  close(saved);
  close(closed[1]);
  EXPECT_FALSE(copied);
  EXPECT_EQ(destinationSeen, 0) << "the line was written while the destination existed";
  EXPECT_FALSE(fs::exists(folder_ / "copy"));
}
#endif

// What a platform reports of the opened source's name, for one information class.
struct NameReply {
  NTSTATUS status;
  WideString name{};
  ULONG claimedBytes = 0;  // a FileNameLength other than the name's own, when not 0
};
const auto Says = [](const char* name) { return NameReply{STATUS_SUCCESS, Widen(name)}; };

NameReply normalizedReply;
NameReply openedReply;

NTSTATUS ScriptedNameQuery(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                           FILE_INFORMATION_CLASS informationClass) {
  if (informationClass != FileNormalizedNameInformation &&
      informationClass != FileNameInformation) {
    return bound.ZwQueryInformationFile(file, io, information, length, informationClass);
  }
  const NameReply& reply =
      informationClass == FileNormalizedNameInformation ? normalizedReply : openedReply;
  if (reply.status != STATUS_SUCCESS && reply.status != STATUS_BUFFER_OVERFLOW) {
    return reply.status;
  }
  auto* name = static_cast<FILE_NAME_INFORMATION*>(information);
  const auto bytes = static_cast<ULONG>(reply.name.size() * sizeof(WCHAR));
  name->FileNameLength = reply.claimedBytes != 0 ? reply.claimedBytes : bytes;
  const ULONG room = length - offsetof(FILE_NAME_INFORMATION, FileName);
  std::copy_n(reply.name.data(), std::min(bytes, room) / sizeof(WCHAR), name->FileName);
  io->Status =
      reply.status == STATUS_SUCCESS && bytes > room ? STATUS_BUFFER_OVERFLOW : reply.status;
  return io->Status;
}

// The source is typed as "Sub\source". Only a name that differs in letter case alone is
// evidence that the platform opened another file; nothing else stops the copy.
TEST_F(CopyEngineTest, SourceOpenedUnderAnotherCaseIsRefused) {
  const NameReply kNone{STATUS_INVALID_INFO_CLASS};
  const NameReply kOverflow{STATUS_BUFFER_OVERFLOW, Widen("\\v")};
  const NameReply kBeyondBuffer{STATUS_SUCCESS, Widen("\\v\\Sub\\Source"), 100000};
  constexpr auto kRoom = static_cast<ULONG>(kBlock - offsetof(FILE_NAME_INFORMATION, FileName));
  const NameReply kFillsRoom{
      STATUS_SUCCESS,
      Widen("\\v\\") + WideString(kRoom / sizeof(WCHAR) - 14, u'x') + Widen("\\Sub\\Source"),
      kRoom + 1};
  const NameReply kLongest{STATUS_SUCCESS,
                           Widen("\\") + WideString(32755, u'x') + Widen("\\Sub\\Source")};
  const char* const kOwnName = "Error openning, Status=c0000034\n";
  const char* const kOtherCase = "Error openning, Status=c000003a\n";
  const struct {
    const char* label;
    NameReply normalized;
    NameReply opened;
    const char* printed;
    NameListing listing = NameListing::kRefused;  // where the normalized name is refused
  } cases[] = {
      {"exact", Says("\\v\\Sub\\source"), kNone, ""},
      {"own name", Says("\\v\\Sub\\Source"), kNone, kOwnName},
      {"folder", kNone, Says("\\v\\SUB\\source"), kOtherCase},
      {"both", Says("\\v\\sub\\SOURCE"), kNone, kOtherCase},
      {"no answer", {STATUS_NOT_IMPLEMENTED}, {STATUS_NOT_SUPPORTED}, ""},
      {"overflow", kOverflow, kOverflow, ""},
      {"short name", Says("\\v\\Sub\\SOURCE~1"), kNone, ""},
      {"untyped folder", Says("\\V\\Sub\\source"), kNone, ""},
      {"length beyond the buffer", kBeyondBuffer, kBeyondBuffer, ""},
      // A name that fills the buffer after the record's header, with a length one byte
      // beyond it: no answer, though its units would fit the buffer whole.
      {"length one byte beyond the room", kFillsRoom, kNone, ""},
      // Longer than the first offer: read again whole, up to the longest a record holds.
      {"longest name", kLongest, kNone, kOwnName},
      // Where the normalized name is refused (an SMB 2.1 server), the opened name may echo
      // the name as typed: the listing, which answers names as stored, decides.
      {"echoed, listed in another case", kNone, Says("\\v\\Sub\\source"), kOtherCase,
       NameListing::kOtherCase},
      {"listed as typed", kNone, Says("\\v\\SUB\\source"), "", NameListing::kPlatform},
  };
  fs::create_directory(folder_ / "Sub");
  WriteBytes(folder_ / "Sub" / "source", "data");
  NativeServices.ZwQueryInformationFile = ScriptedNameQuery;
  const WideString source = folder_.NativePath("Sub\\source");
  const NativeName named{source.c_str(), source.c_str() + source.size() - 10};
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    normalizedReply = row.normalized;
    openedReply = row.opened;
    rig.nameListing = row.listing;
    fs::remove(folder_ / "copy");
    WCHAR message[kMessageUnits];
    alignas(64) BYTE data[kDataBufferBytes];
    OutputCapture capture;
    const bool copied =
        CopyFileNative(named, TypedLastName(folder_.NativePath("copy")), message, data);
    EXPECT_EQ(capture.Finish(), row.printed);
    EXPECT_EQ(copied, *row.printed == 0);
    EXPECT_EQ(fs::exists(folder_ / "copy"), copied);
    EXPECT_EQ(OpenAlone(source), STATUS_SUCCESS);
  }
}

TreeBuffers treeBuffers;

// The folder "tree" copied with /E into "copy": the result and what it printed.
TreeResult CopyTree(const ScratchFolder& folder, std::string& printed) {
  WCHAR message[kMessageUnits];
  alignas(64) static BYTE data[kDataBufferBytes];
  OutputCapture capture;
  const TreeResult result =
      CopyTreeNative(TypedLastName(folder.NativePath("tree")),
                     TypedLastName(folder.NativePath("copy")), treeBuffers, message, data);
  printed = capture.Finish();
  return result;
}

// A tree's row: the files it makes under "tree" (a name ending in "/" is a folder), what it
// scripts, and the lines the copy prints ("{first}": the first file's path, "{unfinished}":
// the unfinished tree's native path). A tree with an "Error" line is not renamed, and its
// last lines tell where the unfinished copy is.
struct TreeScenario {
  const char* name;
  std::string files;  // separated by ';'
  void (*script)();
  const char* printed;
  bool twins = false;  // files differing in case alone, which Windows' calls make one under Wine

  friend void PrintTo(const TreeScenario& row, std::ostream* out) { *out << row.name; }
};

// A file whose copy's native path is over 1,000 units, its own path (970) and its line short
// enough to be shown whole.
const std::string kDeep = std::string(230, 'a') + "/" + std::string(230, 'b') + "/" +
                          std::string(230, 'c') + "/" + std::string(230, 'd') + "/" +
                          std::string(38, 'e') + "/deep.txt";
// `count` folders, each in the one before.
std::string Levels(std::size_t count) {
  std::string path;
  for (std::size_t level = 1; level <= count; ++level) {
    path += "d/";
  }
  return path;
}
const char* const kOneFile = "Copied 1 files in 1 folders, 1.50 KiB; 0 failed, 0 links skipped.\n";

const TreeScenario kTreeScenarios[] = {
    // Each failure of a listed file, folder or listing is one line and one failure.
    {"ReadFails", "a.txt", [] { rig.reads = Calls(Fail(kIoError)); },
     "Error reading a.txt, Status=c0000185\n"
     "Copied 0 files in 1 folders, 0.00 KiB; 1 failed, 0 links skipped.\n"},
    {"ListingFails", "Sub/x.txt", [] { rig.listingFails = Widen("Sub"); },
     "Error reading Sub, Status=c0000022\n"
     "Copied 0 files in 2 folders, 0.00 KiB; 1 failed, 0 links skipped.\n"},
    {"FolderTimeRefused", "Sub/x.txt", [] { rig.timesRefused = Widen("Sub"); },
     "Error writing Sub, Status=c0000022\n"
     "Copied 1 files in 2 folders, 1.50 KiB; 1 failed, 0 links skipped.\n"},
    {"FolderOpenedAsItsTwin", "Sub/x.txt;sub/y.txt", [] { rig.twinOf = Widen("sub"); },
     "Error openning sub, Status=c0000034\n"
     "Copied 1 files in 2 folders, 1.50 KiB; 1 failed, 0 links skipped.\n",
     true},
    // Beyond the levels a walk holds open, a folder is one failure; what lies above arrives.
    {"DeeperThanItsLevels", Levels(kTreeLevels) + ";" + Levels(kTreeLevels - 1) + "kept.txt", [] {},
     "Error openning {first}, Status=c000011f\n"
     "Copied 1 files in 128 folders, 1.50 KiB; 1 failed, 0 links skipped.\n"},
    // What Windows' file systems answer and Wine does not: an empty folder listed without
    // dots, an ID that tells nothing, a system folder that refuses everyone.
    {"EmptyFolderWithoutDots", "Empty/", [] { rig.listsNoDots = Widen("Empty"); },
     "Copied 0 files in 2 folders, 0.00 KiB; 0 failed, 0 links skipped.\n"},
    {"UnknownId", "a.txt", [] { rig.unknownId = Widen("a.txt"); }, kOneFile},
    {"ProtectedFolder", "a.txt;System Volume Information/x",
     [] { rig.systemFolder = Widen("System Volume Information"); },
     "Skipped protected folder System Volume Information\n"
     "Copied 1 files in 1 folders, 1.50 KiB; 0 failed, 0 links skipped.\n"},
    // The final rename: waiting for another program's files, by full path where a rename
    // relative to a folder is invalid (a network redirector).
    {"RenameWaitsForFilesHeldOpen", "a.txt",
     [] { rig.renameRefusals = 3, rig.renameStatus = kDenied; },
     "Waiting for another program to close files in {unfinished}\n"
     "Copied 1 files in 1 folders, 1.50 KiB; 0 failed, 0 links skipped.\n"},
    {"RelativeRenameInvalid", "a.txt", [] { rig.relativeRenameInvalid = true; }, kOneFile},
    // A mark given after the create that did not take, on a path deep enough for that
    // (Wine's past Linux's limit), where the platform reports a mark's hold: refused.
    {"MarkNotHeld", kDeep,
     [] { rig.holdLostFor = Widen("deep.txt"), rig.createMarkRefused = true; },
     "Error creating {first}, Status=c0000121 (0)\n"
     "Copied 0 files in 6 folders, 0.00 KiB; 1 failed, 0 links skipped.\n"},
    {"RenameRefused", "a.txt", [] { rig.renameRefusals = 1, rig.renameStatus = kTaken; },
     "Error renaming {unfinished}, Status=c0000035\n"
     "Copied 1 files in 1 folders, 1.50 KiB; 0 failed, 0 links skipped.\n"},
};

class TreeScenarioTest : public CopyEngineTest, public testing::WithParamInterface<TreeScenario> {};

// The tree arrives whole under the destination's name, or its unfinished copy stays with
// every line said; no handle of the walk is left open.
TEST_P(TreeScenarioTest, CopiesTheTreeOrSaysWhatIsMissing) {
  const TreeScenario& row = GetParam();
#ifdef _WIN32
  if (row.twins) {
    GTEST_SKIP() << "twins cannot be made through Windows' calls under Wine";
  }
#endif
  std::istringstream files(row.files);
  for (std::string name; std::getline(files, name, ';');) {
    fs::create_directories((folder_ / "tree" / name).parent_path());
    if (name.back() != '/') {
      WriteBytes(folder_ / "tree" / name, std::string(1536, 'x'));
    }
  }
  row.script();
#ifndef _WIN32
  const std::size_t handles = standin::OpenHandleCount();
#endif
  std::string printed;
  const TreeResult result = CopyTree(folder_, printed);
#ifndef _WIN32
  EXPECT_EQ(standin::OpenHandleCount(), handles) << "a handle of the walk was left open";
#endif
  std::string expected = row.printed;
  const bool copied = ("\n" + expected).find("\nError ") == std::string::npos;
  if (!copied) {
    expected +=
        "The unfinished copy is in {unfinished}\nRun the same command again to finish it.\n";
  }
  std::string first = row.files.substr(0, row.files.find(';'));
  std::replace(first.begin(), first.end(), '/', '\\');
  first.erase(first.find_last_not_of('\\') + 1);
  const std::pair<std::string, std::string> tokens[] = {
      {"{unfinished}", Narrow(folder_.NativePath("copy.partial").c_str())}, {"{first}", first}};
  for (const auto& [token, text] : tokens) {
    for (std::size_t at; (at = expected.find(token)) != std::string::npos;) {
      expected.replace(at, token.size(), text);
    }
  }
  EXPECT_EQ(printed, expected);
  EXPECT_EQ(result, copied ? TreeResult::kCopied : TreeResult::kFailed);
  EXPECT_EQ(fs::exists(folder_ / "copy"), copied);
  EXPECT_NE(fs::exists(folder_ / "copy.partial"), copied);
}

INSTANTIATE_TEST_SUITE_P(Scripted, TreeScenarioTest, testing::ValuesIn(kTreeScenarios), kByName);

// Where the platform can clear a create's mark, a tree's files are marked by their create and
// unmarked once whole; where it cannot (Wine 8), right after it. Either way every write is
// marked, and a file whose copy failed is gone.
TEST_F(CopyEngineTest, TreeFilesAreMarkedFromTheirCreate) {
  fs::create_directory(folder_ / "tree");
  const std::string kept = RandomBytes(kBlock + 3, 1);
  WriteBytes(folder_ / "tree" / "kept.txt", kept);
  WriteBytes(folder_ / "tree" / "failed.txt", kept);
  rig.readFails = Widen("failed.txt");
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "a create's mark cannot be cleared" : "a create's mark can be cleared");
#ifdef _WIN32
    if (!refused) {
      continue;  // Wine 8 refuses the class that clears it
    }
#endif
    fs::remove_all(folder_ / "copy.partial");
    rig.createMarkRefused = refused;
    std::string printed;
    EXPECT_EQ(CopyTree(folder_, printed), TreeResult::kFailed);
    for (const WideString& name : {Widen("kept.txt"), Widen("failed.txt")}) {
      const std::string& events = rig.marksOf[name];
      EXPECT_EQ(events.substr(0, 1), refused ? "c" : "C");
      EXPECT_TRUE(MarkedWhileWritten(events)) << events;
    }
    EXPECT_TRUE(EndsUnmarked(rig.marksOf[Widen("kept.txt")])) << rig.marksOf[Widen("kept.txt")];
    EXPECT_EQ(ReadBytes(folder_ / "copy.partial" / "kept.txt"), kept);
    EXPECT_FALSE(fs::exists(folder_ / "copy.partial" / "failed.txt"));
  }
}

// A source folder that reports the case-sensitive mark, the top one too, gives its new folder
// the mark before any child arrives; one that does not gives none; a refused mark lets the
// copy go on. (The stand-in reports every folder as marked: only a scripted table shows the
// difference.)
TEST_F(CopyEngineTest, CaseMarkTravelsBeforeAnyChild) {
  for (const char* folder : {"Marked", "Plain", "Refused"}) {
    fs::create_directories(folder_ / "tree" / folder);
    WriteBytes(folder_ / "tree" / folder / (std::string(folder) + ".txt"), folder);
  }
  std::string printed;
  EXPECT_EQ(CopyTree(folder_, printed), TreeResult::kCopied);
  for (const std::string folder : {"Marked", "Refused"}) {
    const std::string marked = "+" + folder + "!" + folder + "+" + folder + ".txt";
    EXPECT_NE(rig.treeTrail.find(marked), std::string::npos) << rig.treeTrail;
  }
  EXPECT_EQ(rig.treeTrail.find("!Plain"), std::string::npos) << rig.treeTrail;
  EXPECT_EQ(rig.treeTrail.rfind("+copy.partial!copy.partial", 0), 0U) << "the top folder's mark";
  EXPECT_EQ(ReadBytes(folder_ / "copy" / "Refused" / "Refused.txt"), "Refused");
}

// A listed file that the platform opens as another (its twin, where it folds case) is not
// the one listed: refused as not found, never copied under the listed name.
TEST_F(CopyEngineTest, ListedFileOpenedAsItsTwinIsRefused) {
  fs::create_directory(folder_ / "tree");
  WriteBytes(folder_ / "tree" / "A.txt", "upper");
  // Under Wine, a Windows open of a.txt finds A.txt: the twin is named from the Linux side.
  WriteBytes(folder_ / "tree" / "lower", "lower");
  const std::string tree = ShellQuoted(LinuxPathOf(folder_ / "tree"));
  ASSERT_EQ(RunLinuxShell("mv " + tree + "/lower " + tree + "/a.txt"), 0);
  rig.twinOf = Widen("a.txt");
  std::string printed;
  EXPECT_EQ(CopyTree(folder_, printed), TreeResult::kFailed);
  EXPECT_NE(printed.find("Error openning a.txt, Status=c0000034\n"), std::string::npos);
  EXPECT_NE(
      RunLinuxShell("test -e " + ShellQuoted(LinuxPathOf(folder_ / "copy.partial")) + "/a.txt"), 0);
  EXPECT_EQ(ReadBytes(folder_ / "copy.partial" / "A.txt"), "upper");
}

}  // namespace
