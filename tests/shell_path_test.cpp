// The platform's path and text functions, held to what path translation relies on. The
// Windows build runs this against the real shlwapi and kernel32, which keeps the
// stand-in's versions honest.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "native/windows_api.h"
#include "tests/support/wide_text.h"

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
  for (const PathCase& row : cases) {
    SCOPED_TRACE(Narrow(row.path));
    EXPECT_EQ(PathGetDriveNumberW(row.path), row.drive);
    EXPECT_EQ(PathIsRelativeW(row.path) != FALSE, row.relative);
    if (row.restAt != kAnyResult) {
      const WCHAR* rest = PathSkipRootW(row.path);
      EXPECT_EQ(rest, row.restAt == kNoRoot ? nullptr : row.path + row.restAt);
    }
    if (row.withoutFileSpec != nullptr) {
      WideString path = row.path;
      PathRemoveFileSpecW(path.data());
      EXPECT_EQ(Narrow(path.c_str()), row.withoutFileSpec);
    }
  }
}

TEST(ShellPathTest, TextFunctions) {
  EXPECT_EQ(lstrlenW(WIDE("")), 0);
  EXPECT_EQ(lstrlenW(WIDE("a\\b/c")), 5);
  EXPECT_EQ(lstrlenW(nullptr), 0);

  WCHAR buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), WIDE('#'));
  EXPECT_EQ(StrCpyW(buffer, WIDE("ab")), buffer);
  EXPECT_EQ(Narrow(buffer, 8), "ab\\u0000#####");
  EXPECT_EQ(StrCatW(buffer, WIDE("\\Cd")), buffer);
  EXPECT_EQ(Narrow(buffer, 8), "ab\\Cd\\u0000##");
  EXPECT_EQ(StrCatW(buffer, WIDE("")), buffer);
  EXPECT_EQ(Narrow(buffer), "ab\\Cd");
}

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
  EXPECT_GE(PathGetDriveNumberW(exact.c_str()), 0);
  EXPECT_EQ(exact[2], WIDE('\\'));
}

}  // namespace
