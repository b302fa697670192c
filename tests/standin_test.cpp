// What only the stand-in can show: permissions that bind only below root, files reached by
// a device path through links of the test's own, control events, creates cut short.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "native/native_services.h"
#include "standin/start_up.h"
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

// Runs body in a forked child: what it wrote to its report descriptor, and how it ended.
template <typename Body>
std::string InChild(int* ended, const Body& body) {
  int channel[2];
  EXPECT_EQ(pipe(channel), 0);
  const pid_t child = fork();
  if (child == 0) {
    body(channel[1]);
    _exit(0);
  }
  close(channel[1]);
  std::string written;
  for (char byte = 0; read(channel[0], &byte, 1) == 1;) {
    written += byte;
  }
  close(channel[0]);
  waitpid(child, ended, 0);
  return written;
}

// The routine writes to standard output its event and its thread: the main one (M) or another.
BOOL routineAnswer = FALSE;

BOOL Routine(DWORD event) {
  const char seen[] = {static_cast<char>('0' + event), gettid() == getpid() ? 'M' : 'T'};
  return write(STDOUT_FILENO, seen, sizeof seen) == sizeof seen ? routineAnswer : FALSE;
}

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

  ScratchFolder scratch_;
};

// The device name itself and the link in front of it lead to the same files.
TEST_F(StandinTest, DevicePathAndDriveLinkNameTheSameFiles) {
  HANDLE file = nullptr;
  for (const std::string& path : {kVolume + "\\Report.TXT", std::string("\\??\\D:\\Report.TXT")}) {
    EXPECT_EQ(Create(path, &file), STATUS_SUCCESS) << path;
    EXPECT_TRUE(CloseHandle(file));
  }
  EXPECT_EQ(Create("\\Device\\UnitQ\\Report.TXT", &file), STATUS_OBJECT_PATH_NOT_FOUND);
}

// As nobody in a forked process, so that permissions bind where the suite runs as root. The
// scratch folder stays readable and searchable to all, writable to none; a folder that may be
// read but not searched lists its entry as the folder tells it: a folder, with its ID.
TEST_F(StandinTest, RefusedPermissionIsAccessDenied) {
  fs::permissions(scratch_ / "Report.TXT", fs::perms::none);
  fs::create_directories(scratch_ / "locked" / "sub");
  const auto listSub = [] {  // after "." and ".."
    HANDLE folder = nullptr;
    Create(kVolume + "\\locked", &folder);
    alignas(8) BYTE buffer[4096] = {};
    IO_STATUS_BLOCK io{};
    for (int call = 0; call < 3; ++call) {
      NativeServices.ZwQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer,
                                          sizeof buffer, FileIdFullDirectoryInformation, TRUE,
                                          nullptr, FALSE);
    }
    CloseHandle(folder);  // it holds the folder against other opens
    return *reinterpret_cast<FILE_ID_FULL_DIR_INFORMATION*>(buffer);
  };
  const FILE_ID_FULL_DIR_INFORMATION searched = listSub();
  fs::permissions(scratch_ / "locked", fs::perms::owner_read | fs::perms::others_read);
  fs::permissions(scratch_.Path(), fs::perms::owner_write, fs::perm_options::remove);
  struct {
    NTSTATUS opened, created;
    FILE_ID_FULL_DIR_INFORMATION listed;
  } seen{};
  const std::string reported = InChild(nullptr, [&](int report) {
    HANDLE file = nullptr;
    if (DropToNobody()) {
      seen = {Create(kVolume + "\\Report.TXT", &file),
              Create(kVolume + "\\New.txt", &file, kWrite, FILE_CREATE), listSub()};
      _exit(write(report, &seen, sizeof seen) == sizeof seen ? 0 : 1);
    }
  });
  if (reported.size() != sizeof seen) {
    GTEST_SKIP() << "no process can leave root for nobody here";
  }
  reported.copy(reinterpret_cast<char*>(&seen), sizeof seen);
  EXPECT_EQ(seen.opened, STATUS_ACCESS_DENIED);
  EXPECT_EQ(seen.created, STATUS_ACCESS_DENIED);
  EXPECT_EQ(seen.listed.FileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(seen.listed.FileId.QuadPart, searched.FileId.QuadPart);
}

// A signal brings its event to the routine on a thread of its own. When the routine takes
// Ctrl+C or Ctrl+Break the main thread goes on (A), and its failed end is that signal's; a
// close event ends the process once the routine returns, as does an event none takes.
TEST_F(StandinTest, SignalReachesTheRoutineOnAThreadOfItsOwn) {
  const struct {
    int signalNumber;
    BOOL answer;
    bool ignoredAtStart;
    std::string seen;
  } cases[] = {
      {SIGINT, TRUE, false, "0TA"}, {SIGINT, FALSE, false, "0T"}, {SIGQUIT, TRUE, false, "1TA"},
      {SIGTERM, TRUE, false, "2T"}, {SIGHUP, FALSE, false, "2T"}, {SIGINT, TRUE, true, "A"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(testing::Message() << row.signalNumber << " " << row.answer);
    int ended = 0;
    const std::string seen = InChild(&ended, [&row](int report) {
      dup2(report, STDOUT_FILENO);
      routineAnswer = row.answer;
      signal(row.signalNumber, row.ignoredAtStart ? SIG_IGN : SIG_DFL);
      SetConsoleCtrlHandler(Routine, TRUE);
      kill(getpid(), row.signalNumber);
      usleep(500000);
      _exit(write(report, "A", 1) == 1 ? standin::EndProcess(1) : 2);
    });
    EXPECT_EQ(seen, row.seen);
    EXPECT_EQ(WIFSIGNALED(ended) ? WTERMSIG(ended) : -WEXITSTATUS(ended),
              row.ignoredAtStart ? -1 : row.signalNumber);
  }
}

// A create cut short leaves nothing behind: with the handle table full; with a descriptor
// for the file but none for the folder it keeps; with a folder made but no descriptor left.
TEST_F(StandinTest, CreateCutShortLeavesNothing) {
  const struct {
    const char* name;
    ACCESS_MASK access;
    ULONG options;
    int spare;  // descriptors left; -1: the handle table full instead
  } cases[] = {{"Left.txt", kWrite | DELETE, kSync, -1},
               {"Kept.txt", kWrite | DELETE, kSync, 1},
               {"Made", kRead, FILE_DIRECTORY_FILE, 0}};
  for (const auto& row : cases) {
    int ended = 0;
    InChild(&ended, [&row](int /*report*/) {
      HANDLE folder = nullptr, file = nullptr;
      Create(kVolume + "\\", &folder);
      while (row.spare < 0 && CreateNative(NativeServices, Widen(kVolume + "\\Report.TXT"), &file,
                                           kRead, FILE_OPEN, kSync, 1) == STATUS_SUCCESS) {
      }
      const int lowestFree = open("/dev/null", O_RDONLY);
      const auto descriptors = static_cast<rlim_t>(lowestFree + row.spare);
      const rlimit limit{descriptors, descriptors};
      const bool limited =
          row.spare < 0 || (close(lowestFree) == 0 && setrlimit(RLIMIT_NOFILE, &limit) == 0);
      const NTSTATUS cut = CreateNative(NativeServices, Widen(row.name), &file, row.access,
                                        FILE_CREATE, row.options, 0, folder);
      _exit(limited && cut == STATUS_TOO_MANY_OPENED_FILES ? 0 : 1);
    });
    EXPECT_EQ(ended, 0) << row.name;
    EXPECT_FALSE(fs::exists(scratch_ / row.name)) << row.name;
  }
}

}  // namespace
