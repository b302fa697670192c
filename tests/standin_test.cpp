// The stand-in's native services, held to the platform's contracts that the tool relies
// on (as Windows and Wine keep them). Files live in a scratch folder behind drive D:.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>

#include "native/native_services.h"
#include "tests/support/process.h"
#include "tests/support/scratch.h"
#include "tests/support/wide_text.h"

namespace {

namespace fs = std::filesystem;

constexpr WCHAR kGuard = 0xBEEF;
constexpr ULONG kShareRead = 0x1;  // FILE_SHARE_READ
constexpr ACCESS_MASK kRead = GENERIC_READ | SYNCHRONIZE;
constexpr ACCESS_MASK kWrite = GENERIC_WRITE | SYNCHRONIZE;
constexpr ULONG kSync = FILE_SYNCHRONOUS_IO_ALERT;
const std::string kVolume = "\\Device\\UnitD";

class StandinTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(BindNativeServices(), nullptr);
    ASSERT_TRUE(HostAddDriveLink(u'D', u"\\Device\\UnitD", scratch_.Path().c_str()));
    WriteBytes(scratch_ / "Report.TXT", "hello");
    fs::create_directory(scratch_ / "sub");
  }

  void TearDown() override { HostResetNamespace(); }

  // Opens or creates a native path as the copy does, case-sensitively.
  static NTSTATUS Create(const std::string& path, HANDLE* handle, ACCESS_MASK access = kRead,
                         ULONG disposition = FILE_OPEN, ULONG options = kSync, ULONG share = 0) {
    return CreateNative(NativeServices, Widen(path), handle, access, disposition, options, share);
  }

  static NTSTATUS Read(HANDLE file, char* buffer, ULONG length, ULONG_PTR* moved) {
    IO_STATUS_BLOCK io{};
    io.Information = 77;
    const NTSTATUS status = NativeServices.ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer,
                                                      length, nullptr, nullptr);
    EXPECT_EQ(io.Status, status);
    *moved = io.Information;
    return status;
  }

  static NTSTATUS MarkForDeletion(HANDLE file) {
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    IO_STATUS_BLOCK io{};
    return NativeServices.ZwSetInformationFile(file, &io, &disposition, sizeof disposition,
                                               FileDispositionInformation);
  }

  // Opens in a forked process, as another program on the machine would; as nobody when
  // asked, so that permissions bind where the suite runs as root. No status: the child
  // could not become nobody.
  static std::optional<NTSTATUS> CreateInChild(const std::string& path, bool asNobody = false,
                                               ACCESS_MASK access = kRead,
                                               ULONG disposition = FILE_OPEN) {
    int channel[2];
    EXPECT_EQ(pipe(channel), 0);
    const pid_t child = fork();
    if (child == 0) {
      if (asNobody && !DropToNobody()) {
        _exit(1);
      }
      HANDLE handle = nullptr;
      const NTSTATUS status = Create(path, &handle, access, disposition);
      _exit(write(channel[1], &status, sizeof status) == sizeof status ? 0 : 1);
    }
    close(channel[1]);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const bool reported = read(channel[0], &status, sizeof status) == sizeof status;
    close(channel[0]);
    int exitStatus = 0;
    waitpid(child, &exitStatus, 0);
    return reported ? std::optional(status) : std::nullopt;
  }

  ScratchFolder scratch_;
};

TEST_F(StandinTest, LinkNamesIgnoreCaseOnlyWhenAsked) {
  const struct {
    const WCHAR* name;
    ULONG attributes;
    NTSTATUS status;
  } cases[] = {
      {u"\\??\\D:", 0, STATUS_SUCCESS},
      {u"\\??\\d:", 0, STATUS_OBJECT_NAME_NOT_FOUND},
      {u"\\??\\d:", OBJ_CASE_INSENSITIVE, STATUS_SUCCESS},
      {u"\\??\\z:", OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, STATUS_SUCCESS},
      {u"\\??\\Q:", OBJ_CASE_INSENSITIVE, STATUS_OBJECT_NAME_NOT_FOUND},
      {u"\\??\\D", OBJ_CASE_INSENSITIVE, STATUS_OBJECT_NAME_NOT_FOUND},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Narrow(row.name));
    UNICODE_STRING name;
    NativeServices.RtlInitUnicodeString(&name, row.name);
    OBJECT_ATTRIBUTES attributes = ObjectAttributesFor(&name, row.attributes);
    HANDLE link = nullptr;
    EXPECT_EQ(NativeServices.ZwOpenSymbolicLinkObject(&link, GENERIC_READ, &attributes),
              row.status);
    EXPECT_EQ(link != nullptr, row.status == STATUS_SUCCESS);
    if (link != nullptr) {
      EXPECT_EQ(NativeServices.ZwClose(link), STATUS_SUCCESS);
    }
  }
}

