// What only the stand-in can show: permissions that bind only below root, and files reached
// by a device path through links of the test's own.
#include <gtest/gtest.h>
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

  // Opens in a forked process as nobody, so that permissions bind where the suite runs as
  // root. No status: the child could not become nobody.
  static std::optional<NTSTATUS> CreateAsNobody(const std::string& path, ACCESS_MASK access = kRead,
                                                ULONG disposition = FILE_OPEN) {
    int channel[2];
    EXPECT_EQ(pipe(channel), 0);
    const pid_t child = fork();
    if (child == 0) {
      if (!DropToNobody()) {
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

}  // namespace
