// Faults on real files, end to end: refused permissions, a source that changes while it
// is copied and two runs racing for one destination (the full volume is in cli_test, in
// both builds). Whatever happens, no half-written file is left and no existing file
// changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "copy/copy_engine.h"
#include "native/native_services.h"
#include "tests/support/bound_services.h"
#include "tests/support/process.h"
#include "tests/support/scratch.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1 << 20;

class FaultsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(VantroPath().empty()) << "VANTRO_EXE names the binary under test";
  }
  RunResult Run(const std::string& source, const std::string& destination, bool asNobody = false) {
    return RunVantro({source, destination}, {.directory = folder_.Path(), .asNobody = asNobody});
  }
  ScratchFolder folder_;
};

// A copy stopped in its middle by a signal. The source is a FIFO that the test feeds, so the
// copy is surely running, its destination begun, when the signal arrives.
struct Interruption {
  const char* name;
  int signal;
  bool ignoredAtStart;  // as a background job of a shell starts with SIGINT
  bool readOnlySource = false;
  // Before the signal, another program's open of the destination is refused: the copy
  // creates it without sharing (the source's open is a row of cli_test).
  bool heldAgainstOthers = false;
  // The FIFO is a file of a tree copied with /E: the tree keeps no destination's name, and
  // its unfinished copy no file that is not whole.
  bool inTree = false;
};

void PrintTo(const Interruption& row, std::ostream* out) {
  *out << row.name;
}

class InterruptedCopyTest : public FaultsTest, public testing::WithParamInterface<Interruption> {
 protected:
  // The write end of the FIFO, once the copy has opened it for reading; -1 after 10 s.
  static int OpenFeed(const fs::path& fifo) {
    for (int tries = 0; tries < 1000; ++tries) {
      const int feed = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (feed >= 0) {
        fcntl(feed, F_SETFL, 0);
        return feed;
      }
      usleep(10000);
    }
    return -1;
  }

  // Whether another program of the platform may open the file for reading with every kind
  // of sharing: the stand-in takes a shared lock for such an open. Nothing is read.
  static bool SharedOpenAllowed(const fs::path& file) {
    const int descriptor = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const bool allowed = descriptor >= 0 && flock(descriptor, LOCK_SH | LOCK_NB) == 0;
    if (descriptor >= 0) {
      close(descriptor);
    }
    return allowed;
  }

  // Whether the destination holds at least this many bytes within 10 s.
  bool Grows(const fs::path& file, std::uintmax_t bytes) const {
    std::error_code error;
    for (int tries = 0; tries < 1000; ++tries) {
      if (fs::file_size(file, error) >= bytes && !error) {
        return true;
      }
      usleep(10000);
    }
    return false;
  }
};

