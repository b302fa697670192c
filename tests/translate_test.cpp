// Path translation over the stand-in's object namespace, with drive links of the test's
// own: D: and E: back a scratch folder, Z: is the POSIX root as at start.
#include "pathing/translate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "copy/native_file.h"
#include "native/native_services.h"
#include "native/path_functions.h"
#include "pathing/path_text.h"
#include "standin/test_hooks.h"
#include "tests/support/bound_services.h"
#include "tests/support/scratch.h"
#include "tests/support/wide_text.h"

namespace {

namespace fs = std::filesystem;

constexpr NTSTATUS kSyntaxBad = STATUS_OBJECT_PATH_SYNTAX_BAD;
constexpr NTSTATUS kNoLink = STATUS_OBJECT_NAME_NOT_FOUND;
constexpr NTSTATUS kTooLong = STATUS_NAME_TOO_LONG;

// The link buffers as the driver prepares them.
template <typename Buffers>
Buffers Prepared() {
  Buffers buffers{};
  CopyText(buffers.link.name, kLinkNameUnits, kDriveLinkText);
  return buffers;
}

struct Outcome {
  NTSTATUS status;
  std::string path;
  std::string typed;  // the end of the path from its first typed name on
};

// The drive path's native form under the stand-in's Z:, the POSIX root.
std::string ZNative(const std::string& device, const fs::path& posix) {
  std::string path = device + posix.string();
  for (char& unit : path) {
    unit = unit == '/' ? '\\' : unit;
  }
  return path;
}

class TranslateTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(BindNativeServices(), nullptr);
    ASSERT_EQ(BindPathFunctions(), nullptr);
    start_ = fs::current_path();
    ASSERT_TRUE(standin::AddDriveLink(u'D', u"\\Device\\UnitD", scratch_.Path().c_str()));
    ASSERT_TRUE(standin::AddDriveLink(u'E', u"\\Device\\UnitE", scratch_.Path().c_str()));
    NativeArgument z = Prepared<NativeArgument>();
    ASSERT_EQ(ResolveDriveTarget(u"Z:\\", z.link), STATUS_SUCCESS);
    zDevice_ = Narrow(z.link.target);
  }

  // Every resolution closes the link it opened.
  void TearDown() override {
    EXPECT_EQ(standin::OpenHandleCount(), 0U) << "a link handle was left open";
    standin::ResetNamespace();
    fs::current_path(start_);
  }

  // The driver's order: the base prefix first, then the argument.
  static Outcome Translate(const std::string& invocation, const std::string& argument) {
    WideString program = Widen(invocation);
    BaseDirectory base = Prepared<BaseDirectory>();
    NativeArgument out = Prepared<NativeArgument>();
    ComputeBasePrefix(program.data(), base);
    const NTSTATUS status = ComposeNativePath(Widen(argument).c_str(), base, out);
    if (status != STATUS_SUCCESS) {
      return {status, "", ""};
    }
    NativeFile file{};  // the path as the open is handed it
    DescribeFile(file, out.path);
    return {status, Narrow(file.name.Buffer, file.name.Length / sizeof(WCHAR)),
            Narrow(out.path + out.typedAt)};
  }

  // The typed names are the argument's own, after its root.
  void ExpectTranslation(const std::string& invocation, const std::string& argument,
                         const std::string& expected, const std::string& typed = "") {
    SCOPED_TRACE(invocation + " " + argument);
    const Outcome outcome = Translate(invocation, argument);
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.path, expected);
    if (!typed.empty()) {
      EXPECT_EQ(outcome.typed, typed);
    }
  }

  void ExpectRefusal(const std::string& invocation, const std::string& argument, NTSTATUS status) {
    SCOPED_TRACE(invocation + " " + argument);
    EXPECT_EQ(Translate(invocation, argument).status, status);
  }

  ScratchFolder scratch_;
  fs::path start_;
  std::string zDevice_;
};

