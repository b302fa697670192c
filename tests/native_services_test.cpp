// The native services held to the platform's contracts that the tool relies on, in
// both builds: the stand-in's on the host, Wine's own ntdll in the Windows build. Files
// live in a scratch folder reached through the drive link \??\Z:. Where Wine is known to
// answer otherwise than Windows, a row says so (docs/windows.md lists those cases).
#include "native/native_services.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "tests/support/linux_shell.h"
#include "tests/support/scratch.h"
#include "tests/support/wide_text.h"

namespace {

namespace fs = std::filesystem;

constexpr WCHAR kGuard = 0xBEEF;
constexpr ACCESS_MASK kRead = GENERIC_READ | SYNCHRONIZE;
constexpr ACCESS_MASK kWrite = GENERIC_WRITE | SYNCHRONIZE;
constexpr ULONG kSync = FILE_SYNCHRONOUS_IO_ALERT;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kList = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kFolder = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;

#ifdef _WIN32
constexpr bool kWine = true;
#else
constexpr bool kWine = false;
#endif

// What a row expects: the platform's status, and Wine's where it answers otherwise.
struct Expected {
  NTSTATUS status;
  NTSTATUS wine = status;
  NTSTATUS Here() const { return kWine ? wine : status; }
};

class NativeServicesTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(BindNativeServices(), nullptr);
    WriteBytes(scratch_ / "Report.TXT", "hello");
    fs::create_directory(scratch_ / "sub");
  }

  // Opens or creates a name in the scratch folder as the copy does, case-sensitively; or,
  // given a folder's handle, a name relative to that folder.
  NTSTATUS Create(const std::string& name, HANDLE* handle, ACCESS_MASK access = kRead,
                  ULONG disposition = FILE_OPEN, ULONG options = kSync, ULONG share = 0,
                  HANDLE folder = nullptr) const {
    return CreateNative(NativeServices, folder ? Widen(name) : scratch_.NativePath(name.c_str()),
                        handle, access, disposition, options, share, folder);
  }

  // Sets the deletion mark by class 13 (its one byte) or by class 64 (its flags).
  static NTSTATUS Mark(HANDLE file, ULONG flags, bool ex = false) {
    IO_STATUS_BLOCK io{};
    return NativeServices.ZwSetInformationFile(
        file, &io, &flags, ex ? sizeof flags : 1,
        ex ? FileDispositionInformationEx : FileDispositionInformation);
  }

  static NTSTATUS OpenLink(const WCHAR* name, ULONG attributes, HANDLE* link) {
    UNICODE_STRING counted;
    NativeServices.RtlInitUnicodeString(&counted, name);
    OBJECT_ATTRIBUTES record = ObjectAttributesFor(&counted, attributes);
    *link = nullptr;
    return NativeServices.ZwOpenSymbolicLinkObject(link, GENERIC_READ, &record);
  }

  // Lists the folder on a new handle with the mask at its first call ("": none), to its end;
  // the first call's status.
  using Listing = std::map<std::string, FILE_ID_FULL_DIR_INFORMATION>;
  static NTSTATUS List(HANDLE folder, const std::string& mask, Listing& entries) {
    const WideString text = Widen(mask);
    UNICODE_STRING counted;
    NativeServices.RtlInitUnicodeString(&counted, text.c_str());
    alignas(8) BYTE buffer[4096];
    IO_STATUS_BLOCK io{};
    const auto query = [&] {
      return NativeServices.ZwQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer,
                                                 sizeof buffer, FileIdFullDirectoryInformation,
                                                 FALSE, mask.empty() ? nullptr : &counted, FALSE);
    };
    const NTSTATUS first = query();
    for (NTSTATUS status = first; status == STATUS_SUCCESS; status = query()) {
      for (ULONG at = 0, next = 1; next != 0; at += next) {
        const auto* entry = reinterpret_cast<const FILE_ID_FULL_DIR_INFORMATION*>(buffer + at);
        entries[Narrow(entry->FileName, entry->FileNameLength / sizeof(WCHAR))] = *entry;
        next = entry->NextEntryOffset;
      }
    }
    return first;
  }

  // The scratch folder ("") or one in it, named with a separator at its end as the copy
  // names a folder.
  HANDLE OpenFolder(const std::string& name = "") const {
    HANDLE folder = nullptr;
    EXPECT_EQ(Create(name, &folder, kList, FILE_OPEN, kFolder, kShareAll), STATUS_SUCCESS);
    return folder;
  }

  ScratchFolder scratch_;
};