// The target "\Device\UnitD" is 26 bytes. A caller that asks for the length needed must
// leave room for the terminator; none is written where it does not fit.
TEST_F(StandinTest, LinkQueryFitsTheOfferedLength) {
  const struct {
    USHORT maximumLength;
    bool askLength;
    NTSTATUS status;
    bool terminated;
  } cases[] = {
      {24, true, STATUS_BUFFER_TOO_SMALL, false},
      {26, true, STATUS_BUFFER_TOO_SMALL, false},
      {28, true, STATUS_SUCCESS, true},
      {100, true, STATUS_SUCCESS, true},
      {24, false, STATUS_BUFFER_TOO_SMALL, false},
      {26, false, STATUS_SUCCESS, false},
  };
  UNICODE_STRING name;
  NativeServices.RtlInitUnicodeString(&name, u"\\??\\D:");
  OBJECT_ATTRIBUTES attributes = ObjectAttributesFor(&name, 0);
  for (const auto& row : cases) {
    SCOPED_TRACE(testing::Message() << row.maximumLength << (row.askLength ? " asked" : ""));
    HANDLE link = nullptr;
    ASSERT_EQ(NativeServices.ZwOpenSymbolicLinkObject(&link, GENERIC_READ, &attributes),
              STATUS_SUCCESS);
    WCHAR buffer[64];
    std::fill(std::begin(buffer), std::end(buffer), kGuard);
    UNICODE_STRING target{0, row.maximumLength, buffer};
    ULONG needed = 0;
    EXPECT_EQ(
        NativeServices.ZwQuerySymbolicLinkObject(link, &target, row.askLength ? &needed : nullptr),
        row.status);
    NativeServices.ZwClose(link);
    EXPECT_EQ(needed, row.askLength ? 28u : 0u);
    EXPECT_EQ(buffer[row.maximumLength / 2], kGuard);  // nothing past the offered length
    if (row.status == STATUS_SUCCESS) {
      EXPECT_EQ(target.Length, 26);
      EXPECT_EQ(Narrow(buffer, 13), kVolume);
      EXPECT_EQ(buffer[13], row.terminated ? 0 : kGuard);
    }
  }
}

TEST_F(StandinTest, InitUnicodeStringDescribesTextInPlace) {
  const WCHAR* text = u"ab\\c";
  UNICODE_STRING counted{1, 1, nullptr};
  NativeServices.RtlInitUnicodeString(&counted, text);
  EXPECT_EQ(counted.Length, 8);
  EXPECT_EQ(counted.MaximumLength, 10);
  EXPECT_EQ(counted.Buffer, text);
  NativeServices.RtlInitUnicodeString(&counted, u"");
  EXPECT_EQ(counted.Length, 0);
  EXPECT_EQ(counted.MaximumLength, 2);
  NativeServices.RtlInitUnicodeString(&counted, nullptr);
  EXPECT_EQ(counted.Length, 0);
  EXPECT_EQ(counted.MaximumLength, 0);
  EXPECT_EQ(counted.Buffer, nullptr);
}

TEST_F(StandinTest, NtdllExportsByExactName) {
  const HMODULE ntdll = GetModuleHandleW(u"ntdll.dll");
  ASSERT_NE(ntdll, nullptr);
  EXPECT_EQ(GetModuleHandleW(u"NTDLL.DLL"), ntdll);
  EXPECT_NE(GetProcAddress(ntdll, "ZwCreateFile"), nullptr);
  EXPECT_NE(GetProcAddress(ntdll, "ZwSetInformationFile"), nullptr);
  EXPECT_EQ(GetProcAddress(ntdll, "zwcreatefile"), nullptr);
  EXPECT_EQ(GetProcAddress(ntdll, "ZwNoSuchService"), nullptr);
}

