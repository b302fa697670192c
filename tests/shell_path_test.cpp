// The platform's path and text functions, held to what path translation relies on, and
// where the path functions are bound from. The Windows build runs this against the real
// kernelbase and kernel32, which keeps the stand-in's versions honest.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "native/path_functions.h"
#include "pathing/path_text.h"
#include "tests/support/wide_text.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include "app/driver.h"
#include "standin/test_hooks.h"
#endif

namespace {

constexpr int kNoRoot = -1;     // PathSkipRootW gives null
constexpr int kAnyResult = -2;  // nothing is asked of the function here

struct PathCase {
  const WCHAR* path;
  const char* withoutFileSpec;  // nullptr: nothing is asked
  int drive;
  bool relative;
  int restAt;  // where PathSkipRootW's rest begins, or kNoRoot / kAnyResult
};

TEST(ShellPathTest, FunctionsTranslationRelies) {
  const PathCase cases[] = {
      {WIDE("C:\\tools\\vantro.exe"), "C:\\tools", 2, false, 3},
      {WIDE("c:\\Tools\\Sub\\"), "c:\\Tools\\Sub", 2, false, 3},
      {WIDE("C:\\vantro.exe"), "C:\\", 2, false, 3},
      {WIDE("C:\\"), "C:\\", 2, false, 3},
      {WIDE("C:vantro.exe"), "C:", 2, false, kAnyResult},
      {WIDE("C:"), "C:", 2, false, kAnyResult},
      {WIDE("a:\\x"), "a:\\", 0, false, 3},
      {WIDE("Z:\\a/b\\c/d.txt"), "Z:\\a/b", 25, false, 3},
      {WIDE("z:\\a/b"), "z:\\", 25, false, 3},
      {WIDE("\\vantro.exe"), "\\", -1, false, kAnyResult},
      {WIDE("\\a\\b"), "\\a", -1, false, kAnyResult},
      {WIDE("\\\\server\\share\\x"), nullptr, -1, false, kAnyResult},
      {WIDE("vantro.exe"), "", -1, true, kNoRoot},
      {WIDE("tools\\vantro.exe"), "tools", -1, true, kNoRoot},
      {WIDE(".\\vantro.exe"), ".", -1, true, kNoRoot},
      {WIDE("..\\x\\.\\vantro.exe"), "..\\x\\.", -1, true, kNoRoot},
      {WIDE("tools/vantro.exe"), "", -1, true, kNoRoot},
      {WIDE("/a\\b"), "/a", -1, true, kNoRoot},
      {WIDE("/a/b"), "", -1, true, kNoRoot},
      {WIDE(""), "", -1, true, kAnyResult},
      // Only letters are drives; a colon second still makes a path not relative.
      {WIDE("1:\\x"), nullptr, -1, false, kAnyResult},
      {WIDE("@:x"), nullptr, -1, false, kAnyResult},
      {WIDE("[:x"), nullptr, -1, false, kAnyResult},
      {WIDE("`:x"), nullptr, -1, false, kAnyResult},
      {WIDE("{:x"), nullptr, -1, false, kAnyResult},
  };
  ASSERT_EQ(BindPathFunctions(), nullptr);
  const PathFunctionTable& shell = PathFunctions;
  for (const PathCase& row : cases) {
    SCOPED_TRACE(Narrow(row.path));
    EXPECT_EQ(shell.PathGetDriveNumberW(row.path), row.drive);
    EXPECT_EQ(shell.PathIsRelativeW(row.path) != FALSE, row.relative);
    if (row.restAt != kAnyResult) {
      const WCHAR* rest = shell.PathSkipRootW(row.path);
      EXPECT_EQ(rest, row.restAt == kNoRoot ? nullptr : row.path + row.restAt);
    }
    if (row.withoutFileSpec != nullptr) {
      WideString path = row.path;
      shell.PathRemoveFileSpecW(path.data());
      EXPECT_EQ(Narrow(path.c_str()), row.withoutFileSpec);
    }
  }
}

// The platform's length, and the joins' own copies over it: the text and its terminator,
// nothing past them; a text that does not fit leaves the buffer as it was.
TEST(ShellPathTest, TextFunctions) {
  EXPECT_EQ(lstrlenW(WIDE("")), 0);
  EXPECT_EQ(lstrlenW(WIDE("a\\b/c")), 5);
  EXPECT_EQ(lstrlenW(nullptr), 0);

  WCHAR buffer[kPathUnits];
  std::fill(std::begin(buffer), std::end(buffer), WIDE('#'));
  EXPECT_EQ(CopyText(buffer, 3, WIDE("ab")), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(buffer, 8), "ab\\u0000#####");
  EXPECT_EQ(AppendPath(buffer, WIDE("\\Cd")), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(buffer, 8), "ab\\Cd\\u0000##");
  EXPECT_EQ(AppendPath(buffer, WIDE("")), STATUS_SUCCESS);
  EXPECT_EQ(CopyText(buffer, 3, WIDE("abc")), STATUS_NAME_TOO_LONG);
  EXPECT_EQ(Narrow(buffer, 8), "ab\\Cd\\u0000##");
}

// Bound while shlwapi.dll, which this test program does not import, stays unloaded: all
// four come from kernelbase.dll, which every process has loaded.
TEST(ShellPathTest, BoundFromTheLoadedKernelbase) {
  ASSERT_EQ(BindPathFunctions(), nullptr);
  EXPECT_EQ(GetModuleHandleW(WIDE("shlwapi.dll")), nullptr);
}

#ifndef _WIN32
// The driver's run with a missing source, standard input away from a terminal (so that it
// never waits): its exit code and output.
std::string RunDriver() {
  const int input = dup(0);
  const int empty = open("/dev/null", O_RDONLY);
  dup2(empty, 0);
  close(empty);
  WideString program = u"vantro", source = u"missing.bin", destination = u"never.out";
  WCHAR* arguments[] = {program.data(), source.data(), destination.data(), nullptr};
  testing::internal::CaptureStdout();
  const int code = RunCommand(3, arguments);
  const std::string output = testing::internal::GetCapturedStdout();
  dup2(input, 0);
  close(input);
  return std::to_string(code) + " " + output;
}

// A name kernelbase lacks (Windows 7) comes from shlwapi, loaded only then; a name neither
// has ends the run with the binding error line.
TEST(ShellPathTest, FallsBackToShlwapiElseReportsTheName) {
  const struct {
    const char* kernelbaseLacks;
    const char* shlwapiLacks;
    bool shlwapiLoaded;
    std::string starts;
  } cases[] = {
      {nullptr, nullptr, false, "1 src="},
      {"PathSkipRootW", nullptr, true, "1 src="},
      {"PathSkipRootW", "PathSkipRootW", true, "1 Error binding PathSkipRootW, Status=c0000139\n"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.starts);
    standin::ResetModules();
    standin::WithholdExport(u"kernelbase.dll", row.kernelbaseLacks);
    standin::WithholdExport(u"shlwapi.dll", row.shlwapiLacks);
    EXPECT_EQ(RunDriver().substr(0, row.starts.size()), row.starts);
    EXPECT_EQ(GetModuleHandleW(u"shlwapi.dll") != nullptr, row.shlwapiLoaded);
  }
  standin::ResetModules();
}
#endif

// Too small a buffer: the size needed with the terminator, and nothing written.
// Otherwise: the length without the terminator, as a drive path.
TEST(ShellPathTest, CurrentDirectoryContract) {
  WCHAR probe[1] = {WIDE('#')};
  const DWORD needed = GetCurrentDirectoryW(0, probe);
  ASSERT_GT(needed, 3u);
  ASSERT_LT(needed, 4096u);
  EXPECT_EQ(probe[0], WIDE('#'));

  WideString small(needed, WIDE('#'));
  EXPECT_EQ(GetCurrentDirectoryW(needed - 1, small.data()), needed);
  EXPECT_EQ(small, WideString(needed, WIDE('#')));

  WideString exact(needed + 1, WIDE('#'));
  EXPECT_EQ(GetCurrentDirectoryW(needed, exact.data()), needed - 1);
  EXPECT_EQ(exact[needed - 1], 0);
  EXPECT_EQ(exact[needed], WIDE('#'));
  EXPECT_EQ(exact[1], WIDE(':'));
  EXPECT_EQ(exact[2], WIDE('\\'));
}

}  // namespace