// Past the root, the user's text arrives unit for unit: relative, drive, rooted and network
// paths alike. (A lowercase drive letter opens the uppercase link: see the next test.)
TEST_F(TranslateTest, ArgumentsKeepTheirTextAsTyped) {
  fs::current_path(scratch_.Path());
  ASSERT_TRUE(standin::AddLink(u"\\??\\UNC", u"\\Device\\UnitNet"));
  const struct {
    std::string invocation;
    std::string argument;
    std::string expected;
    std::string typed;
  } cases[] = {
      {"D:\\tools\\vantro.exe", "Report.TXT", "\\Device\\UnitD\\tools\\Report.TXT", "Report.TXT"},
      {"d:\\Tools\\vantro.exe", "..\\a/b\\.\\..\\Mixed.Case",
       "\\Device\\UnitD\\Tools\\..\\a/b\\.\\..\\Mixed.Case", "..\\a/b\\.\\..\\Mixed.Case"},
      {"D:\\tools\\vantro.exe", "./x/../Y.txt", "\\Device\\UnitD\\tools\\./x/../Y.txt",
       "./x/../Y.txt"},
      {"D:\\tools\\vantro.exe", "E:\\Save\\report.TXT", "\\Device\\UnitE\\Save\\report.TXT",
       "Save\\report.TXT"},
      {"D:\\tools\\vantro.exe", "e:\\Save/x\\..\\.\\Y", "\\Device\\UnitE\\Save/x\\..\\.\\Y",
       "Save/x\\..\\.\\Y"},
      {"D:\\tools\\vantro.exe", "E:\\", "\\Device\\UnitE\\", ""},
      // A drive-root base: one separator between the device and the name.
      {"D:\\vantro.exe", "Report.TXT", "\\Device\\UnitD\\Report.TXT", "Report.TXT"},
      {"d:\\vantro.exe", "sub\\r.txt", "\\Device\\UnitD\\sub\\r.txt", "sub\\r.txt"},
      // Rooted on the current drive (the scratch folder is on Z:), whatever the base.
      {"vantro.exe", "\\x\\Y.txt", zDevice_ + "\\x\\Y.txt", "x\\Y.txt"},
      {"D:\\t\\vantro.exe", "\\a/b\\.\\c", zDevice_ + "\\a/b\\.\\c", "a/b\\.\\c"},
      {"D:\\t\\vantro.exe", "\\\\server\\share\\Rest/x.txt",
       "\\Device\\UnitNet\\server\\share\\Rest/x.txt", "Rest/x.txt"},
  };
  for (const auto& row : cases) {
    ExpectTranslation(row.invocation, row.argument, row.expected, row.typed);
  }
}

TEST_F(TranslateTest, SameDriveResolvesThroughEachOwnBuffers) {
  WCHAR program[] = u"D:\\tools\\vantro.exe";
  BaseDirectory base = Prepared<BaseDirectory>();
  NativeArgument source = Prepared<NativeArgument>();
  NativeArgument destination = Prepared<NativeArgument>();
  ASSERT_EQ(ComputeBasePrefix(program, base), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(base.directory), "D:\\tools");
  EXPECT_EQ(Narrow(base.prefix), "\\Device\\UnitD\\tools\\");
  ASSERT_EQ(ComposeNativePath(u"d:\\a\\Src.txt", base, source), STATUS_SUCCESS);
  ASSERT_EQ(ComposeNativePath(u"D:\\b\\dst.TXT", base, destination), STATUS_SUCCESS);
  EXPECT_EQ(Narrow(source.path), "\\Device\\UnitD\\a\\Src.txt");
  EXPECT_EQ(Narrow(destination.path), "\\Device\\UnitD\\b\\dst.TXT");
  for (const DriveLink* link : {&base.link, &source.link, &destination.link}) {
    EXPECT_EQ(Narrow(link->name), "\\??\\D:");
    EXPECT_EQ(Narrow(link->target), "\\Device\\UnitD");
  }
}

TEST_F(TranslateTest, RefusesWhatHasNoDeviceTarget) {
  const struct {
    const char* invocation;
    const char* argument;
    NTSTATUS status;
  } cases[] = {
      {"D:\\t\\vantro.exe", "D:", kSyntaxBad},
      {"D:\\t\\vantro.exe", "d:foo", kSyntaxBad},
      {"D:\\t\\vantro.exe", "\\\\?\\D:\\x", kSyntaxBad},
      {"D:\\t\\vantro.exe", "\\\\.\\x", kSyntaxBad},
      {"D:\\t\\vantro.exe", "\\\\", kSyntaxBad},
      {"D:\\t\\vantro.exe", "\\\\server", kSyntaxBad},
      {"D:\\t\\vantro.exe", "\\\\server\\", kSyntaxBad},
      {"D:\\t\\vantro.exe", "Q:\\x", kNoLink},
      {"D:vantro.exe", "x", kSyntaxBad},  // a drive-relative base
  };
  for (const auto& row : cases) {
    ExpectRefusal(row.invocation, row.argument, row.status);
  }
}

