// Faults on real files, end to end: a full disk, refused permissions, a source that
// changes while it is copied, two runs racing for one destination and a source held
// by another opener. Whatever happens, no half-written file is left and no existing
// file changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "app/console.h"
#include "copy/copy_engine.h"
#include "native/native_services.h"
#include "tests/test_folder.h"
#include "tests/vantro_process.h"

namespace vantro_test {
namespace {

constexpr std::size_t kMiB = 1 << 20;

class FaultsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    ASSERT_FALSE(VantroPath().empty()) << "VANTRO_EXE names the binary under test";
  }
  RunResult Run(const std::string& source, const std::string& destination,
                bool unprivileged = false) {
    return RunVantro({source, destination}, InFolder(folder_.path(), "", unprivileged));
  }
  TestFolder folder_;
};

TEST_F(FaultsTest, FullDiskIsReportedAndLeavesNoFile) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "mounting a small tmpfs needs root";
  }
  const std::string disk = folder_ / "disk";
  std::filesystem::create_directory(disk);
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "this machine refuses a tmpfs mount";
  }
  WriteBytes(folder_ / "Big.bin", PatternBytes(kMiB, 4));
  const RunResult run = Run("Big.bin", "disk\\Big.bin");
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("Error writing, Status=c000007f\n"), std::string::npos) << run.output;
  EXPECT_FALSE(std::filesystem::exists(disk + "/Big.bin"));
  umount(disk.c_str());
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
  WriteBytes(folder_ / "Source.txt", PatternBytes(5000, 5));
  WriteBytes(folder_ / "Secret.txt", PatternBytes(5000, 6));
  chmod((folder_ / "Source.txt").c_str(), 0644);
  chmod((folder_ / "Secret.txt").c_str(), 0200);
  std::filesystem::create_directory(folder_ / "locked");
  chmod((folder_ / "locked").c_str(), 0555);
  const Snapshot before = TakeSnapshot(folder_.path());
  const RunResult run = Run(GetParam().source, GetParam().destination, true);
  if (run.exitCode == 125 || run.exitCode == 127) {
    GTEST_SKIP() << "the binary cannot be run as an unprivileged user here";
  }
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find(GetParam().line), std::string::npos) << run.output;
  EXPECT_EQ(TakeSnapshot(folder_.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, PermissionTest,
    testing::Values(PermissionCase{"UnwritableFolder", "Source.txt", "locked\\out.txt",
                                   "Error creating, Status=c0000022"},
                    PermissionCase{"UnreadableSource", "Secret.txt", "out.txt",
                                   "Error openning, Status=c0000022"}),
    [](const testing::TestParamInfo<PermissionCase>& info) { return info.param.name; });

TEST_F(FaultsTest, RacingRunsLeaveOneWholeCopy) {
  WriteBytes(folder_ / "First.bin", PatternBytes(2 * kMiB, 7));
  WriteBytes(folder_ / "Second.bin", PatternBytes(2 * kMiB + 5, 8));
  for (int round = 0; round < 8; ++round) {
    const std::string target = "Out" + std::to_string(round) + ".bin";
    VantroProcess first({"First.bin", target}, InFolder(folder_.path()));
    VantroProcess second({"Second.bin", target}, InFolder(folder_.path()));
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

TEST_F(FaultsTest, SourceHeldWithoutSharingIsRefused) {
  const std::string source = folder_ / "Held.txt";
  WriteBytes(source, PatternBytes(3000, 9));
  // Another opener that shares nothing: the platform's exclusive hold on the file.
  const int holder = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  const RunResult run = Run("Held.txt", "out.txt");
  close(holder);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("Error openning, Status=c0000043\n"), std::string::npos) << run.output;
  EXPECT_FALSE(std::filesystem::exists(folder_ / "out.txt"));
}

// A source that changes after its first block was read, through the read service.
struct ChangingSource {
  const char* name;
  void (*change)(const std::string& path);
  std::size_t arrivedBytes;  // what the copy must hold: the source as it ends up
};

void PrintTo(const ChangingSource& row, std::ostream* out) {
  *out << row.name;
}

std::string changingPath;
void (*changeOnce)(const std::string&) = nullptr;
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
    ASSERT_EQ(BindNativeServices(), nullptr);
    realRead = NativeServices.ZwReadFile;
    NativeServices.ZwReadFile = ReadThenChange;
  }
  void TearDown() override { NativeServices.ZwReadFile = realRead; }
};

std::u16string NativePathOf(const std::string& posix) {
  std::u16string path = u"\\Device\\HarddiskVolume1";
  for (char unit : posix) {
    path.push_back(unit == '/' ? u'\\' : static_cast<char16_t>(unit));
  }
  return path;
}

TEST_P(ChangingSourceTest, CopyHoldsWhatWasThere) {
  const std::string source = folder_ / "Changing.bin";
  const std::string original = PatternBytes(5 * kCopyBlockBytes + 7, 10);
  WriteBytes(source, original);
  changingPath = source;
  changeOnce = GetParam().change;
  WCHAR message[kMessageUnits];
  auto data = std::make_unique<BYTE[]>(kCopyBlockBytes);
  const bool copied = CopyFileNative(
      NativePathOf(source).c_str(), NativePathOf(folder_ / "out.bin").c_str(), message, data.get());
  EXPECT_TRUE(copied);
  EXPECT_EQ(ReadBytes(folder_ / "out.bin"), original.substr(0, GetParam().arrivedBytes));
}

INSTANTIATE_TEST_SUITE_P(
    InjectedRead, ChangingSourceTest,
    testing::Values(ChangingSource{"TruncatedToFirstBlock",
                                   [](const std::string& path) {
                                     ASSERT_EQ(truncate(path.c_str(), kCopyBlockBytes), 0);
                                   },
                                   kCopyBlockBytes},
                    ChangingSource{"TruncatedInsideSecondBlock",
                                   [](const std::string& path) {
                                     ASSERT_EQ(truncate(path.c_str(), kCopyBlockBytes + 100), 0);
                                   },
                                   kCopyBlockBytes + 100},
                    // A removed name leaves the open file readable to its end.
                    ChangingSource{
                        "Removed",
                        [](const std::string& path) { ASSERT_EQ(unlink(path.c_str()), 0); },
                        5 * kCopyBlockBytes + 7}),
    [](const testing::TestParamInfo<ChangingSource>& info) { return info.param.name; });

}  // namespace
}  // namespace vantro_test
