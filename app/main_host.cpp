// The process start-up of the host build: the UTF-8 arguments become the wide
// arguments the driver takes, in a fixed pool as long as a Windows command line.
#include <cstdio>
#include <cstring>

#include "app/driver.h"
#include "standin/start_up.h"

namespace {

constexpr std::size_t kCommandLineUnits = 32768;
// The driver reads the program's name, the source and the destination, and whether a
// further argument is "/E"; the others are ignored, so they are not decoded either.
constexpr int kDriverArguments = 3;

WCHAR argumentPool[kCommandLineUnits];
WCHAR treeSwitch[] = u"/E";
WCHAR* arguments[kDriverArguments + 2];

bool AsksForTree(int argc, char* argv[]) {
  for (int index = kDriverArguments; index < argc; ++index) {
    if (std::strcmp(argv[index], "/E") == 0 || std::strcmp(argv[index], "/e") == 0) {
      return true;
    }
  }
  return false;
}

int Refuse(const char* reason, int index) {
  std::fprintf(stderr, "Error reading the command line: argument %d %s\n", index, reason);
  return 1;
}

constexpr const char* kNotUtf8 = "is not valid UTF-8";
constexpr const char* kTooLong = "makes the command line longer than 32767 characters";

}  // namespace

int main(int argc, char* argv[]) {
  standin::InstallProcessEndRule();
  const int decoded = argc < kDriverArguments ? argc : kDriverArguments;
  std::size_t used = 0;
  for (int index = 0; index < decoded; ++index) {
    const int length =
        standin::Utf8ToUtf16(argv[index], argumentPool + used, kCommandLineUnits - used);
    if (length < 0) {
      // A name that cannot be decoded is never replaced by another one.
      return Refuse(length == standin::kNoRoom ? kTooLong : kNotUtf8, index);
    }
    arguments[index] = argumentPool + used;
    used += static_cast<std::size_t>(length) + 1;
  }
  const int passed = decoded + (AsksForTree(argc, argv) ? 1 : 0);
  arguments[decoded] = passed > decoded ? treeSwitch : nullptr;
  arguments[passed] = nullptr;
  return standin::EndProcess(RunCommand(passed, arguments));
}
