// What only the stand-in can show: permissions that bind only below root, and files reached
// by a device path through links of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "native/native_services.h"
#include "standin/test_hooks.h"
#include "tests/support/process.h"
#include "tests/support/scratch.h"
#include "tests/support/wide_text.h"

namespace {

namespace fs = std::filesystem;

constexpr ACCESS_MASK kRead = GENERIC_READ | SYNCHRONIZE;
constexpr ACCESS_MASK kWrite = GENERIC_WRITE | SYNCHRONIZE;
constexpr ULONG kSync = FILE_SYNCHRONOUS_IO_ALERT;
const std::string kVolume = "\\Device\\UnitD";

class StandinTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(BindNativeServices(), nullptr);
    ASSERT_TRUE(standin::AddDriveLink(u'D', u"\\Device\\UnitD", scratch_.Path().c_str()));
    WriteBytes(scratch_ / "Report.TXT", "hello");
  }

  void TearDown() override { standin::ResetNamespace(); }

  static NTSTATUS Create(const std::string& path, HANDLE* handle, ACCESS_MASK access = kRead,
                         ULONG disposition = FILE_OPEN) {
    return CreateNative(NativeServices, Widen(path), handle, access, disposition, kSync);
  }

  // Runs step in a forked process as nobody, so that permissions bind where the suite runs
  // as root. No result: the child could not become nobody.
  template <typename Result, typename Step>
  static std::optional<Result> AsNobody(Step step) {
    int channel[2];
    EXPECT_EQ(pipe(channel), 0);
    const pid_t child = fork();
    if (child == 0) {
      if (!DropToNobody()) {
        _exit(1);
      }
      const Result result = step();
      _exit(write(channel[1], &result, sizeof result) == sizeof result ? 0 : 1);
    }
    close(channel[1]);
    Result result{};
    const bool reported = read(channel[0], &result, sizeof result) == sizeof result;
    close(channel[0]);
    int exitStatus = 0;
    waitpid(child, &exitStatus, 0);
    return reported ? std::optional(result) : std::nullopt;
  }

  static std::optional<NTSTATUS> CreateAsNobody(const std::string& path, ACCESS_MASK access = kRead,
                                                ULONG disposition = FILE_OPEN) {
    return AsNobody<NTSTATUS>([&] {
      HANDLE handle = nullptr;
      return Create(path, &handle, access, disposition);
    });
  }

  ScratchFolder scratch_;
};

// The device name itself and the link in front of it lead to the same files.
TEST_F(StandinTest, DevicePathAndDriveLinkNameTheSameFiles) {
  for (const std::string& path : {kVolume + "\\Report.TXT", std::string("\\??\\D:\\Report.TXT")}) {
    SCOPED_TRACE(path);
    HANDLE file = nullptr;
    EXPECT_EQ(Create(path, &file), STATUS_SUCCESS);
    EXPECT_TRUE(CloseHandle(file));
  }
  HANDLE file = nullptr;
  EXPECT_EQ(Create("\\Device\\UnitQ\\Report.TXT", &file), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(StandinTest, RefusedPermissionIsAccessDenied) {
  fs::permissions(scratch_ / "Report.TXT", fs::perms::none);
  const std::optional<NTSTATUS> opened = CreateAsNobody(kVolume + "\\Report.TXT");
  if (!opened.has_value()) {
    GTEST_SKIP() << "no process can leave root for nobody here";
  }
  EXPECT_EQ(opened, STATUS_ACCESS_DENIED);
  // The folder stays readable and searchable to all, and writable to none.
  fs::permissions(scratch_.Path(), fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_EQ(CreateAsNobody(kVolume + "\\New.txt", kWrite, FILE_CREATE), STATUS_ACCESS_DENIED);
}

// A folder that may be read but not searched lists each entry with what the folder tells
// of it (a folder as one, its ID); its open is then refused by itself.
TEST_F(StandinTest, UnsearchableFolderListsWhatItTells) {
  fs::create_directories(scratch_ / "locked" / "sub");
  struct stat sub {};
  ASSERT_EQ(stat((scratch_ / "locked" / "sub").c_str(), &sub), 0);
  fs::permissions(scratch_ / "locked", fs::perms::owner_read | fs::perms::others_read);
  struct Seen {
    FILE_ID_FULL_DIR_INFORMATION entry;
    NTSTATUS opened;
  };
  const std::optional<Seen> seen = AsNobody<Seen>([] {
    HANDLE folder = nullptr;
    Create(kVolume + "\\locked", &folder);
    alignas(8) BYTE buffer[4096];
    IO_STATUS_BLOCK io{};
    for (int call = 0; call < 3; ++call) {  // ".", "..", then its one entry
      NativeServices.ZwQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer,
                                          sizeof buffer, FileIdFullDirectoryInformation, TRUE,
                                          nullptr, FALSE);
    }
    HANDLE opened = nullptr;
    return Seen{*reinterpret_cast<FILE_ID_FULL_DIR_INFORMATION*>(buffer),
                Create(kVolume + "\\locked\\sub", &opened)};
  });
  if (!seen.has_value()) {
    GTEST_SKIP() << "no process can leave root for nobody here";
  }
  EXPECT_EQ(seen->entry.FileNameLength, 6U);  // sub
  EXPECT_EQ(seen->entry.FileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(seen->entry.FileId.QuadPart, static_cast<LONGLONG>(sub.st_ino));
  EXPECT_EQ(seen->opened, STATUS_ACCESS_DENIED);
}

}  // namespace