// Link names match without regard to case only when asked. The target of Z: is L bytes: a
// caller that asks for the length needed must leave room for the terminator; none is
// written where it does not fit, nothing past the offer.
TEST_F(NativeServicesTest, LinkNamesIgnoreCaseOnlyWhenAskedAndTargetsFitTheOffer) {
  const struct {
    const WCHAR* name;
    ULONG attributes;
    NTSTATUS status;
  } names[] = {
      {WIDE("\\??\\Z:"), 0, STATUS_SUCCESS},
      {WIDE("\\??\\z:"), 0, STATUS_OBJECT_NAME_NOT_FOUND},
      {WIDE("\\??\\z:"), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, STATUS_SUCCESS},
      {WIDE("\\??\\J:"), OBJ_CASE_INSENSITIVE, STATUS_OBJECT_NAME_NOT_FOUND},
      {WIDE("\\??\\Z"), OBJ_CASE_INSENSITIVE, STATUS_OBJECT_NAME_NOT_FOUND},
  };
  for (const auto& row : names) {
    SCOPED_TRACE(Narrow(row.name));
    HANDLE link = nullptr;
    EXPECT_EQ(OpenLink(row.name, row.attributes, &link), row.status);
    EXPECT_EQ(link != nullptr, row.status == STATUS_SUCCESS);
    EXPECT_TRUE(link == nullptr || NativeServices.ZwClose(link) == STATUS_SUCCESS);
  }
  HANDLE link = nullptr;
  ASSERT_EQ(OpenLink(WIDE("\\??\\Z:"), OBJ_CASE_INSENSITIVE, &link), STATUS_SUCCESS);
  WCHAR expected[128] = {};
  UNICODE_STRING whole{0, sizeof expected, expected};
  ULONG needed = 0;
  ASSERT_EQ(NativeServices.ZwQuerySymbolicLinkObject(link, &whole, &needed), STATUS_SUCCESS);
  const USHORT length = whole.Length;
  ASSERT_GT(length, 0);
  const struct {
    USHORT maximumLength;
    bool askLength;
    Expected status;
  } offers[] = {
      {static_cast<USHORT>(length - 2), true, {STATUS_BUFFER_TOO_SMALL}},
      {length, true, {STATUS_BUFFER_TOO_SMALL}},
      {static_cast<USHORT>(length + 2), true, {STATUS_SUCCESS}},
      {200, true, {STATUS_SUCCESS}},
      {static_cast<USHORT>(length - 2), false, {STATUS_BUFFER_TOO_SMALL}},
      // Without the length asked, Windows fills exactly L bytes; Wine 8 still wants room
      // for the terminator.
      {length, false, {STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL}},
  };
  for (const auto& row : offers) {
    SCOPED_TRACE(testing::Message() << row.maximumLength << (row.askLength ? " asked" : ""));
    WCHAR buffer[128];
    std::fill(std::begin(buffer), std::end(buffer), kGuard);
    UNICODE_STRING target{0, row.maximumLength, buffer};
    needed = 0;
    EXPECT_EQ(
        NativeServices.ZwQuerySymbolicLinkObject(link, &target, row.askLength ? &needed : nullptr),
        row.status.Here());
    EXPECT_EQ(needed, row.askLength ? length + 2U : 0U);
    EXPECT_EQ(buffer[row.maximumLength / 2], kGuard);  // nothing past the offered length
    if (row.status.Here() == STATUS_SUCCESS) {
      EXPECT_EQ(target.Length, length);
      EXPECT_EQ(WideString(buffer, length / 2), WideString(expected, length / 2));
      EXPECT_EQ(buffer[length / 2], row.maximumLength > length ? 0 : kGuard);
    }
  }
  NativeServices.ZwClose(link);
}

TEST_F(NativeServicesTest, NtdllExportsByExactName) {
  const HMODULE ntdll = GetModuleHandleW(WIDE("ntdll.dll"));
  ASSERT_NE(ntdll, nullptr);
  EXPECT_EQ(GetModuleHandleW(WIDE("NTDLL.DLL")), ntdll);
  EXPECT_NE(GetProcAddress(ntdll, "ZwCreateFile"), nullptr);
  EXPECT_NE(GetProcAddress(ntdll, "ZwSetInformationFile"), nullptr);
  EXPECT_EQ(GetProcAddress(ntdll, "zwcreatefile"), nullptr);
  EXPECT_EQ(GetProcAddress(ntdll, "ZwNoSuchService"), nullptr);
}

