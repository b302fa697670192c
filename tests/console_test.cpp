#include "console/console.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/scratch.h"
#include "tests/support/wide_text.h"

namespace {

constexpr WCHAR kGuard = 0xBEEF;
constexpr std::size_t kGuardUnits = 8;

// A buffer of whole units as BoundedFormat sees them for a size in bytes, followed by
// guard units that must come back untouched.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t sizeInBytes)
      : units_(sizeInBytes / sizeof(WCHAR)), storage_(units_ + kGuardUnits, kGuard) {}

  WCHAR* data() { return storage_.data(); }

  bool GuardsIntact() const {
    for (std::size_t at = units_; at < storage_.size(); ++at) {
      if (storage_[at] != kGuard) {
        return false;
      }
    }
    return true;
  }

 private:
  std::size_t units_;
  std::vector<WCHAR> storage_;
};

// Text without '%' whose every unit shows where it stood, so a cut is checkable.
WideString Letters(std::size_t units) {
  WideString text(units, 0);
  for (std::size_t at = 0; at < units; ++at) {
    text[at] = static_cast<WCHAR>(WIDE('a') + at % 26);
  }
  return text;
}

constexpr std::size_t kUntouched = static_cast<std::size_t>(-1);

struct EdgeCase {
  std::size_t sizeInBytes;
  std::size_t textUnits;
  std::uint32_t result;
  std::size_t shownUnits;  // units before the terminator, or kUntouched
};

TEST(BoundedFormatTest, CapacityEdges) {
  const EdgeCase cases[] = {
      {0, 5, kFormatInvalidArgument, kUntouched},
      {1, 5, kFormatInvalidArgument, kUntouched},  // half a unit is no capacity
      {2, 0, kFormatOk, 0},
      {2, 5, kFormatTruncated, 0},
      {3, 5, kFormatTruncated, 0},
      {6, 2, kFormatOk, 2},
      {6, 3, kFormatTruncated, 2},
      {kMessageBytes, 1022, kFormatOk, 1022},
      {kMessageBytes, 1023, kFormatOk, 1023},
      {kMessageBytes, 1024, kFormatTruncated, 1023},
      {kMessageBytes, 5000, kFormatTruncated, 1023},
      {kMessageBytes + 1, 1024, kFormatTruncated, 1023},
      {kMessageBytes + 2, 1024, kFormatOk, 1024},
  };
  for (const EdgeCase& edge : cases) {
    const WideString text = Letters(edge.textUnits);
    // The same text once as the format itself and once through "%s".
    for (const bool asArgument : {false, true}) {
      SCOPED_TRACE(testing::Message() << edge.sizeInBytes << " bytes, " << edge.textUnits
                                      << " units" << (asArgument ? " through %s" : ""));
      GuardedBuffer buffer(edge.sizeInBytes);
      const std::uint32_t result =
          asArgument ? BoundedFormat(buffer.data(), edge.sizeInBytes, WIDE("%s"), text.c_str())
                     : BoundedFormat(buffer.data(), edge.sizeInBytes, text.c_str());
      EXPECT_EQ(result, edge.result);
      EXPECT_TRUE(buffer.GuardsIntact());
      if (edge.shownUnits != kUntouched) {
        EXPECT_EQ(buffer.data()[edge.shownUnits], 0);
        EXPECT_EQ(WideString(buffer.data(), edge.shownUnits), text.substr(0, edge.shownUnits));
      }
    }
  }
}

std::string Format(const WCHAR* format, const WCHAR* text) {
  WCHAR buffer[kMessageUnits];
  EXPECT_EQ(BoundedFormat(buffer, sizeof buffer, format, text), kFormatOk);
  return Narrow(buffer);
}

std::string FormatHex(ULONG value) {
  WCHAR buffer[kMessageUnits];
  EXPECT_EQ(BoundedFormat(buffer, sizeof buffer, WIDE("%x"), value), kFormatOk);
  return Narrow(buffer);
}

TEST(BoundedFormatTest, StringDirectiveInsertsTextUnchanged) {
  const struct {
    const WCHAR* format;
    const WCHAR* text;
    const char* expected;
  } cases[] = {
      {WIDE("%s"), WIDE("C:\\50%x done\\%s%d%"), "C:\\50%x done\\%s%d%"},
      {WIDE("[%s]"), WIDE(""), "[]"},
      {WIDE("path %s."), WIDE("\\??\\Z:\\a b/\x00e9"), "path \\??\\Z:\\a b/\\u00e9."},
      {WIDE("%s"), WIDE("\xd83d\xde00"), "\\ud83d\\ude00"},
  };
  for (const auto& row : cases) {
    EXPECT_EQ(Format(row.format, row.text), row.expected);
  }
}

