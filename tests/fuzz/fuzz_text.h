// Reading a fuzzer's bytes as fields of wide text, in a form a person can also write:
// fields are separated by the byte 0xFF; every other byte is one unit, except 0xFE,
// which takes the next two bytes as one unit (high byte first), so that any 16-bit
// unit, a lone surrogate or a zero included, can occur.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

constexpr std::uint8_t kFieldEnd = 0xFF;
constexpr std::uint8_t kUnitEscape = 0xFE;

class FieldReader {
 public:
  FieldReader(const std::uint8_t* data, std::size_t size) : at_(data), end_(data + size) {}

  bool AtEnd() const { return at_ == end_; }

  std::uint8_t Byte() { return at_ == end_ ? 0 : *at_++; }

  // The next field's units, up to (not including) the next field end.
  std::u16string Field() {
    std::u16string text;
    while (at_ != end_ && *at_ != kFieldEnd) {
      const std::uint8_t byte = *at_++;
      if (byte != kUnitEscape) {
        text.push_back(static_cast<char16_t>(byte));
      } else if (end_ - at_ >= 2) {
        text.push_back(static_cast<char16_t>(at_[0] << 8 | at_[1]));
        at_ += 2;
      }
    }
    at_ += at_ != end_ ? 1 : 0;
    return text;
  }

 private:
  const std::uint8_t* at_;
  const std::uint8_t* end_;
};

}  // namespace fuzz
