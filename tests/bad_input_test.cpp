// Bad input, end to end: each run of the built tool gives either a correct copy or
// exactly one error line and exit 1; none crashes or hangs, and no file in the test's
// folder changes except the destination of a copy.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/scratch.h"

namespace {

enum class Outcome { Copy, Resolving, Opening, Creating, CommandLine };

struct BadInput {
  const char* name;
  std::string source;       // {dir}: the folder's drive path, {root}: it without "Z:"
  std::string destination;  // {fit}: a name whose native path takes 259 units
  Outcome outcome;
  std::string status;     // expected in the error line; empty: any
  std::string copied{};   // Copy: the file the destination must equal
  std::string created{};  // Copy: the destination, relative to the folder
  std::string argument0{};
};

const std::string k259(259, 'n');
const std::string k260(260, 'n');
const std::string k2000(2000, 'n');

const std::vector<BadInput> kBadInputs = {
    {"EmptySource", "", "out.txt", Outcome::Opening, ""},
    {"EmptyDestination", "Source.txt", "", Outcome::Creating, ""},
    {"BothEmpty", "", "", Outcome::Opening, ""},
    {"Relative259", k259, "out.txt", Outcome::Resolving, "c0000106"},
    {"Relative260", "Source.txt", k260, Outcome::Resolving, "c0000106"},
    {"Relative2000", k2000, "out.txt", Outcome::Resolving, "c0000106"},
    {"Drive259", "{dir}\\" + k259.substr(0, 259 - 30), "out.txt", Outcome::Resolving, "c0000106"},
    {"NativeOf259Fits", "Source.txt", "{fit}", Outcome::Copy, "", "Source.txt", "{fit}"},
    {"NativeOf260Refused", "Source.txt", "{fit}x", Outcome::Resolving, "c0000106"},
    {"InvalidUtf8Byte", "\xff.txt", "out.txt", Outcome::CommandLine, ""},
    {"TruncatedUtf8", "Source.txt", "out\xc3.txt", Outcome::CommandLine, ""},
    {"EncodedSurrogate", "\xed\xa0\x80.txt", "out.txt", Outcome::CommandLine, ""},
    {"OverlongUtf8", "\xc0\xae\xc0\xae", "out.txt", Outcome::CommandLine, ""},
    {"Percent", "100%s%x.txt", "out%s%x%n.txt", Outcome::Copy, "", "100%s%x.txt", "out%s%x%n.txt"},
    {"ForwardSlashSource", "tools/Source.txt", "out.txt", Outcome::Opening, "c0000033"},
    {"ForwardSlashDestination", "Source.txt", "tools/out.txt", Outcome::Creating, "c0000033"},
    {"DotDotPastRootDrive", "Z:\\..\\..\\..{root}\\Source.txt", "out.txt", Outcome::Opening,
     "c0000033"},
    {"DotDotPastRootRelative", "..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\etc\\hostname", "out.txt",
     Outcome::Opening, "c0000033"},
    {"DotDotDestination", "Source.txt", "Z:\\..\\..{root}\\out.txt", Outcome::Creating, "c0000033"},
    {"DriveAlone", "C:", "out.txt", Outcome::Resolving, "c000003b"},
    {"DriveRelative", "Source.txt", "C:foo", Outcome::Resolving, "c000003b"},
    {"SeparatorAlone", "\\", "out.txt", Outcome::Opening, "c00000ba"},
    {"SeparatorAsDestination", "Source.txt", "\\", Outcome::Creating, ""},
    {"TwoSeparators", "\\\\", "out.txt", Outcome::Resolving, "c000003b"},
    {"ServerWithoutShare", "\\\\server", "out.txt", Outcome::Resolving, "c000003b"},
    {"NetworkPath", "\\\\server\\share\\x", "out.txt", Outcome::Opening, "c000003a"},
    {"DeviceNamespace", "\\\\?\\C:\\x", "out.txt", Outcome::Resolving, "c000003b"},
    {"DotNamespace", "Source.txt", "\\\\.\\C:\\x", Outcome::Resolving, "c000003b"},
    {"LowercaseDrive", "z:{root}\\Source.txt", "z:{root}\\lower.txt", Outcome::Copy, "",
     "Source.txt", "lower.txt"},
    {"RootedOnCurrentDrive", "{root}\\Source.txt", "{root}\\rooted.txt", Outcome::Copy, "",
     "Source.txt", "rooted.txt"},
    {"DriveWithoutLink", "Q:\\x", "out.txt", Outcome::Resolving, "c0000034"},
    {"InvokedFromSubfolder", "Source.txt", "out.txt", Outcome::Copy, "", "tools/Source.txt",
     "tools/out.txt", "tools\\vantro"},
    {"InvokedWithDot", "Source.txt", "out.txt", Outcome::Copy, "", "Source.txt", "out.txt",
     ".\\vantro.exe"},
    {"InvokedAboveRoot", "{dir}\\Source.txt", "{dir}\\out.txt", Outcome::Copy, "", "Source.txt",
     "out.txt", "tools\\..\\..\\..\\..\\..\\..\\..\\..\\..\\vantro"},
    {"InvokedWithForwardSlash", "Source.txt", "out.txt", Outcome::Copy, "", "Source.txt", "out.txt",
     "tools/vantro"},
};

// Names the row in test listings instead of its bytes.
void PrintTo(const BadInput& input, std::ostream* out) {
  *out << input.name;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

const char* OutcomeLine(Outcome outcome) {
  switch (outcome) {
    case Outcome::Resolving: return "Error resolving ";
    case Outcome::Opening: return "Error openning, ";
    case Outcome::Creating: return "Error creating, ";
    case Outcome::CommandLine: return "Error reading the command line: ";
    case Outcome::Copy: break;
  }
  return "";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end = text.find('\n'); end != std::string::npos;
       start = end + 1, end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) {
    lines.push_back(text.substr(start));
  }
  return lines;
}

class BadInputTest : public testing::TestWithParam<BadInput> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(VantroPath().empty()) << "VANTRO_EXE names the binary under test";
    WriteBytes(folder_ / "Source.txt", RandomBytes(40000, 1));
    WriteBytes(folder_ / "100%s%x.txt", RandomBytes(100, 2));
    std::filesystem::create_directory(folder_ / "tools");
    WriteBytes(folder_ / "tools/Source.txt", RandomBytes(20000, 3));
  }

  // {fit} fills a relative name up to a native path of 259 units in all.
  std::string Expand(std::string text) const {
    ReplaceAll(text, "{fit}", std::string(259 - folder_.VolumePath("").size(), 'f'));
    ReplaceAll(text, "{dir}", folder_.DrivePath());
    ReplaceAll(text, "{root}", folder_.DrivePath().substr(2));
    return text;
  }

  ScratchFolder folder_;
};

