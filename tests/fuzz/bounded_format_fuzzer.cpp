// BoundedFormat over any format, any arguments and any capacity up to the message
// buffer's: it writes nothing past the capacity, always terminates for a capacity of
// one unit or more, and its text is the unbounded formatting cut to capacity - 1.
#include <cstddef>
#include <cstdint>
#include <string>

#include "console/console.h"
#include "tests/fuzz/fuzz_text.h"
#include "tests/fuzz/guarded.h"

namespace {

constexpr std::size_t kStrings = 4;
constexpr std::size_t kDirectives = 2 * kStrings;  // alternately %s and %x

// The k-th directive must read the k-th argument with its own type: each directive is
// given the letter of its argument, and one beyond the list loses its '%'. The scan
// reads directives exactly as BoundedFormat does.
void MatchDirectives(std::u16string& format) {
  std::size_t directive = 0;
  for (std::size_t at = 0; at + 1 < format.size(); ++at) {
    if (format[at] != u'%' || (format[at + 1] != u's' && format[at + 1] != u'x')) {
      continue;
    }
    if (directive < kDirectives) {
      format[at + 1] = directive % 2 == 0 ? u's' : u'x';
      ++directive;
      ++at;
    } else {
      format[at] = u'#';
    }
  }
}

void AppendHex(std::u16string& out, std::uint32_t value) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), u"0123456789abcdef"[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  out += digits;
}

// The same directives, without any bound.
std::u16string FormatUnbounded(const std::u16string& format, const char16_t* const* strings,
                               const std::uint32_t* numbers) {
  std::u16string out;
  std::size_t directive = 0;
  for (std::size_t at = 0; at < format.size() && format[at] != 0; ++at) {
    const char16_t next = at + 1 < format.size() ? format[at + 1] : 0;
    if (format[at] == u'%' && (next == u's' || next == u'x')) {
      if (next == u's') {
        const char16_t* text = strings[directive / 2];
        out += text != nullptr ? std::u16string(text) : std::u16string(u"(null)");
      } else {
        AppendHex(out, numbers[directive / 2]);
      }
      ++directive;
      ++at;
    } else {
      out.push_back(format[at]);
    }
  }
  return out;
}

std::uint32_t Number(fuzz::FieldReader& input) {
  std::uint32_t value = 0;
  for (int byte = 0; byte < 4; ++byte) {
    value = value << 8 | input.Byte();
  }
  return value;
}

void CheckResult(const fuzz::GuardedBuffer& buffer, std::uint32_t result,
                 const std::u16string& expected) {
  buffer.CheckGuards("message buffer");
  const std::size_t capacity = buffer.units();
  if (capacity == 0) {
    if (result != kFormatInvalidArgument) {
      fuzz::Fail("capacity 0 accepted");
    }
    return;
  }
  const std::size_t length = buffer.TerminatedLength("message buffer");
  const std::size_t kept = expected.size() < capacity - 1 ? expected.size() : capacity - 1;
  if (length != kept || std::u16string(buffer.data(), length) != expected.substr(0, kept)) {
    fuzz::Fail("text differs from the unbounded formatting cut to capacity");
  }
  const std::uint32_t wanted = expected.size() > capacity - 1 ? kFormatTruncated : kFormatOk;
  if (result != wanted) {
    fuzz::Fail("wrong result code");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FieldReader input(data, size);
  const std::size_t capacity = (input.Byte() << 8 | input.Byte()) % (kMessageUnits + 1);
  const std::uint8_t flags = input.Byte();
  std::uint32_t numbers[kStrings];
  for (std::uint32_t& number : numbers) {
    number = Number(input);
  }
  std::u16string format = input.Field();
  MatchDirectives(format);
  std::u16string texts[kStrings];
  const char16_t* strings[kStrings];
  for (std::size_t at = 0; at < kStrings; ++at) {
    texts[at] = input.Field();
    strings[at] = texts[at].c_str();
  }
  if ((flags & 2) != 0) {
    strings[kStrings - 1] = nullptr;
  }
  fuzz::GuardedBuffer buffer(capacity);
  // An odd size in bytes holds the same number of whole units.
  const std::size_t bytes = capacity * sizeof(char16_t) + (flags & 1);
  const std::uint32_t result =
      BoundedFormat(buffer.data(), bytes, format.c_str(), strings[0], numbers[0], strings[1],
                    numbers[1], strings[2], numbers[2], strings[3], numbers[3]);
  CheckResult(buffer, result, FormatUnbounded(format, strings, numbers));
  return 0;
}
