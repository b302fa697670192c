// The built tool end to end: started by its bare name in a scratch folder, standard
// output through a pipe, standard input from /dev/null or a pipe the test holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kUsage =
    "Usage:\nvantro <source> <destination>\nAttention: Filenames are case sensitive!";

class CliTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(VantroPath().empty()) << "VANTRO_EXE names the binary under test";
    WriteBytes(folder_ / "Report.TXT", "upper case report\n");
    WriteBytes(folder_ / "report.txt", "lower case report, longer\n");
  }

  // Typed as `vantro <arguments...>` in the folder; standard input is /dev/null, or a
  // pipe that stays open until the test writes or the run ends.
  RunOptions Typed(bool holdInput = false) const {
    return {.directory = folder_.Path(), .argument0 = "vantro", .holdInput = holdInput};
  }
  RunResult RunTool(const std::vector<std::string>& arguments) const {
    return RunVantro(arguments, Typed());
  }

  std::string Announcement(const std::string& source, const std::string& destination) const {
    return "src=" + folder_.VolumePath(source) + "\ndst=" + folder_.VolumePath(destination) +
           "\n\n";
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
    VantroProcess process(arguments, Typed(true));
    ASSERT_TRUE(process.Started());
    const RunResult finished = process.Finish();
    ASSERT_TRUE(finished.exited) << "the tool waited for input after the usage text";
    EXPECT_EQ(finished.exitCode, 0);
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
    const RunResult finished = RunTool(pick.arguments);
    EXPECT_EQ(finished.exitCode, 0);
    EXPECT_EQ(finished.output, Announcement(pick.arguments[0], pick.destination));
    EXPECT_EQ(ReadBytes(folder_ / pick.destination), pick.expected);
  }
  EXPECT_FALSE(fs::exists(folder_ / "ignored.txt"));
}

TEST_F(CliTest, CopiesMebibytesOfRandomBytes) {
  const std::string data = RandomBytes(3 * 1024 * 1024 + 123, 11);
  WriteBytes(folder_ / "random.bin", data);

  const RunResult finished = RunTool({"random.bin", "copy.bin"});

  EXPECT_EQ(finished.exitCode, 0);
  EXPECT_EQ(finished.output, Announcement("random.bin", "copy.bin"));
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
    const RunResult finished = RunTool({refusal.source, refusal.destination});
    EXPECT_EQ(finished.exitCode, 1);
    const std::string announcement = Announcement(refusal.source, refusal.destination);
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

  const RunResult finished = RunTool({"Report.TXT", "out.txt"});
  close(holder);

  EXPECT_EQ(finished.exitCode, 1);
  EXPECT_EQ(finished.output,
            Announcement("Report.TXT", "out.txt") + "Error openning, Status=c0000043\n");
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
    const RunResult finished = RunTool(unresolvable.arguments);
    EXPECT_EQ(finished.exitCode, 1);
    EXPECT_EQ(finished.output, unresolvable.line);
    EXPECT_EQ(FileCount(), 2U);
  }
}

// The start-up decodes the UTF-8 command line; what it cannot take is refused, never
// replaced by another name.
TEST_F(CliTest, CommandLineThatCannotBeDecodedIsRefused) {
  const struct {
    std::string destination;
    const char* reason;
  } cases[] = {
      {"out\xff.txt", "argument 2 is not valid UTF-8"},
      {std::string(40000, 'x'), "argument 2 makes the command line longer than 32767"},
  };
  for (const auto& row : cases) {
    const RunResult finished = RunTool({"Report.TXT", row.destination});
    EXPECT_EQ(finished.exitCode, 1);
    EXPECT_TRUE(std::regex_match(finished.output, std::regex("Error[^\n]*\n"))) << finished.output;
    EXPECT_NE(finished.output.find(row.reason), std::string::npos) << finished.output;
    EXPECT_EQ(FileCount(), 2U);
  }
}

// The pause waits for a line while standard input is open, after the copy is done.
TEST_F(CliTest, PauseWaitsForALine) {
  VantroProcess process({"Report.TXT", "out.txt"}, Typed(true));
  ASSERT_TRUE(process.Started());
  const auto limit = std::chrono::steady_clock::now() + 30s;  // only a hang reaches it
  while (ReadBytes(folder_ / "out.txt") != "upper case report\n" &&
         std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(process.Running()) << "the tool did not wait for Enter";

  EXPECT_TRUE(process.WriteInput("\n"));
  const RunResult finished = process.Finish();
  ASSERT_TRUE(finished.exited);
  EXPECT_EQ(finished.exitCode, 0);
  EXPECT_EQ(finished.output, Announcement("Report.TXT", "out.txt"));
}

}  // namespace