void ExpectErrorLine(const BadInput& input, const std::string& output, const std::string& typed) {
  const std::vector<std::string> lines = Lines(output);
  std::size_t errors = 0;
  for (const std::string& line : lines) {
    errors += line.rfind("Error", 0) == 0 ? 1 : 0;
  }
  ASSERT_EQ(errors, 1U) << output;
  ASSERT_EQ(lines.back().rfind(OutcomeLine(input.outcome), 0), 0U) << output;
  if (input.outcome == Outcome::Resolving) {
    // Nothing announced; the text as typed, or its start and end around "..." where the
    // line would not fit the message buffer, and always the status and the line end.
    const std::string start = "Error resolving ";
    const std::string end = ", Status=" + input.status + "\n";
    ASSERT_EQ(output.rfind(start, 0), 0U) << output;
    ASSERT_TRUE(output.ends_with(end)) << output;
    const std::string shown =
        output.substr(start.size(), output.size() - start.size() - end.size());
    if (start.size() + typed.size() + end.size() <= 1023) {
      EXPECT_EQ(shown, typed);
    } else {
      EXPECT_EQ(output.size(), 1023U - (8 - input.status.size()));
      const std::size_t dots = shown.find("...");
      ASSERT_NE(dots, std::string::npos) << output;
      EXPECT_EQ(typed.rfind(shown.substr(0, dots), 0), 0U);
      EXPECT_TRUE(typed.ends_with(shown.substr(dots + 3)));
    }
  } else if (!input.status.empty()) {
    EXPECT_NE(lines.back().find("Status=" + input.status), std::string::npos) << output;
  }
  if (input.outcome == Outcome::Opening || input.outcome == Outcome::Creating) {
    EXPECT_EQ(output.rfind("src=", 0), 0U) << output;
  }
}

TEST_P(BadInputTest, CopiesOrRefusesWithOneLine) {
  const BadInput& input = GetParam();
  const std::string source = Expand(input.source);
  const std::string destination = Expand(input.destination);
  const Snapshot before = folder_.TakeSnapshot();
  const RunResult run =
      RunVantro({source, destination}, {.directory = folder_.Path(), .argument0 = input.argument0});
  ASSERT_TRUE(run.exited) << "signal " << run.signal << (run.timedOut ? ", timed out" : "");
  Snapshot after = folder_.TakeSnapshot();
  if (input.outcome == Outcome::Copy) {
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::string created = Expand(input.created);
    EXPECT_EQ(ReadBytes(folder_ / created), ReadBytes(folder_ / input.copied));
    EXPECT_EQ(after.erase(created), 1U) << "no destination " << created;
  } else {
    EXPECT_EQ(run.exitCode, 1) << run.output;
    // A refused translation names the argument that failed: the source unless it is the
    // good one.
    ExpectErrorLine(input, run.output, source == "Source.txt" ? destination : source);
  }
  EXPECT_EQ(after, before) << "files changed besides the destination";
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, BadInputTest, testing::ValuesIn(kBadInputs),
                         [](const testing::TestParamInfo<BadInput>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
