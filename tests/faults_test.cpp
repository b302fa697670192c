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

#include <cstring>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <utility>
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
  // Started in the folder.
  RunResult Run(const std::vector<std::string>& arguments, RunOptions options = {}) {
    options.directory = folder_.Path();
    return RunVantro(arguments, options);
  }
  ScratchFolder folder_;
};

// A copy stopped in its middle by a signal. Its source is a sparse file of 1 GiB; the copy
// is frozen (SIGSTOP) as soon as its destination has begun, signalled, then let go on, so that
// the signal surely lands mid-copy.
struct Interruption {
  const char* name;
  std::vector<int> signals;     // each ends a run of its own
  bool ignoredAtStart = false;  // as a background job of a shell starts with SIGINT
  bool readOnlySource = false;
  // Before the signal, another program's open of the destination is refused: the copy
  // creates it without sharing (the source's open is a row of cli_test).
  bool heldAgainstOthers = false;
  // The source is a file of a tree copied with /E: the tree keeps no destination's name, and
  // its unfinished copy no file that is not whole.
  bool inTree = false;

  friend void PrintTo(const Interruption& row, std::ostream* out) { *out << row.name; }
};

class InterruptedCopyTest : public FaultsTest, public testing::WithParamInterface<Interruption> {
 protected:
  // Whether another program of the platform may open the file for reading with every kind
  // of sharing: the stand-in takes a shared lock for such an open. Nothing is read.
  static bool SharedOpenAllowed(const fs::path& file) {
    const int descriptor = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const bool allowed = descriptor >= 0 && flock(descriptor, LOCK_SH | LOCK_NB) == 0;
    close(descriptor);  // none when it did not open
    return allowed;
  }

  // Freezes the copy once its destination holds data; false when it did not begin in 10 s.
  static bool FreezeOnceBegun(VantroProcess& copy, const fs::path& file) {
    std::error_code error;
    for (int tries = 0; tries < 100000; ++tries) {
      if (fs::file_size(file, error) > 0 && !error) {
        return copy.Signal(SIGSTOP);
      }
      usleep(100);
    }
    return false;
  }
};