TEST(BoundedFormatTest, HexDirectiveIsLowercaseWithoutPrefixOrFill) {
  const struct {
    ULONG value;
    const char* expected;
  } cases[] = {
      {0, "0"},
      {0x7, "7"},
      {0x10, "10"},
      {0xABCDEF, "abcdef"},
      {0x80000000, "80000000"},
      {0xC0000034, "c0000034"},
      {0xFFFFFFFF, "ffffffff"},
  };
  for (const auto& row : cases) {
    EXPECT_EQ(FormatHex(row.value), row.expected);
  }
  // Digits are cut like any other text.
  WCHAR buffer[3] = {kGuard, kGuard, kGuard};
  EXPECT_EQ(BoundedFormat(buffer, sizeof buffer, WIDE("%x"), ULONG{0xC0000034}), kFormatTruncated);
  EXPECT_EQ(Narrow(buffer), "c0");
}

TEST(BoundedFormatTest, TextThatIsNoDirectiveIsCopied) {
  const struct {
    const WCHAR* format;
    const char* expected;
  } cases[] = {
      {WIDE("100% sure"), "100% sure"},
      {WIDE("%d %S %X %"), "%d %S %X %"},
      {WIDE("%"), "%"},
  };
  for (const auto& row : cases) {
    WCHAR buffer[kMessageUnits];
    EXPECT_EQ(BoundedFormat(buffer, sizeof buffer, row.format), kFormatOk);
    EXPECT_EQ(Narrow(buffer), row.expected);
  }
}

// An argument in an error line: one line whatever it holds, cut in its middle to fit.
TEST(ShowElidedOnOneLineTest, ControlsBecomeVisibleAndLongTextIsCutInItsMiddle) {
  const WideString pair = WIDE("\xd83d\xde00");
  const struct {
    WideString text;
    std::size_t room;
    WideString shown;
  } cases[] = {
      {WIDE("C:\\a b%s.txt"), 20, WIDE("C:\\a b%s.txt")},
      {WIDE("exactly10!"), 10, WIDE("exactly10!")},
      {WideString(WIDE("a\nb\rc\td\x7f\x85\x2028")) + WIDE("e"), 20,
       WideString(WIDE("a\xfffd")) + WIDE("b\xfffd") + WIDE("c\xfffd") + WIDE("d") +
           WideString(3, 0xFFFD) + WIDE("e")},
      {WIDE("0123456789ABCDEF"), 11, WIDE("0123...CDEF")},
      {WIDE("0123456789ABCDEF"), 12, WIDE("0123...BCDEF")},
      // A pair at either cut is kept whole or left out whole.
      {WIDE("abc") + pair + WIDE("0123456789") + pair + WIDE("xyz"), 11, WIDE("abc...xyz")},
      {WIDE("ab") + pair + WIDE("0123456789") + WIDE("w") + pair + WIDE("z"), 11,
       WIDE("ab") + pair + WIDE("...w") + pair + WIDE("z")},
      {WideString(2000, WIDE('x')) + WIDE("\n"), 989,
       WideString(493, WIDE('x')) + WIDE("...") + WideString(492, WIDE('x')) + WIDE("\xfffd")},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Narrow(row.text.c_str()));
    WCHAR shown[kMessageUnits];
    ShowElidedOnOneLine(shown, row.text.c_str(), row.room);
    EXPECT_EQ(WideString(shown), row.shown);
    EXPECT_LE(WideString(shown).size(), row.room);
  }
}

// A line that names a long path is shortened in the path's middle: it keeps the path's end and
// both its statuses, at their longest.
TEST(PrintNamedTest, LongPathKeepsBothStatuses) {
  const WideString path = WIDE("start") + WideString(2000, WIDE('p')) + WIDE("end");
  WCHAR message[kMessageUnits];
  OutputCapture capture;
  PrintNamed(message, WIDE("Error creating %s, Status=%x (%x)\n"), path.c_str(), 0xc0000035,
             0xc000003a);
  const std::string line = capture.Finish();
  EXPECT_TRUE(line.starts_with("Error creating start")) << line;
  EXPECT_TRUE(line.ends_with("pend, Status=c0000035 (c000003a)\n")) << line;
  EXPECT_LE(line.size(), kMessageUnits - 1);
}

std::string Repeated(const std::string& bytes, std::size_t times) {
  std::string text;
  for (std::size_t at = 0; at < times; ++at) {
    text += bytes;
  }
  return text;
}

// Redirected output is UTF-8, converted a slice of 512 units at a time: a surrogate pair
// on either side of a slice's end arrives whole, and a slice of characters that take three
// bytes each fits its conversion buffer.
TEST(ConsolePrintTest, RedirectedTextKeepsPairsAcrossSlices) {
  const WideString pair = WIDE("\xd83d\xde00");  // U+1F600
  const std::string encoded = "\xF0\x9F\x98\x80";
  struct Row {
    WideString text;
    std::string expected;
  };
  std::vector<Row> cases;
  for (const std::size_t before : {510, 511, 512, 1023, 1535}) {
    cases.push_back({WideString(before, WIDE('a')) + pair + WIDE("\xe9z"),
                     std::string(before, 'a') + encoded + "\xC3\xA9z"});
  }
  cases.push_back({WideString(1100, 0x20AC), Repeated("\xE2\x82\xAC", 1100)});  // U+20AC
  for (const Row& row : cases) {
    SCOPED_TRACE(row.text.size());
    OutputCapture capture;
    ConsolePrint(row.text.c_str());
    EXPECT_EQ(capture.Finish(), row.expected);
  }
}

}  // namespace
