// The built tool end to end: started by its bare name in a scratch folder, standard
// output through a pipe, standard input from /dev/null or a pipe the test holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scratch.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kUsage =
    "Usage:\nvantro <source> <destination>\nAttention: Filenames are case sensitive!";
// A generous bound for a run that should end at once; only a hang reaches it.
constexpr auto kHangLimit = 30s;

struct Child {
  pid_t pid = -1;
  int input = -1;   // write end of its standard input, when the test holds it
  int output = -1;  // read end of its standard output and error
};

struct Finished {
  bool exited;  // false: still running at the limit, and killed
  int code;
  std::string output;
};

// Runs the tool as `vantro <arguments...>` typed in `folder`. Its standard input is
// /dev/null, or a pipe that stays open until the test writes or closes it.
Child Start(const std::vector<std::string>& arguments, const fs::path& folder, bool holdInput) {
  const char* program = std::getenv("VANTRO_EXE");
  int out[2];
  int in[2] = {-1, -1};
  if (program == nullptr || pipe2(out, O_CLOEXEC) != 0 ||
      (holdInput && pipe2(in, O_CLOEXEC) != 0)) {
    ADD_FAILURE() << "cannot start the tool (is VANTRO_EXE set?)";
    return {};
  }
  std::vector<char*> argv{const_cast<char*>("vantro")};
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int input = holdInput ? in[0] : open("/dev/null", O_RDONLY);
    if (chdir(folder.c_str()) != 0 || dup2(input, 0) < 0 || dup2(out[1], 1) < 0 ||
        dup2(out[1], 2) < 0) {
      _exit(127);
    }
    execv(program, argv.data());
    _exit(127);
  }
  close(out[1]);
  if (holdInput) {
    close(in[0]);
  }
  return {pid, in[1], out[0]};
}

// Reads the output to its end and collects the exit code; a run still going at the
// limit is killed and reported as not exited.
Finished Wait(Child& child) {
  Finished finished{false, -1, {}};
  const auto limit = std::chrono::steady_clock::now() + kHangLimit;
  char bytes[65536];
  pollfd ready{child.output, POLLIN, 0};
  while (std::chrono::steady_clock::now() < limit) {
    if (poll(&ready, 1, 100) <= 0) {
      continue;
    }
    const ssize_t count = read(child.output, bytes, sizeof bytes);
    if (count <= 0) {
      break;
    }
    finished.output.append(bytes, static_cast<std::size_t>(count));
  }
  int status = 0;
  while (waitpid(child.pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= limit) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  finished.exited = WIFEXITED(status);
  finished.code = finished.exited ? WEXITSTATUS(status) : -1;
  close(child.output);
  if (child.input >= 0) {
    close(child.input);
  }
  return finished;
}

Finished RunTool(const std::vector<std::string>& arguments, const fs::path& folder) {
  Child child = Start(arguments, folder, false);
  return child.pid > 0 ? Wait(child) : Finished{false, -1, {}};
}

// The native path of a name in the folder, as the tool composes it from drive Z:.
std::string NativeOf(const fs::path& folder, const std::string& name) {
  std::string path = "\\Device\\HarddiskVolume1" + folder.string() + "/" + name;
  for (char& unit : path) {
    unit = unit == '/' ? '\\' : unit;
  }
  return path;
}

std::string Announcement(const fs::path& folder, const std::string& source,
                         const std::string& destination) {
  return "src=" + NativeOf(folder, source) + "\ndst=" + NativeOf(folder, destination) + "\n\n";
}

class CliTest : public testing::Test {
 protected:
  void SetUp() override {
    WriteBytes(folder_ / "Report.TXT", "upper case report\n");
    WriteBytes(folder_ / "report.txt", "lower case report, longer\n");
  }

  std::size_t FileCount() const {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder_.Path()), fs::directory_iterator()));
  }

  ScratchFolder folder_;
};

// No pause after the usage text, even when standard input never ends.
TEST_F(CliTest, UsageForFewerThanTwoArgumentsWithoutPause) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{}, std::vector<std::string>{"Report.TXT"}}) {
    SCOPED_TRACE(arguments.size());
    Child child = Start(arguments, folder_.Path(), true);
    ASSERT_GT(child.pid, 0);
    const Finished finished = Wait(child);
    ASSERT_TRUE(finished.exited) << "the tool waited for input after the usage text";
    EXPECT_EQ(finished.code, 0);
    EXPECT_EQ(finished.output, kUsage);
  }
  EXPECT_EQ(FileCount(), 2U);
}

// Each spelling opens only the file of exactly that name; a third extra argument is
// ignored.
TEST_F(CliTest, CopiesTheFileOfExactlyTheNameGiven) {
  struct Pick {
    std::vector<std::string> arguments;
    const char* destination;
    const char* expected;
  };
  const Pick picks[] = {
      {{"Report.TXT", "upper.txt"}, "upper.txt", "upper case report\n"},
      {{"report.txt", "lower.txt"}, "lower.txt", "lower case report, longer\n"},
      {{"Report.TXT", "extra.txt", "ignored.txt"}, "extra.txt", "upper case report\n"},
  };
  for (const Pick& pick : picks) {
    SCOPED_TRACE(pick.destination);
    const Finished finished = RunTool(pick.arguments, folder_.Path());
    EXPECT_EQ(finished.code, 0);
    EXPECT_EQ(finished.output, Announcement(folder_.Path(), pick.arguments[0], pick.destination));
    EXPECT_EQ(ReadBytes(folder_ / pick.destination), pick.expected);
  }
  EXPECT_FALSE(fs::exists(folder_ / "ignored.txt"));
}