// Names in the scratch folder, which holds the file Report.TXT and the folder sub: full
// paths, names relative to the folder's handle, and names the tool never builds, outside
// the scratch folder.
TEST_F(NativeServicesTest, CreateFileParsesNativePaths) {
  enum Base { kScratch, kRelative, kBare };
  // A drive without a link: Windows reports the path, Wine the name.
  constexpr Expected kNoDrive{STATUS_OBJECT_PATH_NOT_FOUND, STATUS_OBJECT_NAME_NOT_FOUND};
  const struct {
    std::string name;
    ULONG disposition;
    ULONG options;
    Expected status;
    Base base = kScratch;
  } cases[] = {
      {"Report.TXT", FILE_OPEN, kSync, {STATUS_SUCCESS}},
      {"sub\\..\\Report.TXT", FILE_OPEN, kSync, {STATUS_OBJECT_NAME_INVALID}},
      {".\\Report.TXT", FILE_OPEN, kSync, {STATUS_OBJECT_NAME_INVALID}},
      {"\\Report.TXT", FILE_OPEN, kSync, {STATUS_OBJECT_NAME_INVALID}},
      {"sub/Report.TXT", FILE_OPEN, kSync, {STATUS_OBJECT_NAME_INVALID}},
      {"sub\\", FILE_OPEN, kSync, {STATUS_SUCCESS}},
      {"sub\\", FILE_OPEN, kSync | FILE_NON_DIRECTORY_FILE, {STATUS_FILE_IS_A_DIRECTORY}},
      {"Report.TXT\\", FILE_OPEN, kSync, {STATUS_OBJECT_NAME_INVALID}},
      {"New\\", FILE_CREATE, kSync, {STATUS_OBJECT_NAME_INVALID}},
      // Wine looks names up without regard to case, whatever is asked.
      {"report.txt", FILE_OPEN, kSync, {STATUS_OBJECT_NAME_NOT_FOUND, STATUS_SUCCESS}},
      {"missing", FILE_OPEN, kSync, {STATUS_OBJECT_NAME_NOT_FOUND}},
      {"missing\\x", FILE_OPEN, kSync, {STATUS_OBJECT_PATH_NOT_FOUND}},
      {"Report.TXT\\x", FILE_OPEN, kSync, {STATUS_OBJECT_PATH_NOT_FOUND}},
      {"Report.TXT", FILE_CREATE, kSync, {STATUS_OBJECT_NAME_COLLISION}},
      {"New.txt", FILE_CREATE, kSync, {STATUS_SUCCESS}},
      {"sub\\", FILE_OPEN, kFolder, {STATUS_SUCCESS}, kRelative},
      {"missing", FILE_OPEN, kSync, {STATUS_OBJECT_NAME_NOT_FOUND}, kRelative},
      {"missing\\x", FILE_OPEN, kSync, {STATUS_OBJECT_PATH_NOT_FOUND}, kRelative},
      {"Report.TXT", FILE_OPEN, kFolder, {STATUS_NOT_A_DIRECTORY}, kRelative},
      {"sub", FILE_CREATE, kFolder, {STATUS_OBJECT_NAME_COLLISION}, kRelative},
      {"Made", FILE_CREATE, kFolder, {STATUS_SUCCESS}, kRelative},
      {"Made\\Inner.txt", FILE_CREATE, kSync, {STATUS_SUCCESS}, kRelative},
      {"Report.TXT", FILE_OPEN, kSync, {STATUS_OBJECT_PATH_SYNTAX_BAD}, kBare},
      {"", FILE_OPEN, kSync, {STATUS_OBJECT_PATH_SYNTAX_BAD}, kBare},
      {"\\??\\J:\\x", FILE_OPEN, kSync, kNoDrive, kBare},
  };
  HANDLE folder = OpenFolder();
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    HANDLE file = nullptr;
    const ACCESS_MASK access = row.disposition == FILE_CREATE ? kWrite : kRead;
    EXPECT_EQ(
        CreateNative(NativeServices,
                     row.base == kScratch ? scratch_.NativePath(row.name.c_str()) : Widen(row.name),
                     &file, access, row.disposition, row.options, 0,
                     row.base == kRelative ? folder : nullptr),
        row.status.Here());
    EXPECT_EQ(file != nullptr, row.status.Here() == STATUS_SUCCESS);
    EXPECT_TRUE(file == nullptr || CloseHandle(file));
  }
  CloseHandle(folder);
  EXPECT_TRUE(fs::is_regular_file(scratch_ / "Made" / "Inner.txt"));
  EXPECT_TRUE(fs::is_regular_file(scratch_ / "New.txt"));
  EXPECT_FALSE(fs::exists(scratch_ / "New"));
  EXPECT_EQ(fs::file_size(scratch_ / "Report.TXT"), 5U);
}