// The longest native path a counted string holds, 32,766 units, is composed and handed to
// the open whole; one unit more is refused, never cut.
TEST_F(TranslateTest, RefusesPathsTooLongForAPathBuffer) {
  const std::string device = "\\Device\\UnitD";
  const std::string prefix = device + "\\tools\\";
  const std::size_t absoluteRest = kPathMaxLength - device.size() - 1;
  const std::size_t relativeRest = kPathMaxLength - prefix.size();
  const std::string invocation = "D:\\tools\\vantro.exe";
  for (const std::size_t extra : {0, 1}) {
    const std::string absolute = "D:\\" + std::string(absoluteRest + extra, 'a');
    const std::string relative(relativeRest + extra, 'r');
    if (extra == 0) {
      ExpectTranslation(invocation, absolute, device + "\\" + absolute.substr(3));
      ExpectTranslation(invocation, relative, prefix + relative);
    } else {
      ExpectRefusal(invocation, absolute, kTooLong);
      ExpectRefusal(invocation, relative, kTooLong);
    }
  }
}

TEST_F(TranslateTest, LinkTargetsUpToTheOfferedBuffer) {
  // The query offers 32,766 units; the stand-in's targets take up to 1,023.
  for (const std::size_t units : {130, 259, 1023}) {
    SCOPED_TRACE(units);
    const WideString device = u"\\Device\\" + WideString(units - 8, u'v');
    ASSERT_TRUE(standin::AddDriveLink(u'L', device.c_str(), scratch_.Path().c_str()));
    NativeArgument l = Prepared<NativeArgument>();
    EXPECT_EQ(ResolveDriveTarget(u"L:\\x", l.link), STATUS_SUCCESS);
    EXPECT_EQ(WideString(l.link.target), device);
  }
}

// A platform that reports more than it was offered is not believed: nothing is read or
// written past the offer.
NTSTATUS NTAPI QueryClaimingTooMuch(HANDLE /*link*/, PUNICODE_STRING target, PULONG returned) {
  std::fill_n(target->Buffer, target->MaximumLength / sizeof(WCHAR), u'v');
  target->Length = static_cast<USHORT>(target->MaximumLength + sizeof(WCHAR));
  *returned = target->Length + sizeof(WCHAR);
  return STATUS_SUCCESS;
}

TEST_F(TranslateTest, LinkLengthBeyondTheOfferIsRefused) {
  const BoundServices services;
  NativeServices.ZwQuerySymbolicLinkObject = QueryClaimingTooMuch;
  NativeArgument d = Prepared<NativeArgument>();
  EXPECT_EQ(ResolveDriveTarget(u"D:\\x", d.link), STATUS_BUFFER_TOO_SMALL);
}

// From a current directory longer than 259 units.
TEST_F(TranslateTest, RelativeInvocationIsTakenAgainstTheCurrentDirectory) {
  const fs::path deep = scratch_ / std::string(150, 'd') / std::string(150, 'd');
  fs::create_directories(deep);
  fs::current_path(deep);
  const std::string here = ZNative(zDevice_, deep);
  const struct {
    const char* invocation;
    std::string prefix;
  } cases[] = {
      {"vantro.exe", here + "\\"},
      {".\\vantro.exe", here + "\\"},
      {"tools\\vantro.exe", here + "\\tools\\"},
      {"tools\\..\\x\\vantro.exe", here + "\\x\\"},
      {".\\a\\.\\b\\vantro.exe", here + "\\a\\b\\"},
      {"..\\vantro.exe", ZNative(zDevice_, deep.parent_path()) + "\\"},
      {"..\\..\\..\\..\\..\\..\\..\\..\\..\\vantro.exe", zDevice_ + "\\"},
  };
  for (const auto& row : cases) {
    ExpectTranslation(row.invocation, "f.TXT", row.prefix + "f.TXT");
  }
}

// A base that cannot be had matters only to a relative argument, which gets its status.
TEST_F(TranslateTest, BaseFailureReachesOnlyRelativeArguments) {
  const struct {
    std::string invocation;
    NTSTATUS status;
  } cases[] = {
      {"Q:\\x\\vantro.exe", kNoLink},
      {"D:vantro.exe", kSyntaxBad},
      {"D:\\" + std::string(kPathUnits, 'p') + "\\vantro.exe", kTooLong},
  };
  for (const auto& row : cases) {
    ExpectTranslation(row.invocation, "D:\\a.txt", "\\Device\\UnitD\\a.txt");
    ExpectRefusal(row.invocation, "a.txt", row.status);
  }
}

}  // namespace