TEST_F(StandinTest, CreateFileParsesNativePaths) {
  const std::string d = kVolume;
  const struct {
    std::string path;
    ULONG disposition;
    ULONG options;
    NTSTATUS status;
  } cases[] = {
      {d + "\\Report.TXT", FILE_OPEN, kSync, STATUS_SUCCESS},
      {"\\??\\D:\\Report.TXT", FILE_OPEN, kSync, STATUS_SUCCESS},
      {d + "\\sub\\..\\Report.TXT", FILE_OPEN, kSync, STATUS_OBJECT_NAME_INVALID},
      {d + "\\.\\Report.TXT", FILE_OPEN, kSync, STATUS_OBJECT_NAME_INVALID},
      {d + "\\\\Report.TXT", FILE_OPEN, kSync, STATUS_OBJECT_NAME_INVALID},
      {d + "\\sub/Report.TXT", FILE_OPEN, kSync, STATUS_OBJECT_NAME_INVALID},
      {d + "\\sub\\", FILE_OPEN, kSync, STATUS_OBJECT_NAME_INVALID},
      {d + "\\report.txt", FILE_OPEN, kSync, STATUS_OBJECT_NAME_NOT_FOUND},
      {d + "\\REPORT.TXT", FILE_OPEN, kSync, STATUS_OBJECT_NAME_NOT_FOUND},
      {d + "\\missing", FILE_OPEN, kSync, STATUS_OBJECT_NAME_NOT_FOUND},
      {d + "\\missing\\x", FILE_OPEN, kSync, STATUS_OBJECT_PATH_NOT_FOUND},
      {d + "\\Report.TXT\\x", FILE_OPEN, kSync, STATUS_OBJECT_PATH_NOT_FOUND},
      {d + "\\missing\\x", FILE_CREATE, kSync, STATUS_OBJECT_PATH_NOT_FOUND},
      {d + "\\Report.TXT", FILE_CREATE, kSync, STATUS_OBJECT_NAME_COLLISION},
      {d + "\\sub", FILE_CREATE, kSync, STATUS_OBJECT_NAME_COLLISION},
      {d + "\\sub", FILE_OPEN, kSync | FILE_NON_DIRECTORY_FILE, STATUS_FILE_IS_A_DIRECTORY},
      {d + "\\sub", FILE_OPEN, kSync, STATUS_SUCCESS},
      {"\\??\\Q:\\x", FILE_OPEN, kSync, STATUS_OBJECT_PATH_NOT_FOUND},
      {"Report.TXT", FILE_OPEN, kSync, STATUS_OBJECT_PATH_SYNTAX_BAD},
      {d + "\\New.txt", FILE_CREATE, kSync, STATUS_SUCCESS},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.path);
    HANDLE file = nullptr;
    const ACCESS_MASK access = row.disposition == FILE_CREATE ? kWrite : kRead;
    EXPECT_EQ(Create(row.path, &file, access, row.disposition, row.options), row.status);
    EXPECT_EQ(file != nullptr, row.status == STATUS_SUCCESS);
    if (file != nullptr) {
      EXPECT_TRUE(CloseHandle(file));
    }
  }
  EXPECT_TRUE(fs::is_regular_file(scratch_ / "New.txt"));
  EXPECT_EQ(fs::file_size(scratch_ / "Report.TXT"), 5u);
}