// Reads move what is there from the current position; the end is a status of its own. An
// open that offers to share is refused too while another holds the file without sharing
// (the copy's own open against another program is a row of cli_test).
TEST_F(NativeServicesTest, ReadsAndWritesMoveWhatIsThere) {
  HANDLE file = nullptr;
  ASSERT_EQ(Create("Report.TXT", &file), STATUS_SUCCESS);
  HANDLE second = nullptr;
  EXPECT_EQ(Create("Report.TXT", &second, kRead, FILE_OPEN, kSync, FILE_SHARE_READ),
            STATUS_SHARING_VIOLATION);
  char buffer[16384] = {};
  IO_STATUS_BLOCK io{};
  // One transfer; its block tells its result, or, where it never started, is not written.
  const auto transfer = [&](bool write, ULONG length) {
    io = {{STATUS_SUCCESS}, 77};
    const auto call = write ? NativeServices.ZwWriteFile : NativeServices.ZwReadFile;
    const NTSTATUS status =
        call(file, nullptr, nullptr, nullptr, &io, buffer, length, nullptr, nullptr);
    EXPECT_TRUE(io.Status == status || (io.Status == 0 && io.Information == 77));
    return status;
  };
  EXPECT_EQ(transfer(false, 3), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, io.Information), "hel");
  EXPECT_EQ(transfer(false, sizeof buffer), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, io.Information), "lo");
  EXPECT_EQ(transfer(false, sizeof buffer), STATUS_END_OF_FILE);
  EXPECT_EQ(io.Information, 0U);
  EXPECT_EQ(transfer(false, sizeof buffer), STATUS_END_OF_FILE);
  CloseHandle(file);
  // A folder refuses a read before any transfer starts.
  ASSERT_EQ(Create("sub", &file), STATUS_SUCCESS);
  EXPECT_EQ(transfer(false, sizeof buffer), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(io.Status, STATUS_SUCCESS);
  EXPECT_EQ(io.Information, 77U);
  CloseHandle(file);
  // Writes tell what they moved; a file not opened for reading refuses a read.
  ASSERT_EQ(Create("Out.bin", &file, kWrite, FILE_CREATE), STATUS_SUCCESS);
  std::memcpy(buffer, "hello", 5);
  EXPECT_EQ(transfer(true, 5), STATUS_SUCCESS);
  EXPECT_EQ(io.Information, 5U);
  EXPECT_EQ(transfer(true, 2), STATUS_SUCCESS);
  EXPECT_EQ(transfer(false, 3), STATUS_ACCESS_DENIED);
  CloseHandle(file);
  EXPECT_EQ(ReadBytes(scratch_ / "Out.bin"), "hellohe");
}

// The name of an open file, relative to its volume's root, as stored; what does not fit
// is cut with its full length told. The normalized name is a class neither Wine nor the
// stand-in answers (Wine 8 has none).
TEST_F(NativeServicesTest, NameQueryTellsTheStoredName) {
  HANDLE file = nullptr;
  // Wine finds the file under another case too, and tells its stored name.
  ASSERT_EQ(Create(kWine ? "report.txt" : "Report.TXT", &file), STATUS_SUCCESS);
  const WideString stored = scratch_.NativePath("Report.TXT").substr(6);  // after \??\Z:
  const auto storedBytes = static_cast<ULONG>(stored.size() * sizeof(WCHAR));
  constexpr ULONG kHeader = offsetof(FILE_NAME_INFORMATION, FileName);
  const struct {
    FILE_INFORMATION_CLASS nameClass;
    ULONG length;
    Expected status;
  } cases[] = {
      {FileNameInformation, 1024, {STATUS_SUCCESS}},
      {FileNameInformation, kHeader + storedBytes, {STATUS_SUCCESS}},
      {FileNameInformation, kHeader + 12, {STATUS_BUFFER_OVERFLOW}},
      {FileNameInformation, 2, {STATUS_INFO_LENGTH_MISMATCH}},
      {FileNormalizedNameInformation, 1024, {STATUS_INVALID_INFO_CLASS, STATUS_NOT_IMPLEMENTED}},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.length);
    alignas(8) BYTE buffer[1040];
    std::fill(std::begin(buffer), std::end(buffer), BYTE{0xA5});
    IO_STATUS_BLOCK io{};
    EXPECT_EQ(NativeServices.ZwQueryInformationFile(file, &io, buffer, row.length, row.nameClass),
              row.status.Here());
    EXPECT_EQ(buffer[row.length], 0xA5);  // nothing past the buffer offered
    if (row.status.Here() == STATUS_SUCCESS || row.status.Here() == STATUS_BUFFER_OVERFLOW) {
      const auto* reply = reinterpret_cast<const FILE_NAME_INFORMATION*>(buffer);
      const ULONG shown = std::min(storedBytes, row.length - kHeader);
      EXPECT_EQ(reply->FileNameLength, storedBytes);
      EXPECT_EQ(io.Information, kHeader + shown);
      EXPECT_EQ(WideString(reply->FileName, shown / sizeof(WCHAR)),
                stored.substr(0, shown / sizeof(WCHAR)));
    }
  }
  CloseHandle(file);
}

