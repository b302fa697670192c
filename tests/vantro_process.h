// Running the built vantro as a separate process, as a user would: standard input at
// its end, both output streams captured, and a time limit so that a hang fails a test
// instead of stalling the suite.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vantro_test {

struct RunResult {
  bool exited = false;  // ended by exit (not by a signal or the time limit)
  int exitCode = -1;
  int signal = 0;         // the signal that ended it, if any
  bool timedOut = false;  // killed at the time limit
  std::string output;     // standard output and standard error, in order
};

struct RunOptions {
  std::string directory;        // working directory; empty: the test's own
  std::string argument0;        // the invocation path as typed; empty: the binary's path
  bool asUnprivileged = false;  // drop root to nobody, so that permissions bite
  int timeoutSeconds = 30;
};

// A run in a folder, optionally typed by another invocation path or as nobody.
inline RunOptions InFolder(const std::string& directory, const std::string& argument0 = "",
                           bool asUnprivileged = false) {
  RunOptions options;
  options.directory = directory;
  options.argument0 = argument0;
  options.asUnprivileged = asUnprivileged;
  return options;
}

// The binary under test, from VANTRO_EXE.
std::string VantroPath();

// One started process; Finish waits for it within the time limit.
class VantroProcess {
 public:
  VantroProcess(const std::vector<std::string>& arguments, const RunOptions& options);
  VantroProcess(const VantroProcess&) = delete;
  VantroProcess& operator=(const VantroProcess&) = delete;
  RunResult Finish();

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  int timeoutSeconds_;
};

RunResult RunVantro(const std::vector<std::string>& arguments, const RunOptions& options = {});

// The user id nobody runs as, used where the suite runs as root.
constexpr uid_t kNobody = 65534;

}  // namespace vantro_test