TEST_F(CliTest, CopiesMebibytesOfRandomBytes) {
  const std::string data = RandomBytes(3 * 1024 * 1024 + 123, 11);
  WriteBytes(folder_ / "random.bin", data);

  const Finished finished = RunTool({"random.bin", "copy.bin"}, folder_.Path());

  EXPECT_EQ(finished.code, 0);
  EXPECT_EQ(finished.output, Announcement(folder_.Path(), "random.bin", "copy.bin"));
  EXPECT_TRUE(ReadBytes(folder_ / "copy.bin") == data) << "the copy differs from its source";
}

// After the announcement every refusal is one line and exit 1; no file is added and
// none is changed.
TEST_F(CliTest, RefusalsAfterTheAnnouncement) {
  struct Refusal {
    const char* source;
    const char* destination;
    const char* line;  // a pattern: the create's second field may vary by platform
  };
  const Refusal refusals[] = {
      {"REPORT.txt", "out.txt", R"(Error openning, Status=c0000034\n)"},
      {"Report.TXT", "report.txt", R"(Error creating, Status=c0000035 \((c0000035|0)\)\n)"},
      {"Report.TXT", "Report.TXT", R"(Error creating, Status=c0000035 \((c0000035|0)\)\n)"},
      {"Report.TXT", "missing\\out.txt", R"(Error creating, Status=c000003a \((c000003a|0)\)\n)"},
      {"folder", "out.txt", R"(Error openning, Status=c00000ba\n)"},
  };
  fs::create_directory(folder_ / "folder");
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(std::string(refusal.source) + " -> " + refusal.destination);
    const Finished finished = RunTool({refusal.source, refusal.destination}, folder_.Path());
    EXPECT_EQ(finished.code, 1);
    const std::string announcement =
        Announcement(folder_.Path(), refusal.source, refusal.destination);
    ASSERT_EQ(finished.output.substr(0, announcement.size()), announcement);
    const std::string line = finished.output.substr(announcement.size());
    EXPECT_TRUE(std::regex_match(line, std::regex(refusal.line))) << line;
    EXPECT_EQ(FileCount(), 3U);
    EXPECT_EQ(ReadBytes(folder_ / "Report.TXT"), "upper case report\n");
    EXPECT_EQ(ReadBytes(folder_ / "report.txt"), "lower case report, longer\n");
  }
}

// Share access 0 holds against another process that has the file open.
TEST_F(CliTest, SourceHeldOpenElsewhereIsRefused) {
  const int holder = open((folder_ / "Report.TXT").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);

  const Finished finished = RunTool({"Report.TXT", "out.txt"}, folder_.Path());
  close(holder);

  EXPECT_EQ(finished.code, 1);
  EXPECT_EQ(finished.output, Announcement(folder_.Path(), "Report.TXT", "out.txt") +
                                 "Error openning, Status=c0000043\n");
  EXPECT_FALSE(fs::exists(folder_ / "out.txt"));
}

// A path that cannot be translated is named as typed, before any file is touched.
TEST_F(CliTest, UnresolvablePathsAreNamedAsTyped) {
  struct Unresolvable {
    std::vector<std::string> arguments;
    const char* line;
  };
  const Unresolvable cases[] = {
      {{"Q:\\in.txt", "out.txt"}, "Error resolving Q:\\in.txt, Status=c0000034\n"},
      {{"Report.TXT", "Q:\\out.txt"}, "Error resolving Q:\\out.txt, Status=c0000034\n"},
      {{"Report.TXT", "Z:out.txt"}, "Error resolving Z:out.txt, Status=c000003b\n"},
  };
  for (const Unresolvable& unresolvable : cases) {
    SCOPED_TRACE(unresolvable.line);
    const Finished finished = RunTool(unresolvable.arguments, folder_.Path());
    EXPECT_EQ(finished.code, 1);
    EXPECT_EQ(finished.output, unresolvable.line);
    EXPECT_EQ(FileCount(), 2U);
  }
}

TEST_F(CliTest, ArgumentThatIsNotUtf8IsRefused) {
  const Finished finished = RunTool({"Report.TXT", "out\xff.txt"}, folder_.Path());

  EXPECT_EQ(finished.code, 1);
  EXPECT_TRUE(std::regex_match(finished.output, std::regex("Error[^\n]*\n"))) << finished.output;
  EXPECT_EQ(FileCount(), 2U);
}

// The pause waits for a line while standard input is open, after the copy is done.
TEST_F(CliTest, PauseWaitsForALine) {
  Child child = Start({"Report.TXT", "out.txt"}, folder_.Path(), true);
  ASSERT_GT(child.pid, 0);
  const auto limit = std::chrono::steady_clock::now() + kHangLimit;
  while (ReadBytes(folder_ / "out.txt") != "upper case report\n" &&
         std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(200ms);
  int status = 0;
  EXPECT_EQ(waitpid(child.pid, &status, WNOHANG), 0) << "the tool did not wait for Enter";

  EXPECT_EQ(write(child.input, "\n", 1), 1);
  const Finished finished = Wait(child);
  ASSERT_TRUE(finished.exited);
  EXPECT_EQ(finished.code, 0);
  EXPECT_EQ(finished.output, Announcement(folder_.Path(), "Report.TXT", "out.txt"));
}

}  // namespace