TEST_P(InterruptedCopyTest, LeavesNoDestination) {
  const Interruption& row = GetParam();
  fs::create_directory(folder_ / "tree");
  WriteBytes(folder_ / "tree" / "whole.txt", "whole");
  const fs::path fifo = row.inTree ? folder_ / "tree" / "feed" : folder_ / "feed";
  const fs::path out = row.inTree ? folder_ / "copy.partial" / "feed" : folder_ / "out.bin";
  ASSERT_EQ(mkfifo(fifo.c_str(), row.readOnlySource ? 0400 : 0600), 0);
  const std::vector<std::string> arguments = row.inTree
                                                 ? std::vector<std::string>{"tree", "copy", "/E"}
                                                 : std::vector<std::string>{"feed", "out.bin"};
  VantroProcess copy(arguments,
                     {.directory = folder_.Path(), .interruptIgnored = row.ignoredAtStart});
  const int feed = OpenFeed(fifo);
  ASSERT_GE(feed, 0) << "the copy never opened its source";
  const std::string data = RandomBytes(64 * 1024, 12);
  ASSERT_EQ(write(feed, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  ASSERT_TRUE(Grows(out, data.size())) << "the copy did not begin";
  if (row.heldAgainstOthers) {
    EXPECT_FALSE(SharedOpenAllowed(out)) << "the destination is not held";
  }

  ASSERT_TRUE(copy.Signal(row.signal));
  if (row.ignoredAtStart) {
    usleep(200000);
    EXPECT_TRUE(copy.Running()) << "a signal ignored at start ended the copy";
  }
  close(feed);
  const RunResult finished = copy.Finish();

  if (row.ignoredAtStart) {
    // The copy ran to the FIFO's end, which has no size to tell a whole copy by.
    EXPECT_TRUE(finished.exited) << "ended by signal " << finished.signal;
    EXPECT_NE(finished.output.find("Error reading, Status=c0000043"), std::string::npos)
        << finished.output;
  } else {
    EXPECT_FALSE(finished.exited);
    EXPECT_EQ(finished.signal, row.signal) << "the exit status hides how the copy ended";
  }
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(fs::exists(folder_ / "copy"));
  if (fs::exists(folder_ / "copy.partial" / "whole.txt")) {
    EXPECT_EQ(ReadBytes(folder_ / "copy.partial" / "whole.txt"), "whole");
  }
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, InterruptedCopyTest,
    testing::Values(Interruption{"Interrupt", SIGINT, false},
                    Interruption{"Terminate", SIGTERM, false},
                    Interruption{"HangUp", SIGHUP, false}, Interruption{"Alarm", SIGALRM, false},
                    Interruption{"User1", SIGUSR1, false}, Interruption{"CpuLimit", SIGXCPU, false},
                    Interruption{"Quit", SIGQUIT, false},
                    Interruption{"RealTime", SIGRTMIN + 1, false},
                    Interruption{"LastRealTime", SIGRTMAX, false},
                    Interruption{"ReadOnlySource", SIGTERM, false, true},
                    Interruption{"HeldAgainstOthers", SIGTERM, false, false, true},
                    Interruption{"InterruptIgnoredAtStart", SIGINT, true},
                    Interruption{"TreeTerminated", SIGTERM, false, false, false, true}),
    [](const testing::TestParamInfo<Interruption>& info) { return info.param.name; });

// Writes past the file-size limit fail like the platform's writes instead of ending the
// process, and so does the error line's own write when the output is a closed pipe: the
// destination is removed either way.
TEST_F(FaultsTest, FileSizeLimitIsAFailedWrite) {
  WriteBytes(folder_ / "Big.bin", RandomBytes(2 * kMiB, 13));
  for (const bool closedOutput : {false, true}) {
    SCOPED_TRACE(closedOutput ? "output to a closed pipe" : "output read");
    const RunResult run = RunVantro(
        {"Big.bin", "out.bin"},
        {.directory = folder_.Path(), .fileSizeLimit = 1 << 20, .closedOutput = closedOutput});
    EXPECT_TRUE(run.exited) << "ended by signal " << run.signal;
    EXPECT_EQ(run.exitCode, 1);
    if (!closedOutput) {
      EXPECT_EQ(run.output, "src=" + folder_.VolumePath("Big.bin") +
                                "\ndst=" + folder_.VolumePath("out.bin") +
                                "\n\nError writing, Status=c000007f\n");
    }
    EXPECT_FALSE(fs::exists(folder_ / "out.bin"));
  }
}

// As root the permission checks do not apply, so those runs drop to nobody.
struct PermissionCase {
  const char* name;
  const char* source;
  const char* destination;
  const char* line;
};

void PrintTo(const PermissionCase& row, std::ostream* out) {
  *out << row.name;
}

class PermissionTest : public FaultsTest, public testing::WithParamInterface<PermissionCase> {};

TEST_P(PermissionTest, RefusedWithAccessDenied) {
  WriteBytes(folder_ / "Source.txt", RandomBytes(5000, 5));
  WriteBytes(folder_ / "Secret.txt", RandomBytes(5000, 6));
  chmod((folder_ / "Source.txt").c_str(), 0644);
  chmod((folder_ / "Secret.txt").c_str(), 0200);
  fs::create_directory(folder_ / "locked");
  chmod((folder_ / "locked").c_str(), 0555);
  const Snapshot before = folder_.TakeSnapshot();
  const RunResult run = Run(GetParam().source, GetParam().destination, true);
  if (run.exitCode == 125 || run.exitCode == 127) {
    GTEST_SKIP() << "the binary cannot be run as an unprivileged user here";
  }
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find(GetParam().line), std::string::npos) << run.output;
  EXPECT_EQ(folder_.TakeSnapshot(), before);
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, PermissionTest,
    testing::Values(PermissionCase{"UnwritableFolder", "Source.txt", "locked\\out.txt",
                                   "Error creating, Status=c0000022"},
                    PermissionCase{"UnreadableSource", "Secret.txt", "out.txt",
                                   "Error openning, Status=c0000022"}),
    [](const testing::TestParamInfo<PermissionCase>& info) { return info.param.name; });

TEST_F(FaultsTest, RacingRunsLeaveOneWholeCopy) {
  WriteBytes(folder_ / "First.bin", RandomBytes(2 * kMiB, 7));
  WriteBytes(folder_ / "Second.bin", RandomBytes(2 * kMiB + 5, 8));
  for (int round = 0; round < 8; ++round) {
    const std::string target = "Out" + std::to_string(round) + ".bin";
    VantroProcess first({"First.bin", target}, {.directory = folder_.Path()});
    VantroProcess second({"Second.bin", target}, {.directory = folder_.Path()});
    const RunResult results[] = {first.Finish(), second.Finish()};
    const int winners = (results[0].exitCode == 0 ? 1 : 0) + (results[1].exitCode == 0 ? 1 : 0);
    ASSERT_EQ(winners, 1) << results[0].output << results[1].output;
    const int loser = results[0].exitCode == 0 ? 1 : 0;
    EXPECT_EQ(results[loser].exitCode, 1);
    EXPECT_NE(results[loser].output.find("Error creating, "), std::string::npos)
        << results[loser].output;
    const std::string winner = loser == 1 ? "First.bin" : "Second.bin";
    EXPECT_EQ(ReadBytes(folder_ / target), ReadBytes(folder_ / winner)) << "round " << round;
  }
}

// A source that changes after its first block was read, through the read service. On
// Windows no other program can write it while the copy holds it; on the host the copy
// must notice at the source's end and leave nothing.
struct ChangingSource {
  const char* name;
  void (*change)(const fs::path& path);
};

void PrintTo(const ChangingSource& row, std::ostream* out) {
  *out << row.name;
}

fs::path changingPath;
void (*changeOnce)(const fs::path&) = nullptr;
ZwReadFileFn realRead = nullptr;

NTSTATUS NTAPI ReadThenChange(HANDLE file, HANDLE event, PIO_APC_ROUTINE routine, PVOID context,
                              PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                              PLARGE_INTEGER offset, PULONG key) {
  const NTSTATUS status = realRead(file, event, routine, context, io, buffer, length, offset, key);
  if (changeOnce != nullptr) {
    changeOnce(changingPath);
    changeOnce = nullptr;
  }
  return status;
}

class ChangingSourceTest : public FaultsTest, public testing::WithParamInterface<ChangingSource> {
 protected:
  void SetUp() override {
    FaultsTest::SetUp();
    ASSERT_EQ(services_.Missing(), nullptr);
    realRead = services_.Bound().ZwReadFile;
    NativeServices.ZwReadFile = ReadThenChange;
  }

  BoundServices services_;
};

TEST_P(ChangingSourceTest, ChangedSourceIsNeverACopy) {
  const fs::path source = folder_ / "Changing.bin";
  WriteBytes(source, RandomBytes(5 * kCopyBlockBytes + 7, 10));
  changingPath = source;
  changeOnce = GetParam().change;
  const CopyOutcome outcome =
      CopyCapturingOutput(folder_.NativePath("Changing.bin"), folder_.NativePath("out.bin"));
  EXPECT_FALSE(outcome.copied);
  EXPECT_EQ(outcome.printed, "Error reading, Status=c0000043\n");
  EXPECT_FALSE(fs::exists(folder_ / "out.bin"));
}

// Rewritten, then its last-write time put back, as `touch -r` or `rsync --inplace -t` do.
void RewriteKeepingTime(const fs::path& path) {
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  WriteBytes(path, RandomBytes(5 * kCopyBlockBytes + 7, 11));
  const timespec back[2] = {{0, UTIME_OMIT}, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), back, 0), 0);
}