TEST_P(InterruptedCopyTest, LeavesNoDestination) {
  const Interruption& row = GetParam();
  fs::create_directory(folder_ / "tree");
  WriteBytes(folder_ / "tree" / "whole.txt", "whole");
  const fs::path source = row.inTree ? folder_ / "tree" / "big.bin" : folder_ / "big.bin";
  WriteBytes(source, "");
  fs::resize_file(source, std::uintmax_t{1} << 30);
  if (row.readOnlySource) {
    fs::permissions(source, fs::perms::owner_read);
  }
  for (const int signalNumber : row.signals) {
    SCOPED_TRACE(strsignal(signalNumber));
    const fs::path out = row.inTree ? folder_ / "copy.partial" / "big.bin" : folder_ / "out.bin";
    fs::remove_all(folder_ / "copy.partial");
    VantroProcess copy(row.inTree ? std::vector<std::string>{"tree", "copy", "/E"}
                                  : std::vector<std::string>{"big.bin", "out.bin"},
                       {.directory = folder_.Path(), .interruptIgnored = row.ignoredAtStart});
    ASSERT_TRUE(FreezeOnceBegun(copy, out)) << "the copy did not begin";
    if (row.heldAgainstOthers) {
      EXPECT_FALSE(SharedOpenAllowed(out)) << "the destination is not held";
    }
    ASSERT_TRUE(copy.Signal(signalNumber));
    ASSERT_TRUE(copy.Signal(SIGCONT));
    int ending = signalNumber;
    if (row.ignoredAtStart) {
      usleep(50000);  // far less than the rest of the copy takes
      EXPECT_TRUE(copy.Running()) << "a signal ignored at start ended the copy";
      ending = SIGTERM;
      copy.Signal(ending);
    }
    const RunResult finished = copy.Finish();
    EXPECT_FALSE(finished.exited) << finished.output;
    EXPECT_EQ(finished.signal, ending) << "the exit status hides how the copy ended";
    // A tree stopped by a signal a console's stop arrives as on the host still says where it
    // stands; any other signal ends the process at once.
    const bool says = row.inTree && (ending == SIGINT || ending == SIGQUIT || ending == SIGHUP ||
                                     ending == SIGTERM);
    EXPECT_EQ(finished.output.find("The unfinished copy is in") != std::string::npos, says)
        << finished.output;
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(folder_ / "copy"));
    if (fs::exists(folder_ / "copy.partial" / "whole.txt")) {
      EXPECT_EQ(ReadBytes(folder_ / "copy.partial" / "whole.txt"), "whole");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, InterruptedCopyTest,
    testing::Values(Interruption{"EndingSignals",
                                 {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGXCPU,
                                  SIGRTMIN + 1, SIGRTMAX}},
                    Interruption{"ReadOnlySource", {SIGTERM}, false, true},
                    Interruption{"HeldAgainstOthers", {SIGTERM}, false, false, true},
                    Interruption{"InterruptIgnoredAtStart", {SIGINT}, true},
                    Interruption{
                        "TreeStopped", {SIGINT, SIGTERM, SIGUSR1}, false, false, false, true}),
    [](const testing::TestParamInfo<Interruption>& info) { return info.param.name; });

// Stopped at random moments in a tree of many small files, by each signal a console's stop
// arrives as: the copy ends by that signal with the tree's last lines said, and every file of
// its unfinished tree is whole, never empty (a stop landing between a file's create and its
// mark left one empty); the same command then finishes it. Out of descriptors mid-tree, each
// file that could not be copied is a line, and none is left empty either.
TEST_F(FaultsTest, StoppedOrStarvedTreeKeepsOnlyWholeFiles) {
  for (int file = 0; file < 300; ++file) {
    const fs::path name = folder_ / "tree" / std::to_string(file % 3) / std::to_string(file % 7) /
                          ("f" + std::to_string(file) + ".txt");
    fs::create_directories(name.parent_path());
    WriteBytes(name, RandomBytes(1 + file % 200, file));
  }
  // Every file whole (none empty); the files counted.
  const auto wholeOrAbsent = [&](const fs::path& copy) {
    int files = 0;
    std::error_code absent;
    for (const auto& entry : fs::recursive_directory_iterator(copy, absent)) {
      if (entry.is_regular_file() && entry.path().filename() != ".vantro-unfinished") {
        const fs::path source = folder_ / "tree" / entry.path().lexically_relative(copy);
        EXPECT_EQ(ReadBytes(entry.path()), ReadBytes(source)) << entry.path();
        ++files;
      }
    }
    return files;
  };
  std::mt19937 random(29);
  int run = 0;
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    for (int repeat = 0; repeat < 20; ++repeat) {
      SCOPED_TRACE(std::string(strsignal(signalNumber)) + " run " + std::to_string(repeat));
      const std::string copy = "copy" + std::to_string(++run);
      VantroProcess process({"tree", copy, "/E"}, {.directory = folder_.Path()});
      usleep(static_cast<useconds_t>(random() % 40000));
      process.Signal(signalNumber);
      const RunResult finished = process.Finish();
      if (finished.exited) {
        EXPECT_EQ(finished.exitCode, 0) << finished.output;  // it was done before the signal
        continue;
      }
      EXPECT_EQ(finished.signal, signalNumber);
      if (fs::exists(folder_ / copy)) {  // whole before the signal came
        wholeOrAbsent(folder_ / copy);
        continue;
      }
      if (finished.output.find("dst=") != std::string::npos) {
        EXPECT_NE(finished.output.find("The unfinished copy is in"), std::string::npos)
            << finished.output;
      }
      wholeOrAbsent(folder_ / (copy + ".partial"));
      // The same command again finishes it, keeping what was whole.
      const RunResult again = Run({"tree", copy, "/E"});
      std::smatch counts;
      ASSERT_TRUE(std::regex_search(again.output, counts,
                                    std::regex("Copied ([0-9]+) files(, ([0-9]+) already there)?")))
          << again.output;
      EXPECT_EQ(again.exitCode, 0);
      EXPECT_EQ(std::stoi(counts[1]) + (counts[3].matched ? std::stoi(counts[3]) : 0), 300);
      EXPECT_EQ(wholeOrAbsent(folder_ / copy), 300);
    }
  }
  // Enough descriptors for the folders, one too few for a file's copy.
  const RunResult starved = Run({"tree", "starved", "/E"}, {.openFileLimit = 14});
  EXPECT_EQ(starved.exitCode, 1) << starved.output;
  std::smatch failed;
  ASSERT_TRUE(std::regex_search(starved.output, failed, std::regex("; ([0-9]+) failed")));
  const std::regex line("\nError [a-z]+ [^\n]*, Status=c000011f");
  EXPECT_EQ(std::distance(std::sregex_iterator(starved.output.begin(), starved.output.end(), line),
                          std::sregex_iterator()),
            std::stol(failed[1]))
      << starved.output.substr(0, 400);
  wholeOrAbsent(folder_ / "starved.partial");
}