// Counted strings made in place (a text longer than one holds with its terminator is cut to
// 32,766 units), and the platform's own comparison, with and without regard to case.
TEST_F(NativeServicesTest, CountedStringsAreMadeInPlaceAndComparedByCaseWhenAsked) {
  const WideString longest(32767, WIDE('x'));
  const struct {
    const WCHAR* text;
    USHORT length, maximumLength;
  } texts[] = {
      {WIDE("ab\\c"), 8, 10}, {WIDE(""), 0, 2}, {nullptr, 0, 0}, {longest.c_str(), 0xFFFC, 0xFFFE}};
  for (const auto& row : texts) {
    UNICODE_STRING counted{1, 1, nullptr};
    NativeServices.RtlInitUnicodeString(&counted, row.text);
    EXPECT_EQ(counted.Length, row.length);
    EXPECT_EQ(counted.MaximumLength, row.maximumLength);
    EXPECT_EQ(counted.Buffer, row.text);
  }
  const struct {
    const WCHAR* left;
    const WCHAR* right;
    bool sameIgnoringCase;
  } cases[] = {
      {WIDE("Report.TXT"), WIDE("Report.TXT"), true},
      {WIDE("Report.TXT"), WIDE("report.txt"), true},
      {WIDE("\x00e9t\x00e9"), WIDE("\x00c9T\x00c9"), true},
      {WIDE("\x0436"), WIDE("\x0416"), true},  // Cyrillic zhe
      {WIDE("stra\x00df") WIDE("e"), WIDE("STRASSE"), false},
      {WIDE("Report.TXT"), WIDE("Report.TXT "), false},
      {WIDE("SOURCE~1"), WIDE("source"), false},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Narrow(row.left));
    UNICODE_STRING left, right;
    NativeServices.RtlInitUnicodeString(&left, row.left);
    NativeServices.RtlInitUnicodeString(&right, row.right);
    const bool identical = WideString(row.left) == WideString(row.right);
    EXPECT_EQ(NativeServices.RtlEqualUnicodeString(&left, &right, FALSE) != FALSE, identical);
    EXPECT_EQ(NativeServices.RtlEqualUnicodeString(&left, &right, TRUE) != FALSE,
              row.sameIgnoringCase);
  }
}

// Only a handle opened with DELETE may mark its file. The file goes at its handle's close
// while delete-pending (class 13, or 64 without FILE_DISPOSITION_ON_CLOSE), which
// DeletePending tells, or while the handle's on-close state is set (FILE_DELETE_ON_CLOSE,
// or 64 with it), which only class 64 clears. Wine 8 has no class 64, and tells no file
// delete-pending. A read-only file refuses both.
TEST_F(NativeServicesTest, DispositionNeedsDeleteAccessAndActsAtClose) {
  constexpr ULONG kOnClose = FILE_DISPOSITION_ON_CLOSE;
  constexpr Expected kEx{STATUS_SUCCESS, STATUS_NOT_IMPLEMENTED};
  constexpr Expected kDenied{STATUS_ACCESS_DENIED};
  const struct {
    const char* name;
    ACCESS_MASK access;
    bool deleteOnClose, ex;  // given at the create; the marks, in turn, by class 64 (else 13)
    std::vector<ULONG> marks;
    Expected marked;
    bool pending, remains, wineRemains = remains;
  } cases[] = {
      {"Unmarkable.txt", kWrite, false, false, {1}, kDenied, false, true},
      {"Marked.txt", kWrite | DELETE, false, false, {1}, {0}, true, false},
      {"Cleared.txt", kWrite | DELETE, false, false, {1, 0}, {0}, false, true},
      {"OnClose.txt", kWrite | DELETE, true, false, {0}, {0}, false, false},
      {"OnCloseCleared.txt", kWrite | DELETE, true, true, {kOnClose}, kEx, false, true, false},
      {"ExOnClose.txt", kWrite | DELETE, false, true, {kOnClose | 1, 0}, kEx, false, false, true},
      {"ExUnmarkable.txt", kWrite, false, true, {1}, {kDenied.status, kEx.wine}, false, true},
  };
  HANDLE file = nullptr;
  IO_STATUS_BLOCK io{};
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    const ULONG options = kSync | (row.deleteOnClose ? FILE_DELETE_ON_CLOSE : 0);
    ASSERT_EQ(Create(row.name, &file, row.access, FILE_CREATE, options), STATUS_SUCCESS);
    for (ULONG mark : row.marks) {
      EXPECT_EQ(Mark(file, mark, row.ex), row.marked.Here());
    }
    FILE_STANDARD_INFORMATION standard{};
    NativeServices.ZwQueryInformationFile(file, &io, &standard, sizeof standard,
                                          FileStandardInformation);
    EXPECT_EQ(standard.DeletePending != FALSE, row.pending && !kWine);
    EXPECT_TRUE(fs::exists(scratch_ / row.name));
    CloseHandle(file);
    EXPECT_EQ(fs::exists(scratch_ / row.name), kWine ? row.wineRemains : row.remains);
  }
  EXPECT_EQ(Create("Right.txt", &file, kWrite, FILE_CREATE, kSync | FILE_DELETE_ON_CLOSE),
            STATUS_INVALID_PARAMETER);
  fs::permissions(scratch_ / "Report.TXT", fs::perms::owner_read);
  EXPECT_EQ(Create("Report.TXT", &file, kRead | DELETE, FILE_OPEN, kSync | FILE_DELETE_ON_CLOSE),
            STATUS_CANNOT_DELETE);
  ASSERT_EQ(Create("Report.TXT", &file, kRead | DELETE), STATUS_SUCCESS);
  EXPECT_EQ(Mark(file, 1), STATUS_CANNOT_DELETE);
  CloseHandle(file);
  fs::create_directories(scratch_ / "full" / "in");  // a folder that holds an entry
  ASSERT_EQ(Create("full", &file, kRead | DELETE, FILE_OPEN, kFolder), STATUS_SUCCESS);
  EXPECT_EQ(Mark(file, 1), STATUS_DIRECTORY_NOT_EMPTY);
  CloseHandle(file);
}

