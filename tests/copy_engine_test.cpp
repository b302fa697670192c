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
#include <cstddef>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
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

// What one scripted read or write does in place of the bound service.
struct Step {
  enum Kind {
    kReal,        // the bound service as it is
    kLimit,       // the bound service, asked for at most `bytes`
    kFail,        // fails with `status`, moving nothing
    kEndAsEmpty,  // the bound service, but its end of file shows as success with 0 bytes
    kNothing,     // success with 0 bytes moved
  };
  Kind kind = kReal;
  ULONG bytes = 0;
  NTSTATUS status = STATUS_SUCCESS;
};

Step Real() {
  return {};
}
Step Limit(ULONG bytes) {
  return {Step::kLimit, bytes, STATUS_SUCCESS};
}
Step Fail(NTSTATUS status) {
  return {Step::kFail, 0, status};
}
Step EndAsEmpty() {
  return {Step::kEndAsEmpty, 0, STATUS_SUCCESS};
}
Step Nothing() {
  return {Step::kNothing, 0, STATUS_SUCCESS};
}

// The first calls follow `first`; every later one does `rest`.
struct Script {
  std::vector<Step> first;
  Step rest;

  Step Next(std::size_t& calls) const {
    const std::size_t call = calls++;
    return call < first.size() ? first[call] : rest;
  }
};

NativeServiceTable bound;
Script reads;
Script writes;
Script marks;
std::size_t readCalls;
std::size_t writeCalls;
std::size_t markCalls;
// What became of each new file, by its name as created: 'C' created marked for deletion,
// 'c' created unmarked, 'T' marked, 'F' unmarked, 'W' written, 'A' its time and attributes
// set, 'R' read-only set; each only once the call succeeded.
std::map<WideString, std::string> marksOf;
std::size_t createCalls;
// The creates that fail in place of the destination's (each of them, or with
// deleteRightOnly those that ask for the right to delete): their status and what they
// leave in the status block (untouched when blockStatus is absent).
bool failDestination;
bool deleteRightOnly;
NTSTATUS destinationStatus;
bool fillBlock;
NTSTATUS blockStatus;

NTSTATUS CompleteIo(PIO_STATUS_BLOCK io, NTSTATUS status, ULONG_PTR information) {
  io->Status = status;
  io->Information = information;
  return status;
}

// Names of the handles the copy opened, and a trail of what it created ("+name") and which
// new folders it marked case-sensitive ("!name"), in order.
std::map<HANDLE, WideString> namedHandles;
// Reads of the file of this name fail.
WideString readFailsOf;

// A read or write that follows its script in place of the bound service.
template <Script& kScript, std::size_t& kCalls, auto NativeServiceTable::*kService>
NTSTATUS Scripted(HANDLE file, HANDLE event, PIO_APC_ROUTINE routine, PVOID context,
                  PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                  PULONG key) {
  const Step step = kScript.Next(kCalls);
  if (step.kind == Step::kFail || step.kind == Step::kNothing) {
    return CompleteIo(io, step.status, 0);
  }
  const ULONG asked = step.kind == Step::kLimit ? std::min(length, step.bytes) : length;
  const NTSTATUS status =
      (bound.*kService)(file, event, routine, context, io, buffer, asked, offset, key);
  if (&kScript == &writes && status == STATUS_SUCCESS) {
    marksOf[namedHandles[file]] += 'W';
  }
  if (&kScript == &reads && namedHandles[file] == readFailsOf) {
    return CompleteIo(io, STATUS_IO_DEVICE_ERROR, 0);
  }
  if (step.kind == Step::kEndAsEmpty && status == STATUS_END_OF_FILE) {
    return CompleteIo(io, STATUS_SUCCESS, 0);
  }
  return status;
}

std::string treeTrail;
// As a platform that folds case may: a listed "a.txt" opened as its twin "A.txt".
bool opensTwin;

// What a tree's row makes the services answer beside the stand-in, by the names the copy
// opens (a folder's handle is known by its name relative to its parent).
struct TreeScript {
  WideString listingFails;  // this folder's listing fails with listingStatus
  NTSTATUS listingStatus = STATUS_SUCCESS;
  WideString listsNoDots;   // this empty folder lists nothing at all: no "." or ".."
  WideString unknownId;     // this entry is listed with an ID of all ones
  WideString systemFolder;  // this folder is listed hidden and system, and denies its open
  WideString timesRefused;  // this new folder refuses its time and attributes
  WideString twinOf;        // this listed folder opens as the folder twin
  WideString twin;
  WideString holdLostFor;  // this new file's mark is reported as not held
  int renameRefusals = 0;  // the final rename is refused this often with renameStatus
  NTSTATUS renameStatus = STATUS_SUCCESS;
  bool relativeRenameInvalid = false;  // a rename relative to a folder is invalid here
};
TreeScript treeScript;