// Every entry of a tree is copied or named, and nothing hangs: a dangling link is a skipped
// link; a FIFO, a socket and a device are skipped special files, never opened; a name that is
// not UTF-8 fails with its line. A FIFO as a one-file source is refused at once.
TEST_F(FaultsTest, EveryEntryOfATreeIsCopiedOrNamed) {
  fs::create_directory(folder_ / "tree");
  WriteBytes(folder_ / "tree" / "kept.txt", "kept");
  WriteBytes(folder_ / "tree" / "bad\xff.txt", "bad");
  fs::create_symlink("nowhere", folder_ / "tree" / "dangling");
  fs::create_symlink("/dev/null", folder_ / "tree" / "null");
  ASSERT_EQ(mkfifo((folder_ / "tree" / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(mknod((folder_ / "tree" / "socket").c_str(), S_IFSOCK | 0600, 0), 0);

  const RunResult tree = Run({"tree", "copy", "/E"});
  EXPECT_EQ(tree.exitCode, 1);
  for (const char* line :
       {"\nSkipped link dangling\n", "\nSkipped special file fifo\n",
        "\nSkipped special file socket\n", "\nSkipped special file null\n",
        "\nError openning bad\xef\xbf\xbd.txt, Status=c0000034\n",
        "\nCopied 1 files in 1 folders, 0.00 KiB; 1 failed, 1 links skipped.\n"}) {
    EXPECT_NE(tree.output.find(line), std::string::npos) << line << " in:\n" << tree.output;
  }
  EXPECT_EQ(ReadBytes(folder_ / "copy.partial" / "kept.txt"), "kept");
  const RunResult fifo = Run({"tree\\fifo", "fifo.txt"});
  EXPECT_NE(fifo.output.find("Error openning, Status=c0000003\n"), std::string::npos)
      << fifo.output;
}

// Writes past the file-size limit fail like the platform's writes instead of ending the
// process, and so does the error line's own write when the output is a closed pipe: the
// destination is removed either way.
TEST_F(FaultsTest, FileSizeLimitIsAFailedWrite) {
  WriteBytes(folder_ / "Big.bin", RandomBytes(2 * kMiB, 13));
  for (const bool closedOutput : {false, true}) {
    SCOPED_TRACE(closedOutput ? "output to a closed pipe" : "output read");
    const RunResult run =
        Run({"Big.bin", "out.bin"}, {.fileSizeLimit = 1 << 20, .closedOutput = closedOutput});
    EXPECT_EQ(run.exitCode, 1) << "ended by signal " << run.signal;
    if (!closedOutput) {
      EXPECT_EQ(run.output, "src=" + folder_.VolumePath("Big.bin") +
                                "\ndst=" + folder_.VolumePath("out.bin") +
                                "\n\nError writing, Status=c000007f\n");
    }
    EXPECT_FALSE(fs::exists(folder_ / "out.bin"));
  }
}

// As root the permission checks do not apply, so these runs drop to nobody. Each file of a
// folder that may be listed but not searched fails with its line.
TEST_F(FaultsTest, RefusedPermissionIsAccessDenied) {
  WriteBytes(folder_ / "Source.txt", RandomBytes(5000, 5));
  WriteBytes(folder_ / "Secret.txt", RandomBytes(5000, 6));
  chmod((folder_ / "Source.txt").c_str(), 0644);
  chmod((folder_ / "Secret.txt").c_str(), 0200);
  fs::create_directory(folder_ / "locked");
  chmod((folder_ / "locked").c_str(), 0555);
  const Snapshot before = folder_.TakeSnapshot();
  const struct {
    const char* source;
    const char* destination;
    const char* line;
  } cases[] = {{"Source.txt", "locked\\out.txt", "Error creating, Status=c0000022"},
               {"Secret.txt", "out.txt", "Error openning, Status=c0000022"}};
  for (const auto& row : cases) {
    const RunResult run = Run({row.source, row.destination}, {.asNobody = true});
    if (run.exitCode == 125 || run.exitCode == 127) {
      GTEST_SKIP() << "the binary cannot be run as an unprivileged user here";
    }
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find(row.line), std::string::npos) << run.output;
    EXPECT_EQ(folder_.TakeSnapshot(), before);
  }
  fs::create_directory(folder_ / "listed");
  WriteBytes(folder_ / "listed" / "a.txt", "a");
  WriteBytes(folder_ / "listed" / "b.txt", "b");
  chmod((folder_ / "listed").c_str(), 0444);
  chmod((folder_ / "locked").c_str(), 0777);  // open now: only the source refuses
  const RunResult listed = Run({"listed", "locked\\unsearched", "/E"}, {.asNobody = true});
  chmod((folder_ / "listed").c_str(), 0755);
  EXPECT_EQ(listed.exitCode, 1);
  for (const char* line :
       {"Error openning a.txt, Status=c0000022\n", "Error openning b.txt, Status=c0000022\n"}) {
    EXPECT_NE(listed.output.find(line), std::string::npos) << listed.output;
  }
  EXPECT_FALSE(fs::exists(folder_ / "locked" / "unsearched"));
}

TEST_F(FaultsTest, RacingRunsLeaveOneWholeCopy) {
  WriteBytes(folder_ / "First.bin", RandomBytes(2 * kMiB, 7));
  WriteBytes(folder_ / "Second.bin", RandomBytes(2 * kMiB + 5, 8));
  for (int round = 0; round < 8; ++round) {
    const std::string target = "Out" + std::to_string(round) + ".bin";
    VantroProcess first({"First.bin", target}, {.directory = folder_.Path()});
    VantroProcess second({"Second.bin", target}, {.directory = folder_.Path()});
    const RunResult results[] = {first.Finish(), second.Finish()};
    const int loser = results[0].exitCode == 0 ? 1 : 0;
    ASSERT_EQ(results[1 - loser].exitCode, 0) << results[0].output << results[1].output;
    EXPECT_EQ(results[loser].exitCode, 1) << results[loser].output;
    EXPECT_NE(results[loser].output.find("Error creating, "), std::string::npos)
        << results[loser].output;
    const std::string winner = loser == 1 ? "First.bin" : "Second.bin";
    EXPECT_EQ(ReadBytes(folder_ / target), ReadBytes(folder_ / winner)) << "round " << round;
  }
}

// A source that changes after its first block was read, through the read service. On
// Windows no other program can write it while the copy holds it; on the host the copy
// must notice at the source's end and leave nothing.
std::function<int()> changeOnce;  // 0 when the change was made
ZwReadFileFn realRead = nullptr;

NTSTATUS NTAPI ReadThenChange(HANDLE file, HANDLE event, PIO_APC_ROUTINE routine, PVOID context,
                              PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                              PLARGE_INTEGER offset, PULONG key) {
  const NTSTATUS status = realRead(file, event, routine, context, io, buffer, length, offset, key);
  if (changeOnce) {
    EXPECT_EQ(std::exchange(changeOnce, nullptr)(), 0) << strerror(errno);
  }
  return status;
}

TEST_F(FaultsTest, ChangedSourceIsNeverACopy) {
  const BoundServices services;
  ASSERT_EQ(services.Missing(), nullptr);
  realRead = services.Bound().ZwReadFile;
  NativeServices.ZwReadFile = ReadThenChange;
  const fs::path source = folder_ / "Changing.bin";
  const timespec later[2] = {{0, UTIME_OMIT}, {1, 0}};
  const std::pair<const char*, std::function<int()>> changes[] = {
      {"TruncatedToFirstBlock", [&] { return truncate(source.c_str(), kCopyBlockBytes); }},
      {"TruncatedInSecondBlock", [&] { return truncate(source.c_str(), kCopyBlockBytes + 100); }},
      {"Grown", [&] { return truncate(source.c_str(), 9 * kCopyBlockBytes); }},
      // Rewritten in place: same size, a new modification time.
      {"Rewritten", [&] { return utimensat(AT_FDCWD, source.c_str(), later, 0); }},
      // Rewritten, then its last-write time put back, as `touch -r` or `rsync --inplace -t` do.
      {"RewrittenWithItsTimePutBack",
       [&] {
         struct stat before {};
         stat(source.c_str(), &before);
         WriteBytes(source, RandomBytes(5 * kCopyBlockBytes + 7, 11));
         const timespec back[2] = {{0, UTIME_OMIT}, before.st_mtim};
         return utimensat(AT_FDCWD, source.c_str(), back, 0);
       }},
      // Removed by its name while open: no longer the file that was named.
      {"Removed", [&] { return unlink(source.c_str()); }},
      {"LinkAdded", [&] { return link(source.c_str(), (source.string() + ".link").c_str()); }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    WriteBytes(source, RandomBytes(5 * kCopyBlockBytes + 7, 10));
    changeOnce = change;
    const CopyOutcome outcome =
        CopyCapturingOutput(folder_.NativePath("Changing.bin"), folder_.NativePath("out.bin"));
    EXPECT_FALSE(outcome.copied);
    EXPECT_EQ(outcome.printed, "Error reading, Status=c0000043\n");
    EXPECT_FALSE(fs::exists(folder_ / "out.bin"));
  }
}

}  // namespace