// Each entry once, "." and ".." too, with the ID its handle tells (a link's own, opened as
// itself, for one that leads nowhere) and its folder's volume. A link to a file is listed
// as its target; a link to a folder, a folder of another file system and special files (as
// a WSL folder holds them) as reparse points with their tags. Wine gives no tag, lists
// special files as files and opens them, lists no dangling link, shows a dot name hidden,
// has no case-sensitive mark of a folder, and finds the name it listed for one not UTF-8.
TEST_F(NativeServicesTest, ListingTellsEachEntryWithItsId) {
  const std::string here = "cd " + ShellQuoted(LinuxPathOf(scratch_.Path()));
  ASSERT_EQ(
      RunLinuxShell(here + " && ln -s sub ToSub && ln -s Report.TXT ToReport && ln -s gone"
                           " Dangling && ln -s /dev/zero ToZero && mkfifo Fifo && touch"
                           " .profile twin Twin \"$(printf 'bad\\377')\" && perl -MIO::Socket::UNIX"
                           " -e 'IO::Socket::UNIX->new(Local => \"Sock\", Listen => 1)'"),
      0);
  HANDLE folder = OpenFolder();
  Listing entries;
  EXPECT_EQ(List(folder, "", entries), STATUS_SUCCESS);
  EXPECT_EQ(entries.size(), kWine ? 13U : 14U);  // with ".."
  constexpr ULONG kDirectory = FILE_ATTRIBUTE_DIRECTORY;
  constexpr ULONG kArchive = FILE_ATTRIBUTE_ARCHIVE;
  constexpr ULONG kReparse = FILE_ATTRIBUTE_REPARSE_POINT;
  constexpr Expected kOpened{STATUS_SUCCESS};
  constexpr Expected kWineOpens{STATUS_INVALID_INFO_CLASS, STATUS_SUCCESS};
  constexpr Expected kLinkOpened{STATUS_SUCCESS, STATUS_NO_SUCH_FILE};
  const struct {
    const WCHAR* name;
    ULONG attributes, wine;  // Wine's 0: not listed
    ULONG tag;
    LONGLONG size;
    Expected opened;
    ULONG options = kSync;
  } cases[] = {
      {WIDE("."), kDirectory, kDirectory, 0, 0, kOpened},
      {WIDE("Report.TXT"), kArchive, kArchive, 0, 5, kOpened},
      {WIDE(".profile"), kArchive, kArchive | FILE_ATTRIBUTE_HIDDEN, 0, 0, kOpened},
      {WIDE("ToSub"), kDirectory | kReparse, kDirectory | kReparse, kReparseTagSymlink, 0, kOpened},
      {WIDE("ToReport"), kArchive, kArchive, 0, 5, kOpened},
      {WIDE("Dangling"), kArchive | kReparse, 0, kReparseTagSymlink, 0, kLinkOpened,
       kSync | FILE_OPEN_REPARSE_POINT},
      {WIDE("Fifo"), kArchive | kReparse, kArchive, kReparseTagLxFifo, 0, kWineOpens},
      {WIDE("Sock"), kArchive | kReparse, kArchive, kReparseTagAfUnix, 0, {STATUS_NO_SUCH_DEVICE}},
      {WIDE("ToZero"), kArchive | kReparse, kArchive, kReparseTagLxCharDevice, 0, kWineOpens},
      {WIDE("bad\xFFFD"), kArchive, kArchive, 0, 0, {STATUS_OBJECT_NAME_NOT_FOUND, STATUS_SUCCESS}},
  };
  IO_STATUS_BLOCK io{};
  ULONG serial = 0;  // the folder's volume, as "." tells it
  for (const auto& row : cases) {
    SCOPED_TRACE(Narrow(row.name));
    HANDLE opened = folder;
    EXPECT_EQ(row.name[1] == 0 ? STATUS_SUCCESS
                               : CreateNative(NativeServices, row.name, &opened, kRead, FILE_OPEN,
                                              row.options, 0, folder),
              row.opened.Here());
    const auto entry = entries.find(Narrow(row.name));
    ASSERT_EQ(entry != entries.end(), !kWine || row.wine != 0);
    if (entry == entries.end()) {
      continue;
    }
    EXPECT_EQ(entry->second.FileAttributes, kWine ? row.wine : row.attributes);
    EXPECT_EQ(entry->second.EndOfFile.QuadPart, row.size);
    EXPECT_EQ(entry->second.EaSize, kWine ? 0 : row.tag);
    // Where it opens here and on Windows, its handle tells the listed ID, its mark and volume.
    if (row.opened.status == STATUS_SUCCESS && row.opened.Here() == STATUS_SUCCESS) {
      FILE_INTERNAL_INFORMATION internal{};
      NativeServices.ZwQueryInformationFile(opened, &io, &internal, sizeof internal,
                                            FileInternalInformation);
      EXPECT_EQ(entry->second.FileId.QuadPart, internal.IndexNumber.QuadPart);
      FILE_CASE_SENSITIVE_INFORMATION mark{77};
      EXPECT_EQ(NativeServices.ZwQueryInformationFile(opened, &io, &mark, sizeof mark,
                                                      FileCaseSensitiveInformation),
                kWine ? STATUS_INVALID_INFO_CLASS : STATUS_SUCCESS);
      EXPECT_EQ(mark.Flags, kWine ? 77 : (row.attributes & kDirectory) / kDirectory);
      // Wine refuses the volume of a Linux file system that no drive maps (a private /tmp).
      FILE_FS_VOLUME_INFORMATION volume{};
      const NTSTATUS told = NativeServices.ZwQueryVolumeInformationFile(
          opened, &io, &volume, sizeof volume, FileFsVolumeInformation);
      EXPECT_TRUE(told == STATUS_SUCCESS || (kWine && told == STATUS_NOT_IMPLEMENTED)) << told;
      serial = row.name[1] == 0 ? volume.VolumeSerialNumber : serial;
      EXPECT_EQ(volume.VolumeSerialNumber, serial);
    }
    CloseHandle(opened != folder ? opened : nullptr);
  }
  // A mask without wildcards names one entry, exactly; Wine takes names in another case
  // where none is exactly it. A first call that finds nothing: STATUS_NO_SUCH_FILE.
  const struct {
    const char* mask;
    Expected first;
    const char* names;
    const char* wine;
  } masks[] = {
      {"twin", {STATUS_SUCCESS}, "twin ", "twin "},
      {"TWIN", {STATUS_NO_SUCH_FILE, STATUS_SUCCESS}, "", "Twin twin "},
      {"missing", {STATUS_NO_SUCH_FILE}, "", ""},
      {"..", {STATUS_SUCCESS}, ".. ", ".. "},
  };
  for (const auto& row : masks) {
    SCOPED_TRACE(row.mask);
    HANDLE masked = OpenFolder();
    Listing found;
    EXPECT_EQ(List(masked, row.mask, found), row.first.Here());
    std::string names;
    for (const auto& [name, entry] : found) {
      names += name + " ";
    }
    EXPECT_EQ(names, kWine ? row.wine : row.names);
    CloseHandle(masked);
  }
  // A Linux mount point; Wine tells no tag.
  HANDLE dev = nullptr;
  EXPECT_EQ(CreateNative(NativeServices, WIDE("\\??\\Z:\\dev\\"), &dev, kList, FILE_OPEN, kFolder,
                         kShareAll),
            STATUS_SUCCESS);
  EXPECT_EQ(List(dev, "shm", entries), STATUS_SUCCESS);
  EXPECT_EQ(entries["shm"].FileAttributes, kDirectory | kReparse);
  EXPECT_EQ(entries["shm"].EaSize, kWine ? 0 : kReparseTagMountPoint);
  CloseHandle(dev);
  CloseHandle(folder);
  RunLinuxShell(here + " && rm -f ToSub ToReport Dangling ToZero Fifo Sock twin Twin bad*");
}