// Counts the creates, and fails those in place of the destination's that a case asks to
// fail. What Windows would show and neither the stand-in nor Wine does is seen here: a
// synchronous open without the right to wait on its file is refused, and every name is to
// be looked up exactly as typed (the stand-in never ignores case, Wine always does).
NTSTATUS RecordedCreate(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                        PIO_STATUS_BLOCK io, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                        ULONG shareAccess, ULONG disposition, ULONG options, PVOID eaBuffer,
                        ULONG eaLength) {
  EXPECT_EQ(attributes->Attributes & OBJ_CASE_INSENSITIVE, 0U) << "a lookup that ignores case";
  ++createCalls;
  constexpr ULONG kSynchronous = FILE_SYNCHRONOUS_IO_ALERT | 0x20;  // and ..._NONALERT
  if ((options & kSynchronous) != 0 && (access & SYNCHRONIZE) == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  if (failDestination && createCalls >= 2 && (!deleteRightOnly || (access & DELETE) != 0)) {
    if (fillBlock) {
      io->Status = blockStatus;
    }
    return destinationStatus;
  }
  WCHAR twin[] = {'A', '.', 't', 'x', 't'};
  UNICODE_STRING twinName{10, 10, twin};
  OBJECT_ATTRIBUTES folded = *attributes;
  const WideString opened(attributes->ObjectName->Buffer, attributes->ObjectName->Length / 2);
  if (opensTwin && disposition == FILE_OPEN && attributes->RootDirectory != nullptr &&
      opened == Widen("a.txt")) {
    folded.ObjectName = &twinName;
  }
  UNICODE_STRING folderTwin{static_cast<USHORT>(treeScript.twin.size() * 2),
                            static_cast<USHORT>(treeScript.twin.size() * 2),
                            treeScript.twin.data()};
  if (disposition == FILE_OPEN && opened == treeScript.twinOf) {
    folded.ObjectName = &folderTwin;
  }
  if (disposition == FILE_OPEN && opened == treeScript.systemFolder) {
    return STATUS_ACCESS_DENIED;
  }
  const NTSTATUS status =
      bound.ZwCreateFile(handle, access, &folded, io, allocationSize, fileAttributes, shareAccess,
                         disposition, options, eaBuffer, eaLength);
  if (status == STATUS_SUCCESS) {
    const UNICODE_STRING* name = attributes->ObjectName;
    namedHandles[*handle] = WideString(name->Buffer, name->Length / sizeof(WCHAR));
    if (disposition == FILE_CREATE) {
      treeTrail.append("+").append(Narrow(namedHandles[*handle].c_str()));
    }
    if (disposition == FILE_CREATE && (options & FILE_DIRECTORY_FILE) == 0) {
      marksOf[namedHandles[*handle]] = (options & FILE_DELETE_ON_CLOSE) != 0 ? "C" : "c";
    }
  }
  return status;
}

// Where the platform cannot clear a create's mark (Wine 8).
bool createMarkRefused;

// What a listing asked for one name (a name's check) answers: the platform's own, nothing
// (no listing can be had), or the name stored in another case than typed.
enum class NameListing { kPlatform, kRefused, kOtherCase };
NameListing nameListing;

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
  if (informationClass == FileCaseSensitiveInformation) {
    treeTrail.append("!").append(Narrow(namedHandles[file].c_str()));
    return namedHandles[file] == Widen("Refused") ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  }
  if (informationClass == FileRenameInformation) {
    const auto* rename = static_cast<const FILE_RENAME_INFORMATION*>(information);
    if (treeScript.relativeRenameInvalid && rename->RootDirectory != nullptr) {
      return STATUS_INVALID_PARAMETER;
    }
    if (treeScript.renameRefusals > 0) {
      --treeScript.renameRefusals;
      return treeScript.renameStatus;
    }
    return bound.ZwSetInformationFile(file, io, information, length, informationClass);
  }
  if (informationClass == FileBasicInformation && namedHandles[file] == treeScript.timesRefused) {
    return STATUS_ACCESS_DENIED;
  }
  if (informationClass == FileDispositionInformationEx && createMarkRefused) {
    return STATUS_NOT_IMPLEMENTED;  // as Wine 8 answers every flag
  }
  const Step step = marks.Next(markCalls);
  const NTSTATUS status =
      step.kind == Step::kFail
          ? step.status
          : bound.ZwSetInformationFile(file, io, information, length, informationClass);
  if (status == STATUS_SUCCESS) {
    marksOf[namedHandles[file]] += MarkEvent(information, informationClass);
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
  const WideString& folder = namedHandles[file];
  if (mask != nullptr && nameListing == NameListing::kRefused) {
    return STATUS_NOT_IMPLEMENTED;
  }
  if (mask == nullptr && folder == treeScript.listingFails) {
    return CompleteIo(io, treeScript.listingStatus, 0);
  }
  if (mask == nullptr && folder == treeScript.listsNoDots) {
    return CompleteIo(io, STATUS_NO_SUCH_FILE, 0);
  }
  const NTSTATUS status =
      bound.ZwQueryDirectoryFile(file, event, routine, context, io, information, length,
                                 informationClass, single, mask, restart);
  for (ULONG offset = 0; status == STATUS_SUCCESS;) {
    auto* entry =
        reinterpret_cast<FILE_ID_FULL_DIR_INFORMATION*>(static_cast<BYTE*>(information) + offset);
    if (mask != nullptr && nameListing == NameListing::kOtherCase) {
      entry->FileName[0] ^= 0x20;  // the first letter's other case
    }
    const WideString name(entry->FileName, entry->FileNameLength / sizeof(WCHAR));
    entry->FileId.QuadPart = name == treeScript.unknownId ? -1 : entry->FileId.QuadPart;
    entry->FileAttributes |=
        name == treeScript.systemFolder ? FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM : 0;
    if (entry->NextEntryOffset == 0) {
      break;
    }
    offset += entry->NextEntryOffset;
  }
  return status;
}

// The source's times as Windows reports them: its creation time is not its last-write time.
// A scenario may move the last-write time alone once the copy has read from the source.
bool lastWriteMoves;

NTSTATUS ReportedTimes(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                       FILE_INFORMATION_CLASS informationClass) {
  const NTSTATUS status =
      bound.ZwQueryInformationFile(file, io, information, length, informationClass);
  if (informationClass == FileCaseSensitiveInformation) {
    const WideString& name = namedHandles[file];
    const bool marked =
        name == Widen("Marked") || name == Widen("Refused") || name.ends_with(Widen("\\tree"));
    static_cast<FILE_CASE_SENSITIVE_INFORMATION*>(information)->Flags = marked ? 1 : 0;
    return STATUS_SUCCESS;
  }
  // Where a row loses a mark's hold, the platform reports holds (the top's, asked first).
  if (status == STATUS_SUCCESS && informationClass == FileStandardInformation &&
      !treeScript.holdLostFor.empty()) {
    auto* standard = static_cast<FILE_STANDARD_INFORMATION*>(information);
    standard->DeletePending = namedHandles[file] == treeScript.holdLostFor ? FALSE : TRUE;
  }
  if (status == STATUS_SUCCESS && informationClass == FileBasicInformation) {
    auto* basic = static_cast<FILE_BASIC_INFORMATION*>(information);
    constexpr LONGLONG kDay = 864000000000;
    basic->CreationTime.QuadPart = basic->LastWriteTime.QuadPart - kDay;
    basic->LastWriteTime.QuadPart += lastWriteMoves && readCalls > 0 ? 1 : 0;
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
    reads = {};
    writes = {};
    marks = {};
    readCalls = writeCalls = markCalls = 0;
    marksOf.clear();
    readFailsOf.clear();
    createMarkRefused = false;
    nameListing = NameListing::kPlatform;
    createCalls = 0;
    failDestination = deleteRightOnly = fillBlock = lastWriteMoves = opensTwin = false;
    treeScript = {};
    namedHandles.clear();
    NativeServices.ZwQueryDirectoryFile = ScriptedListing;
    NativeServices.ZwReadFile = Scripted<reads, readCalls, &NativeServiceTable::ZwReadFile>;
    NativeServices.ZwWriteFile = Scripted<writes, writeCalls, &NativeServiceTable::ZwWriteFile>;
    NativeServices.ZwCreateFile = RecordedCreate;
    NativeServices.ZwSetInformationFile = ScriptedMark;
    NativeServices.ZwQueryInformationFile = ReportedTimes;
  }

  CopyOutcome Copy() {
    return CopyCapturingOutput(folder_.NativePath("source"), folder_.NativePath("copy"));
  }

  BoundServices services_;
  ScratchFolder folder_;
};

struct Scenario {
  const char* name;
  std::size_t size;
  Script reads;
  Script writes;
  const char* printed;
  bool copied;
  Script marks{};
  // The destination is marked for deletion from its creation until the last block is
  // written and its time and attributes are set; a copy that failed keeps its mark, or gets
  // it at the end. Read-only comes only after the mark is cleared. Here the mark was refused
  // and the copy is written unmarked.
  bool markRefused = false;
  // A folder that lets the destination be created, but not with the right to delete it.
  bool deleteRightRefused = false;
  bool readOnlySource = false;
  bool lastWriteMoves = false;  // the source's last-write time alone moves during the copy
};

const Scenario kScenarios[] = {
    {"PlainCopy", 3 * kBlock + 5, {}, {}, "", true},
    {"ShortReadMidFile", 3 * kBlock + 5, {{Real(), Limit(100)}, Real()}, {}, "", true},
    {"EveryReadShort", 3 * kBlock + 5, {{}, Limit(4000)}, {}, "", true},
    {"EndAsStatusAfterFullBlocks", 2 * kBlock, {}, {}, "", true},
    {"EndAsEmptySuccessAfterFullBlocks", 2 * kBlock, {{}, EndAsEmpty()}, {}, "", true},
    {"EndAsEmptySuccessAfterShortBlock", kBlock + 7, {{}, EndAsEmpty()}, {}, "", true},
    {"EmptySourceEndAsStatus", 0, {}, {}, "", true},
    {"EmptySourceEndAsEmptySuccess", 0, {{}, EndAsEmpty()}, {}, "", true},
    {"FailedFirstRead",
     2 * kBlock,
     {{Fail(STATUS_IO_DEVICE_ERROR)}, Real()},
     {},
     "Error reading, Status=c0000185\n",
     false},
    {"FailedReadMidFile",
     3 * kBlock,
     {{Real(), Limit(10), Fail(STATUS_ACCESS_DENIED)}, Real()},
     {},
     "Error reading, Status=c0000022\n",
     false},
    // The rest of a block, after part of it was written, fails.
    {"FailedWrite",
     3 * kBlock,
     {},
     {{Real(), Limit(536), Fail(STATUS_IO_DEVICE_ERROR)}, Real()},
     "Error writing, Status=c0000185\n",
     false},
    {"PartialWritesContinued",
     3 * kBlock + 5,
     {},
     {{Limit(536), Limit(1), Limit(static_cast<ULONG>(kBlock - 1))}, Real()},
     "",
     true},
    {"EveryWritePartial", 3 * kBlock + 5, {}, {{}, Limit(3000)}, "", true},
    {"WriteMovesNothing",
     2 * kBlock,
     {},
     {{Real(), Nothing()}, Real()},
     "Error writing, Status=c000007f\n",
     false},
    {"PartialWriteThenNothing",
     2 * kBlock,
     {},
     {{Limit(536), Nothing()}, Real()},
     "Error writing, Status=c000007f\n",
     false},
    {"FirstMarkRefused",
     2 * kBlock + 3,
     {},
     {},
     "",
     true,
     {{Fail(STATUS_ACCESS_DENIED)}, Real()},
     true},
    {"FirstMarkRefusedThenFailedRead",
     2 * kBlock,
     {{Real(), Fail(STATUS_IO_DEVICE_ERROR)}, Real()},
     {},
     "Error reading, Status=c0000185\n",
     false,
     {{Fail(STATUS_ACCESS_DENIED)}, Real()},
     true},
    {"DeleteRightRefused", 2 * kBlock + 3, {}, {}, "", true, {}, true, true},
    {"ReadOnlySource", kBlock + 3, {}, {}, "", true, {}, false, false, true},
    {"TimeAndAttributesRefused",
     kBlock + 3,
     {},
     {},
     "Error writing, Status=c0000022\n",
     false,
     {{Real(), Fail(STATUS_ACCESS_DENIED)}, Real()}},
    {"ReadOnlyRefused",
     kBlock + 3,
     {},
     {},
     "Error writing, Status=c0000022\n",
     false,
     {{Real(), Real(), Real(), Fail(STATUS_ACCESS_DENIED)}, Real()},
     false,
     false,
     true},
    {"MarkNotCleared",
     kBlock + 3,
     {},
     {},
     "Error writing, Status=c0000022\n",
     false,
     {{Real(), Real(), Fail(STATUS_ACCESS_DENIED)}, Real()}},
    {"LastWriteTimeMovedAlone",
     kBlock + 3,
     {},
     {},
     "Error reading, Status=c0000043\n",
     false,
     {},
     false,
     false,
     false,
     true},
    // The source reports its end before its noted size, though neither its size nor its
    // times moved: not a whole copy.
    {"EarlyEndOfFile",
     2 * kBlock + 3,
     {{Real(), Fail(STATUS_END_OF_FILE)}, Real()},
     {},
     "Error reading, Status=c0000043\n",
     false},
};

// Scenarios are named by their name alone in the test list.
void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

class CopyScenarioTest : public CopyEngineTest, public testing::WithParamInterface<Scenario> {};

// The whole file arrives or nothing is left; a failure is one line, and no handle
// stays open either way.
TEST_P(CopyScenarioTest, CopiesWholeFileOrLeavesNothing) {
  const Scenario& scenario = GetParam();
  const std::string data = RandomBytes(scenario.size, 7);
  WriteBytes(folder_ / "source", data);
  if (scenario.readOnlySource) {
    fs::permissions(folder_ / "source",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }
  reads = scenario.reads;
  writes = scenario.writes;
  marks = scenario.marks;
  failDestination = deleteRightOnly = scenario.deleteRightRefused;
  lastWriteMoves = scenario.lastWriteMoves;
  destinationStatus = STATUS_ACCESS_DENIED;

  const CopyOutcome outcome = Copy();

  EXPECT_EQ(outcome.printed, scenario.printed);
  EXPECT_EQ(outcome.copied, scenario.copied);
  const std::string& events = marksOf[folder_.NativePath("copy")];
  EXPECT_TRUE(scenario.markRefused || MarkedWhileWritten(events)) << events;
  EXPECT_TRUE(!scenario.copied || EndsUnmarked(events)) << events;
  if (scenario.copied) {
    ASSERT_TRUE(fs::exists(folder_ / "copy"));
    const std::string copy = ReadBytes(folder_ / "copy");
    EXPECT_EQ(copy.size(), data.size());
    EXPECT_TRUE(copy == data) << "the copy differs from its source";
    // The last-write time, at the platform's 100 ns.
    EXPECT_EQ(
        std::chrono::floor<std::chrono::microseconds>(fs::last_write_time(folder_ / "copy")),
        std::chrono::floor<std::chrono::microseconds>(fs::last_write_time(folder_ / "source")));
    EXPECT_EQ(OpenAlone(folder_.NativePath("copy")), STATUS_SUCCESS);
  } else {
    EXPECT_FALSE(fs::exists(folder_ / "copy"));
  }
  EXPECT_EQ(OpenAlone(folder_.NativePath("source")), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Scripted, CopyScenarioTest, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) {
                           return std::string(info.param.name);
                         });

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
  writes = {{Real(), Fail(STATUS_DISK_FULL)}, Real()};
  const std::string copy = (folder_ / "copy").string();
  ASSERT_LT(copy.size(), sizeof printedWhileExisting);
  copy.copy(printedWhileExisting, copy.size());
  printedWhileExisting[copy.size()] = 0;
  int closed[2];
  ASSERT_EQ(pipe(closed), 0);
  close(closed[0]);
  const int saved = dup(1);
  dup2(closed[1], 1);
  struct sigaction note {};
  struct sigaction previous {};
  note.sa_handler = NotePipeWrite;
  sigaction(SIGPIPE, &note, &previous);

  WCHAR message[kMessageUnits];
  alignas(64) BYTE data[kDataBufferBytes];
  const WideString source = folder_.NativePath("source");
  const WideString destination = folder_.NativePath("copy");
  const bool copied =
      CopyFileNative(TypedLastName(source), TypedLastName(destination), message, data);

  sigaction(SIGPIPE, &previous, nullptr);
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
  const NTSTATUS kNone = STATUS_INVALID_INFO_CLASS;
  constexpr auto kRoom = static_cast<ULONG>(kBlock - offsetof(FILE_NAME_INFORMATION, FileName));
  const WideString kFillsRoom =
      Widen("\\v\\") + WideString(kRoom / sizeof(WCHAR) - 14, u'x') + Widen("\\Sub\\Source");
  const WideString kLongest = Widen("\\") + WideString(32755, u'x') + Widen("\\Sub\\Source");
  const struct {
    const char* label;
    NameReply normalized;
    NameReply opened;
    const char* printed;
    NameListing listing = NameListing::kRefused;  // where the normalized name is refused
  } cases[] = {
      {"exact", {STATUS_SUCCESS, Widen("\\v\\Sub\\source")}, {kNone}, ""},
      {"own name",
       {STATUS_SUCCESS, Widen("\\v\\Sub\\Source")},
       {kNone},
       "Error openning, Status=c0000034\n"},
      {"folder",
       {kNone},
       {STATUS_SUCCESS, Widen("\\v\\SUB\\source")},
       "Error openning, Status=c000003a\n"},
      {"both",
       {STATUS_SUCCESS, Widen("\\v\\sub\\SOURCE")},
       {kNone},
       "Error openning, Status=c000003a\n"},
      {"no answer", {STATUS_NOT_IMPLEMENTED}, {STATUS_NOT_SUPPORTED}, ""},
      {"overflow",
       {STATUS_BUFFER_OVERFLOW, Widen("\\v")},
       {STATUS_BUFFER_OVERFLOW, Widen("\\v")},
       ""},
      {"short name", {STATUS_SUCCESS, Widen("\\v\\Sub\\SOURCE~1")}, {kNone}, ""},
      {"untyped folder", {STATUS_SUCCESS, Widen("\\V\\Sub\\source")}, {kNone}, ""},
      {"length beyond the buffer",
       {STATUS_SUCCESS, Widen("\\v\\Sub\\Source"), 100000},
       {STATUS_SUCCESS, Widen("\\v\\Sub\\Source"), 100000},
       ""},
      // A name that fills the buffer after the record's header, with a length one byte
      // beyond it: no answer, though its units would fit the buffer whole.
      {"length one byte beyond the room", {STATUS_SUCCESS, kFillsRoom, kRoom + 1}, {kNone}, ""},
      // Longer than the first offer: read again whole, up to the longest a record holds.
      {"longest name", {STATUS_SUCCESS, kLongest}, {kNone}, "Error openning, Status=c0000034\n"},
      // Where the normalized name is refused (an SMB 2.1 server), the opened name may echo
      // the name as typed: the listing, which answers names as stored, decides.
      {"echoed, listed in another case",
       {kNone},
       {STATUS_SUCCESS, Widen("\\v\\Sub\\source")},
       "Error openning, Status=c000003a\n",
       NameListing::kOtherCase},
      {"listed as typed",
       {kNone},
       {STATUS_SUCCESS, Widen("\\v\\SUB\\source")},
       "",
       NameListing::kPlatform},
  };
  std::filesystem::create_directory(folder_ / "Sub");
  WriteBytes(folder_ / "Sub" / "source", "data");
  NativeServices.ZwQueryInformationFile = ScriptedNameQuery;
  const WideString source = folder_.NativePath("Sub\\source");
  const NativeName named{source.c_str(), source.c_str() + source.size() - 10};
  const WideString copy = folder_.NativePath("copy");
  for (const auto& row : cases) {
    SCOPED_TRACE(row.label);
    normalizedReply = row.normalized;
    openedReply = row.opened;
    nameListing = row.listing;
    fs::remove(folder_ / "copy");
    WCHAR message[kMessageUnits];
    alignas(64) BYTE data[kDataBufferBytes];
    OutputCapture capture;
    const bool copied = CopyFileNative(named, TypedLastName(copy), message, data);
    EXPECT_EQ(capture.Finish(), row.printed);
    EXPECT_EQ(copied, *row.printed == 0);
    EXPECT_EQ(fs::exists(folder_ / "copy"), copied);
    EXPECT_EQ(OpenAlone(source), STATUS_SUCCESS);
  }
}

struct OpenOrCreateFailure {
  bool sourceMissing;
  NTSTATUS returned;  // the destination's create
  bool fillsBlock;
  NTSTATUS block;
  const char* printed;
};

// A source that cannot be opened creates nothing; a destination that cannot be created shows
// both statuses (the second is the status block's, which a failing service may leave
// untouched) and releases the source. Neither reads a byte.
TEST_F(CopyEngineTest, FailedOpenOrCreateReadsNothingAndHoldsNothing) {
  const OpenOrCreateFailure failures[] = {
      {true, STATUS_SUCCESS, false, 0, "Error openning, Status=c0000034\n"},
      {false, STATUS_OBJECT_NAME_COLLISION, false, 0, "Error creating, Status=c0000035 (0)\n"},
      {false, STATUS_OBJECT_NAME_COLLISION, true, STATUS_OBJECT_NAME_COLLISION,
       "Error creating, Status=c0000035 (c0000035)\n"},
      {false, STATUS_ACCESS_DENIED, true, STATUS_DISK_FULL,
       "Error creating, Status=c0000022 (c000007f)\n"},
  };
  for (const OpenOrCreateFailure& failure : failures) {
    SCOPED_TRACE(failure.printed);
    if (failure.sourceMissing) {
      fs::remove(folder_ / "source");
    } else {
      WriteBytes(folder_ / "source", "data");
    }
    createCalls = 0;
    failDestination = !failure.sourceMissing;
    destinationStatus = failure.returned;
    fillBlock = failure.fillsBlock;
    blockStatus = failure.block;

    const CopyOutcome outcome = Copy();

    EXPECT_EQ(outcome.printed, failure.printed);
    EXPECT_FALSE(outcome.copied);
    EXPECT_EQ(readCalls, 0U);
    EXPECT_FALSE(fs::exists(folder_ / "copy"));
    if (failure.sourceMissing) {
      EXPECT_EQ(createCalls, 1U);
    } else {
      EXPECT_EQ(OpenAlone(folder_.NativePath("source")), STATUS_SUCCESS);
    }
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
// scripts, and every line the copy prints ("{unfinished}": the unfinished tree's native path).
struct TreeScenario {
  const char* name;
  std::vector<const char*> files;
  void (*script)();
  const char* printed;
  bool copied;
  bool twins = false;  // files differing in case alone, which Windows' calls make one under Wine
};

void PrintTo(const TreeScenario& row, std::ostream* out) {
  *out << row.name;
}

// A file whose copy's native path is over 1,000 units, its own path (970) and its line short
// enough to be shown whole.
const std::string kDeep = std::string(230, 'a') + "/" + std::string(230, 'b') + "/" +
                          std::string(230, 'c') + "/" + std::string(230, 'd') + "/" +
                          std::string(38, 'e') + "/deep.txt";
const char* const kOneFile = "Copied 1 files in 1 folders, 1.50 KiB; 0 failed, 0 links skipped.\n";

const TreeScenario kTreeScenarios[] = {
    // Each failure of a listed file, folder or listing is one line and one failure: the tree
    // is not renamed.
    {"ReadFails",
     {"a.txt"},
     [] {
       reads = {{Fail(STATUS_IO_DEVICE_ERROR)}, Real()};
     },
     "Error reading a.txt, Status=c0000185\n"
     "Copied 0 files in 1 folders, 0.00 KiB; 1 failed, 0 links skipped.\n"
     "The unfinished copy is in {unfinished}\n"
     "Run the same command again to finish it.\n",
     false},
    {"ListingFails",
     {"Sub/x.txt"},
     [] {
       treeScript.listingFails = Widen("Sub"), treeScript.listingStatus = STATUS_ACCESS_DENIED;
     },
     "Error reading Sub, Status=c0000022\n"
     "Copied 0 files in 2 folders, 0.00 KiB; 1 failed, 0 links skipped.\n"
     "The unfinished copy is in {unfinished}\n"
     "Run the same command again to finish it.\n",
     false},
    {"FolderTimeRefused",
     {"Sub/x.txt"},
     [] { treeScript.timesRefused = Widen("Sub"); },
     "Error writing Sub, Status=c0000022\n"
     "Copied 1 files in 2 folders, 1.50 KiB; 1 failed, 0 links skipped.\n"
     "The unfinished copy is in {unfinished}\n"
     "Run the same command again to finish it.\n",
     false},
    {"FolderOpenedAsItsTwin",
     {"Sub/x.txt", "sub/y.txt"},
     [] { treeScript.twinOf = Widen("sub"), treeScript.twin = Widen("Sub"); },
     "Error openning sub, Status=c0000034\n"
     "Copied 1 files in 2 folders, 1.50 KiB; 1 failed, 0 links skipped.\n"
     "The unfinished copy is in {unfinished}\n"
     "Run the same command again to finish it.\n",
     false,
     true},
    // What Windows' file systems answer and Wine does not: an empty folder listed without
    // dots, an ID that tells nothing, a system folder that refuses everyone.
    {"EmptyFolderWithoutDots",
     {"Empty/"},
     [] { treeScript.listsNoDots = Widen("Empty"); },
     "Copied 0 files in 2 folders, 0.00 KiB; 0 failed, 0 links skipped.\n",
     true},
    {"UnknownId", {"a.txt"}, [] { treeScript.unknownId = Widen("a.txt"); }, kOneFile, true},
    {"ProtectedFolder",
     {"a.txt", "System Volume Information/x"},
     [] { treeScript.systemFolder = Widen("System Volume Information"); },
     "Skipped protected folder System Volume Information\n"
     "Copied 1 files in 1 folders, 1.50 KiB; 0 failed, 0 links skipped.\n",
     true},
    // The final rename: waiting for another program's files, by full path where a rename
    // relative to a folder is invalid (a network redirector).
    {"RenameWaitsForFilesHeldOpen",
     {"a.txt"},
     [] { treeScript.renameRefusals = 3, treeScript.renameStatus = STATUS_ACCESS_DENIED; },
     "Waiting for another program to close files in {unfinished}\n"
     "Copied 1 files in 1 folders, 1.50 KiB; 0 failed, 0 links skipped.\n",
     true},
    {"RelativeRenameInvalid",
     {"a.txt"},
     [] { treeScript.relativeRenameInvalid = true; },
     kOneFile,
     true},
    // A mark given after the create that did not take, on a path deep enough for that
    // (Wine's past Linux's limit), where the platform reports a mark's hold: refused.
    {"MarkNotHeld",
     {kDeep.c_str()},
     [] { treeScript.holdLostFor = Widen("deep.txt"), createMarkRefused = true; },
     "Error creating {first}, Status=c0000121 (0)\n"
     "Copied 0 files in 6 folders, 0.00 KiB; 1 failed, 0 links skipped.\n"
     "The unfinished copy is in {unfinished}\n"
     "Run the same command again to finish it.\n",
     false},
    {"RenameRefused",
     {"a.txt"},
     [] { treeScript.renameRefusals = 1, treeScript.renameStatus = STATUS_OBJECT_NAME_COLLISION; },
     "Error renaming {unfinished}, Status=c0000035\n"
     "Copied 1 files in 1 folders, 1.50 KiB; 0 failed, 0 links skipped.\n"
     "The unfinished copy is in {unfinished}\n"
     "Run the same command again to finish it.\n",
     false},
};

class TreeScenarioTest : public CopyEngineTest, public testing::WithParamInterface<TreeScenario> {};

// The tree arrives whole under the destination's name, or its unfinished copy stays with
// every line said.
TEST_P(TreeScenarioTest, CopiesTheTreeOrSaysWhatIsMissing) {
  const TreeScenario& row = GetParam();
#ifdef _WIN32
  if (row.twins) {
    GTEST_SKIP() << "twins cannot be made through Windows' calls under Wine";
  }
#endif
  for (const char* file : row.files) {
    const std::string name = file;
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
  std::string first = row.files.front();
  std::replace(first.begin(), first.end(), '/', '\\');
  for (const auto& [token, text] :
       {std::pair<std::string, std::string>{"{unfinished}",
                                            Narrow(folder_.NativePath("copy.partial").c_str())},
        {"{first}", first}}) {
    for (std::size_t at; (at = expected.find(token)) != std::string::npos;) {
      expected.replace(at, token.size(), text);
    }
  }
  EXPECT_EQ(printed, expected);
  EXPECT_EQ(result, row.copied ? TreeResult::kCopied : TreeResult::kFailed);
  EXPECT_EQ(fs::exists(folder_ / "copy"), row.copied);
  EXPECT_NE(fs::exists(folder_ / "copy.partial"), row.copied);
}

INSTANTIATE_TEST_SUITE_P(Scripted, TreeScenarioTest, testing::ValuesIn(kTreeScenarios),
                         [](const testing::TestParamInfo<TreeScenario>& info) {
                           return std::string(info.param.name);
                         });

// Where the platform can clear a create's mark, a tree's files are marked by their create and
// unmarked once whole; where it cannot (Wine 8), right after it. Either way every write is
// marked, and a file whose copy failed is gone.
TEST_F(CopyEngineTest, TreeFilesAreMarkedFromTheirCreate) {
  fs::create_directory(folder_ / "tree");
  const std::string kept = RandomBytes(kBlock + 3, 1);
  WriteBytes(folder_ / "tree" / "kept.txt", kept);
  WriteBytes(folder_ / "tree" / "failed.txt", kept);
  readFailsOf = Widen("failed.txt");
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "a create's mark cannot be cleared" : "a create's mark can be cleared");
#ifdef _WIN32
    if (!refused) {
      continue;  // Wine 8 refuses the class that clears it
    }
#endif
    fs::remove_all(folder_ / "copy.partial");
    createMarkRefused = refused;
    std::string printed;
    EXPECT_EQ(CopyTree(folder_, printed), TreeResult::kFailed);
    for (const WideString& name : {Widen("kept.txt"), Widen("failed.txt")}) {
      const std::string& events = marksOf[name];
      EXPECT_EQ(events.substr(0, 1), refused ? "c" : "C");
      EXPECT_TRUE(MarkedWhileWritten(events)) << events;
    }
    EXPECT_TRUE(EndsUnmarked(marksOf[Widen("kept.txt")])) << marksOf[Widen("kept.txt")];
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
  namedHandles.clear();
  treeTrail.clear();
  std::string printed;
  EXPECT_EQ(CopyTree(folder_, printed), TreeResult::kCopied);
  for (const std::string folder : {"Marked", "Refused"}) {
    const std::string marked = "+" + folder + "!" + folder + "+" + folder + ".txt";
    EXPECT_NE(treeTrail.find(marked), std::string::npos) << treeTrail;
  }
  EXPECT_EQ(treeTrail.find("!Plain"), std::string::npos) << treeTrail;
  EXPECT_EQ(treeTrail.rfind("+copy.partial!copy.partial", 0), 0U) << "the top folder's mark";
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
  opensTwin = true;
  std::string printed;
  EXPECT_EQ(CopyTree(folder_, printed), TreeResult::kFailed);
  EXPECT_NE(printed.find("Error openning a.txt, Status=c0000034\n"), std::string::npos);
  EXPECT_NE(
      RunLinuxShell("test -e " + ShellQuoted(LinuxPathOf(folder_ / "copy.partial")) + "/a.txt"), 0);
  EXPECT_EQ(ReadBytes(folder_ / "copy.partial" / "A.txt"), "upper");
}

// Beyond the levels a walk holds open, a folder is one failure line; what lies above it
// arrives.
TEST_F(CopyEngineTest, TreeDeeperThanItsLevelsIsOneFailure) {
  fs::path deep = folder_ / "tree";
  std::string shown;
  for (std::size_t level = 1; level <= kTreeLevels; ++level) {
    deep /= "d";
    shown += level == 1 ? "d" : "\\d";
  }
  fs::create_directories(deep);
  WriteBytes(deep.parent_path() / "kept.txt", "kept");
  std::string printed;
  EXPECT_EQ(CopyTree(folder_, printed), TreeResult::kFailed);
  EXPECT_NE(printed.find("Error openning " + shown + ", Status=c000011f\n"), std::string::npos)
      << printed;
  EXPECT_NE(printed.find("Copied 1 files in 128 folders"), std::string::npos) << printed;
}

}  // namespace
