// Buffers with guard units on both sides: a write past either end changes a guard,
// which the fuzzer then reports, even where the overrun stays inside one object.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fuzz {

constexpr char16_t kGuardUnit = 0xA5C3;
constexpr std::size_t kGuardUnits = 16;

[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t units)
      : units_(units), storage_(units + 2 * kGuardUnits, kGuardUnit), filled_(storage_) {}

  // Every unit a guard again, copied from the first fill: no loop the fuzzer instruments.
  void Refill() { storage_ = filled_; }

  char16_t* data() { return storage_.data() + kGuardUnits; }
  const char16_t* data() const { return storage_.data() + kGuardUnits; }
  std::size_t units() const { return units_; }

  // Fails when any guard unit was written.
  void CheckGuards(const char* name) const {
    for (std::size_t at = 0; at < kGuardUnits; ++at) {
      if (storage_[at] != kGuardUnit || storage_[kGuardUnits + units_ + at] != kGuardUnit) {
        std::fprintf(stderr, "overrun of %s (%zu units)\n", name, units_);
        Fail("guard unit changed");
      }
    }
  }

  // The units up to the terminator; fails when there is none inside the buffer.
  std::size_t TerminatedLength(const char* name) const {
    for (std::size_t at = 0; at < units_; ++at) {
      if (storage_[kGuardUnits + at] == 0) {
        return at;
      }
    }
    std::fprintf(stderr, "%s holds no terminator\n", name);
    Fail("unterminated buffer");
  }

 private:
  std::size_t units_;
  std::vector<char16_t> storage_;
  std::vector<char16_t> filled_;
};

}  // namespace fuzz