// Call after call on one handle of a folder holding two names of 9 units. An entry's fixed
// part is 80 bytes, and entries begin at multiples of 8.
TEST_F(NativeServicesTest, ListingFillsBuffersAsThePlatform) {
  fs::create_directory(scratch_ / "listing");
  WriteBytes(scratch_ / "listing" / "Alpha.txt", "");
  WriteBytes(scratch_ / "listing" / "Bravo.txt", "");
  HANDLE folder = OpenFolder("listing\\");
  constexpr ULONG kFixed = 80;
  constexpr ULONG kUntouched = 77;
  const struct {
    ULONG length;
    bool single;
    bool restart;
    NTSTATUS status;
    ULONG written;
  } cases[] = {
      {87, false, true, STATUS_INFO_LENGTH_MISMATCH, kUntouched},
      {kFixed + 90, false, true, STATUS_SUCCESS, kFixed + 2},          // ".", not ".." cut
      {4096, true, false, STATUS_SUCCESS, kFixed + 4},                 // ".."
      {kFixed + 8, false, false, STATUS_BUFFER_OVERFLOW, kFixed + 8},  // a name cut, consumed
      {4096, false, false, STATUS_SUCCESS, kFixed + 18},
      {4096, false, false, STATUS_NO_MORE_FILES, 0},
      {4096, false, true, STATUS_SUCCESS, 280 + kFixed + 18},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(testing::Message() << row.length << (row.restart ? " restarted" : ""));
    alignas(8) BYTE buffer[4100];
    std::fill(std::begin(buffer), std::end(buffer), BYTE{0xA5});
    IO_STATUS_BLOCK io{};
    io.Information = kUntouched;
    EXPECT_EQ(NativeServices.ZwQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer,
                                                  row.length, FileIdFullDirectoryInformation,
                                                  row.single, nullptr, row.restart),
              row.status);
    EXPECT_EQ(io.Information, row.written);
    EXPECT_EQ(buffer[row.length], 0xA5);
  }
  CloseHandle(folder);
}