TEST_F(StandinTest, NoSharingHoldsAgainstEveryOtherOpen) {
  const std::string path = kVolume + "\\Report.TXT";
  HANDLE held = nullptr;
  ASSERT_EQ(Create(path, &held), STATUS_SUCCESS);
  HANDLE second = nullptr;
  EXPECT_EQ(Create(path, &second), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(Create(path, &second, kRead, FILE_OPEN, kSync, kShareRead), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(CreateInChild(path), STATUS_SHARING_VIOLATION);
  EXPECT_TRUE(CloseHandle(held));
  EXPECT_EQ(CreateInChild(path), STATUS_SUCCESS);
}

TEST_F(StandinTest, RefusedPermissionIsAccessDenied) {
  fs::permissions(scratch_ / "Report.TXT", fs::perms::none);
  const std::optional<NTSTATUS> opened = CreateInChild(kVolume + "\\Report.TXT", true);
  if (!opened.has_value()) {
    GTEST_SKIP() << "no process can leave root for nobody here";
  }
  EXPECT_EQ(opened, STATUS_ACCESS_DENIED);
  // The folder stays readable and searchable to all, and writable to none.
  fs::permissions(scratch_.Path(), fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_EQ(CreateInChild(kVolume + "\\New.txt", true, kWrite, FILE_CREATE), STATUS_ACCESS_DENIED);
}

// Reads move what is there from the current position; the end is a status of its own.
TEST_F(StandinTest, ReadsUpToTheEndOfFile) {
  HANDLE file = nullptr;
  ASSERT_EQ(Create(kVolume + "\\Report.TXT", &file), STATUS_SUCCESS);
  char buffer[16384] = {};
  ULONG_PTR moved = 0;
  EXPECT_EQ(Read(file, buffer, 3, &moved), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, moved), "hel");
  EXPECT_EQ(Read(file, buffer, sizeof buffer, &moved), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, moved), "lo");
  EXPECT_EQ(Read(file, buffer, sizeof buffer, &moved), STATUS_END_OF_FILE);
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(Read(file, buffer, sizeof buffer, &moved), STATUS_END_OF_FILE);
  CloseHandle(file);

  ASSERT_EQ(Create(kVolume + "\\sub", &file), STATUS_SUCCESS);
  EXPECT_EQ(Read(file, buffer, sizeof buffer, &moved), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(moved, 0u);
  CloseHandle(file);
}

TEST_F(StandinTest, WritesReportWhatTheyMoved) {
  HANDLE file = nullptr;
  ASSERT_EQ(Create(kVolume + "\\Out.bin", &file, kWrite, FILE_CREATE), STATUS_SUCCESS);
  char data[] = "abc";
  IO_STATUS_BLOCK io{};
  EXPECT_EQ(
      NativeServices.ZwWriteFile(file, nullptr, nullptr, nullptr, &io, data, 3, nullptr, nullptr),
      STATUS_SUCCESS);
  EXPECT_EQ(io.Information, 3u);
  EXPECT_EQ(NativeServices.ZwWriteFile(file, nullptr, nullptr, nullptr, &io, data + 1, 2, nullptr,
                                       nullptr),
            STATUS_SUCCESS);
  // Not opened for reading: refused before any transfer.
  EXPECT_EQ(
      NativeServices.ZwReadFile(file, nullptr, nullptr, nullptr, &io, data, 3, nullptr, nullptr),
      STATUS_ACCESS_DENIED);
  CloseHandle(file);
  EXPECT_EQ(ReadBytes(scratch_ / "Out.bin"), "abcbc");
}

// Only a handle opened with DELETE may mark its file, which then goes at close.
TEST_F(StandinTest, DispositionNeedsDeleteAccessAndActsAtClose) {
  HANDLE file = nullptr;
  ASSERT_EQ(Create(kVolume + "\\Kept.txt", &file, kWrite, FILE_CREATE), STATUS_SUCCESS);
  EXPECT_EQ(MarkForDeletion(file), STATUS_ACCESS_DENIED);
  CloseHandle(file);
  EXPECT_TRUE(fs::exists(scratch_ / "Kept.txt"));

  ASSERT_EQ(Create(kVolume + "\\Gone.txt", &file, kWrite | DELETE, FILE_CREATE), STATUS_SUCCESS);
  EXPECT_EQ(MarkForDeletion(file), STATUS_SUCCESS);
  EXPECT_TRUE(fs::exists(scratch_ / "Gone.txt"));
  CloseHandle(file);
  EXPECT_FALSE(fs::exists(scratch_ / "Gone.txt"));
}

}  // namespace