void AddLink(const fs::path& path) {
  ASSERT_EQ(link(path.c_str(), (path.string() + ".link").c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    InjectedRead, ChangingSourceTest,
    testing::Values(ChangingSource{"RewrittenWithItsTimePutBack", RewriteKeepingTime},
                    ChangingSource{"LinkAdded", AddLink},
                    ChangingSource{"TruncatedToFirstBlock",
                                   [](const fs::path& path) {
                                     ASSERT_EQ(truncate(path.c_str(), kCopyBlockBytes), 0);
                                   }},
                    ChangingSource{"TruncatedInsideSecondBlock",
                                   [](const fs::path& path) {
                                     ASSERT_EQ(truncate(path.c_str(), kCopyBlockBytes + 100), 0);
                                   }},
                    ChangingSource{"Grown",
                                   [](const fs::path& path) {
                                     ASSERT_EQ(truncate(path.c_str(), 9 * kCopyBlockBytes), 0);
                                   }},
                    // Rewritten in place: same size, a new modification time.
                    ChangingSource{"Rewritten",
                                   [](const fs::path& path) {
                                     const timespec later[2] = {{0, UTIME_OMIT}, {1, 0}};
                                     ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
                                   }},
                    // Removed by its name while open: no longer the file that was named.
                    ChangingSource{
                        "Removed",
                        [](const fs::path& path) { ASSERT_EQ(unlink(path.c_str()), 0); }}),
    [](const testing::TestParamInfo<ChangingSource>& info) { return info.param.name; });

}  // namespace
