// What only the stand-in can show: permissions that bind only below root, files reached by
// a device path through links of the test's own, console control events from signals, and
// creates cut short by the handle table or the descriptor limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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

  // In a forked child: the status of a create in the scratch folder's handle when only
  // spare descriptors are left.
  static NTSTATUS CreateWithSpareDescriptors(const char* name, ACCESS_MASK access, ULONG options,
                                             int spare) {
    int channel[2];
    EXPECT_EQ(pipe(channel), 0);
    const pid_t child = fork();
    if (child == 0) {
      HANDLE folder = nullptr;
      HANDLE file = nullptr;
      Create(kVolume + "\\", &folder, kRead, FILE_OPEN);
      const int lowestFree = open("/dev/null", O_RDONLY);
      close(lowestFree);
      rlimit limit{};
      getrlimit(RLIMIT_NOFILE, &limit);
      limit.rlim_cur = static_cast<rlim_t>(lowestFree + spare);
      NTSTATUS status =
          setrlimit(RLIMIT_NOFILE, &limit) == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
      if (status == STATUS_SUCCESS) {
        status = CreateNative(NativeServices, Widen(name), &file, access, FILE_CREATE, options, 0,
                              folder);
      }
      _exit(write(channel[1], &status, sizeof status) == sizeof status ? 0 : 1);
    }
    close(channel[1]);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(read(channel[0], &status, sizeof status), sizeof status);
    close(channel[0]);
    waitpid(child, nullptr, 0);
    return status;
  }

  ScratchFolder scratch_;
};

// What a forked child saw of a control event: the routine's event and whether it ran on the
// main thread (M) or another (T), then A once the main thread went on after it.
pthread_t mainThread;
int reportTo = -1;
BOOL routineAnswer = FALSE;
std::atomic<bool> routineCalled{false};

BOOL Routine(DWORD event) {
  const char seen[] = {static_cast<char>('0' + event),
                       pthread_equal(pthread_self(), mainThread) != 0 ? 'M' : 'T'};
  EXPECT_EQ(write(reportTo, seen, sizeof seen), 2);
  routineCalled = true;
  return routineAnswer;
}

// The main thread waits for the routine, then ends its run as failed.
std::string SignalInChild(int signalNumber, BOOL answer, bool ignoredAtStart, int* status) {
  int channel[2];
  EXPECT_EQ(pipe(channel), 0);
  const pid_t child = fork();
  if (child == 0) {
    mainThread = pthread_self();
    reportTo = channel[1];
    routineAnswer = answer;
    signal(signalNumber, ignoredAtStart ? SIG_IGN : SIG_DFL);
    SetConsoleCtrlHandler(Routine, TRUE);
    kill(getpid(), signalNumber);
    for (int waited = 0; !routineCalled && waited < 100; ++waited) {
      usleep(10000);
    }
    usleep(200000);
    _exit(write(reportTo, "A", 1) == 1 ? standin::EndProcess(1) : 2);
  }
  close(channel[1]);
  std::string seen;
  for (char byte = 0; read(channel[0], &byte, 1) == 1;) {
    seen += byte;
  }
  close(channel[0]);
  waitpid(child, status, 0);
  return seen;
}

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

// A signal brings its event to the routine on a thread of its own; Ctrl+C or Ctrl+Break
// taken lets the main thread go on, and its failed end is still that signal's. A close
// event ends the process once the routine returns, as does an event no routine takes.
TEST(ControlEventTest, SignalReachesTheRoutineOnAThreadOfItsOwn) {
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
    int status = 0;
    EXPECT_EQ(SignalInChild(row.signalNumber, row.answer, row.ignoredAtStart, &status), row.seen);
    EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status),
              row.ignoredAtStart ? -1 : row.signalNumber);
  }
}

// A create that cannot finish for want of a handle or a descriptor leaves nothing behind:
// the handle table full; a descriptor for the file but none for the folder it keeps; a
// new folder that cannot be opened.
TEST_F(StandinTest, CreateCutShortLeavesNothing) {
  std::vector<HANDLE> held;
  HANDLE file = nullptr;
  while (standin::OpenHandleCount() < 320 &&
         CreateNative(NativeServices, Widen(kVolume + "\\Report.TXT"), &file, kRead, FILE_OPEN,
                      kSync, FILE_SHARE_READ) == STATUS_SUCCESS) {
    held.push_back(file);
  }
  EXPECT_EQ(Create(kVolume + "\\Left.txt", &file, kWrite | DELETE, FILE_CREATE),
            STATUS_TOO_MANY_OPENED_FILES);
  for (HANDLE handle : held) {
    CloseHandle(handle);
  }
  EXPECT_EQ(CreateWithSpareDescriptors("Kept.txt", kWrite | DELETE, kSync, 1),
            STATUS_TOO_MANY_OPENED_FILES);
  EXPECT_EQ(CreateWithSpareDescriptors("Made", kRead, FILE_DIRECTORY_FILE | kSync, 0),
            STATUS_TOO_MANY_OPENED_FILES);
  for (const char* name : {"Left.txt", "Kept.txt", "Made"}) {
    EXPECT_FALSE(fs::exists(scratch_ / name)) << name;
  }
}

}  // namespace
