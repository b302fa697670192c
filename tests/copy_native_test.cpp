// The copy engine on real files through the bound native services: the stand-in on
// the host, the platform's own under Wine. Both must agree on end of file, create-new,
// the directory refusal and the removal of a destination whose copy failed (the
// disposition contract it rests on is in native_services_test).
#include <gtest/gtest.h>

#include <regex>

#include "copy/copy_engine.h"
#include "native/native_services.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlock = kCopyBlockBytes;

NativeServiceTable bound;

class CopyNativeTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = NativeServices;
    ASSERT_EQ(BindNativeServices(), nullptr);
    bound = NativeServices;
  }
  void TearDown() override { NativeServices = saved_; }

  CopyOutcome Copy(const char* source, const char* destination) {
    return CopyCapturingOutput(folder_.NativePath(source), folder_.NativePath(destination));
  }

  ScratchFolder folder_;

 private:
  NativeServiceTable saved_{};
};

// Whole blocks end at the end-of-file read, a last partial block right after it.
TEST_F(CopyNativeTest, CopiesEverySizeByteForByte) {
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1}, kBlock, 3 * kBlock, 3 * kBlock + 5}) {
    SCOPED_TRACE(size);
    const std::string data = RandomBytes(size, static_cast<unsigned>(size));
    WriteBytes(folder_ / "source", data);
    fs::remove(folder_ / "copy");

    const CopyOutcome outcome = Copy("source", "copy");

    EXPECT_EQ(outcome.printed, "");
    EXPECT_TRUE(outcome.copied);
    const std::string copy = ReadBytes(folder_ / "copy");
    EXPECT_EQ(copy.size(), size);
    EXPECT_TRUE(copy == data) << "the copy differs from its source";
  }
}

struct Refusal {
  const char* name;
  const char* source;
  const char* destination;
  const char* printed;  // a pattern: the create's second field may vary by platform
};

// Whatever is refused leaves the folder as it was, byte for byte.
TEST_F(CopyNativeTest, RefusalsLeaveEveryFileAsItWas) {
  const Refusal refusals[] = {
      {"existing destination", "source", "existing",
       R"(Error creating, Status=c0000035 \((c0000035|0)\)\n)"},
      {"source as its own destination", "source", "source",
       R"(Error creating, Status=c0000035 \((c0000035|0)\)\n)"},
      {"missing destination folder", "source", "missing\\copy",
       R"(Error creating, Status=c000003a \((c000003a|0)\)\n)"},
      {"directory as source", "folder", "copy", R"(Error openning, Status=c00000ba\n)"},
      {"missing source", "absent", "copy", R"(Error openning, Status=c0000034\n)"},
  };
  WriteBytes(folder_ / "source", "the source");
  WriteBytes(folder_ / "existing", "already here");
  fs::create_directory(folder_ / "folder");
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);

    const CopyOutcome outcome = Copy(refusal.source, refusal.destination);

    EXPECT_TRUE(std::regex_match(outcome.printed, std::regex(refusal.printed))) << outcome.printed;
    EXPECT_FALSE(outcome.copied);
    EXPECT_EQ(ReadBytes(folder_ / "source"), "the source");
    EXPECT_EQ(ReadBytes(folder_ / "existing"), "already here");
    EXPECT_FALSE(fs::exists(folder_ / "copy"));
    EXPECT_FALSE(fs::exists(folder_ / "missing"));
    EXPECT_TRUE(fs::is_empty(folder_ / "folder"));
  }
}

// A read or write that fails on every second call, after the first block was written.
template <auto NativeServiceTable::*kService, NTSTATUS kFailure>
NTSTATUS NTAPI FailEverySecond(HANDLE file, HANDLE event, PIO_APC_ROUTINE routine, PVOID context,
                               PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                               PLARGE_INTEGER offset, PULONG key) {
  static int calls = 0;
  if (++calls % 2 == 0) {
    io->Status = kFailure;
    io->Information = 0;
    return kFailure;
  }
  return (bound.*kService)(file, event, routine, context, io, buffer, length, offset, key);
}

TEST_F(CopyNativeTest, FailedCopyLeavesNoDestination) {
  const std::string data = RandomBytes(3 * kBlock, 3);
  WriteBytes(folder_ / "source", data);

  NativeServices.ZwReadFile =
      FailEverySecond<&NativeServiceTable::ZwReadFile, STATUS_IO_DEVICE_ERROR>;
  CopyOutcome outcome = Copy("source", "copy");
  NativeServices.ZwReadFile = bound.ZwReadFile;
  EXPECT_EQ(outcome.printed, "Error reading, Status=c0000185\n");
  EXPECT_FALSE(outcome.copied);
  EXPECT_FALSE(fs::exists(folder_ / "copy"));

  NativeServices.ZwWriteFile = FailEverySecond<&NativeServiceTable::ZwWriteFile, STATUS_DISK_FULL>;
  outcome = Copy("source", "copy");
  NativeServices.ZwWriteFile = bound.ZwWriteFile;
  EXPECT_EQ(outcome.printed, "Error writing, Status=c000007f\n");
  EXPECT_FALSE(outcome.copied);
  EXPECT_FALSE(fs::exists(folder_ / "copy"));

  EXPECT_TRUE(ReadBytes(folder_ / "source") == data);
  EXPECT_EQ(Copy("source", "copy").printed, "");
  EXPECT_TRUE(ReadBytes(folder_ / "copy") == data);
}

}  // namespace