// A new folder renamed with its handle open and its child closed, never over another name;
// a file renamed, then marked, goes under its new name at its close, after its folder's.
// Windows asks DELETE for a rename, Wine does not. The case-sensitive mark is set on a
// folder where the feature is on, refused on a file; Wine 8 sets none.
TEST_F(NativeServicesTest, SetNamesAndMarksOfOpenFiles) {
  HANDLE handles[5] = {OpenFolder()};  // the folder, Save.partial, Inner.txt, two files
  constexpr ACCESS_MASK kNewFolder = kList | FILE_ADD_FILE | FILE_WRITE_ATTRIBUTES | DELETE;
  ASSERT_EQ(Create("Save.partial", &handles[1], kNewFolder, FILE_CREATE, kFolder, 0, handles[0]),
            0);
  ASSERT_EQ(Create("Inner.txt", &handles[2], kWrite, FILE_CREATE, kSync, 0, handles[1]), 0);
  CloseHandle(handles[2]);
  ASSERT_EQ(Create("Part.tmp", &handles[3], kWrite | DELETE, FILE_CREATE, kSync, 0, handles[0]), 0);
  ASSERT_EQ(Create("Plain.tmp", &handles[4], kWrite, FILE_CREATE, kSync, 0, handles[0]), 0);
  const struct {
    int file;
    std::string newName;  // empty: the case-sensitive mark instead
    Expected status;
    bool fullPath = false;  // no RootDirectory
  } cases[] = {
      {1, "sub", {STATUS_OBJECT_NAME_COLLISION}},
      {1, "Report.TXT", {STATUS_OBJECT_NAME_COLLISION}},
      {1, "Save", {STATUS_SUCCESS}},
      {3, "Whole.txt", {STATUS_SUCCESS}},
      {3, "W", {STATUS_INFO_LENGTH_MISMATCH, STATUS_INVALID_PARAMETER_3}},  // a short record
      {3, "Report.TXT", {STATUS_OBJECT_NAME_COLLISION}, true},
      {3, "sub\\Deep.txt", {STATUS_SUCCESS}, true},
      {4, "Renamed.txt", {STATUS_ACCESS_DENIED, STATUS_SUCCESS}},
      {1, "", {STATUS_SUCCESS, STATUS_NOT_IMPLEMENTED}},
      {0, "", {STATUS_ACCESS_DENIED, STATUS_NOT_IMPLEMENTED}},  // no FILE_WRITE_ATTRIBUTES
      {3, "", {STATUS_INVALID_PARAMETER, STATUS_NOT_IMPLEMENTED}},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.newName);
    alignas(8) BYTE buffer[512] = {FILE_CS_FLAG_CASE_SENSITIVE_DIR};
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer);
    const WideString name =
        row.fullPath ? scratch_.NativePath(row.newName.c_str()) : Widen(row.newName);
    if (!name.empty()) {
      rename->ReplaceIfExists = FALSE;
      rename->RootDirectory = row.fullPath ? nullptr : handles[0];
      rename->FileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
      std::memcpy(rename->FileName, name.data(), rename->FileNameLength);
    }
    IO_STATUS_BLOCK io{};
    const auto length =
        static_cast<ULONG>(offsetof(FILE_RENAME_INFORMATION, FileName) + rename->FileNameLength);
    EXPECT_EQ(NativeServices.ZwSetInformationFile(
                  handles[row.file], &io, buffer, name.empty() ? sizeof buffer : length,
                  name.empty() ? FileCaseSensitiveInformation : FileRenameInformation),
              row.status.Here());
  }
  EXPECT_EQ(Mark(handles[3], 1), STATUS_SUCCESS);
  for (HANDLE handle : {handles[0], handles[3], handles[4], handles[1]}) {  // the folder first
    CloseHandle(handle);
  }
  EXPECT_TRUE(fs::is_regular_file(scratch_ / "Save" / "Inner.txt"));
  for (const char* gone : {"Save.partial", "Whole.txt", "Part.tmp", "sub/Deep.txt"}) {
    EXPECT_FALSE(fs::exists(scratch_ / gone)) << gone;
  }
}

}  // namespace
