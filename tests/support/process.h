// The built vantro as a separate process, as a user starts it: both output streams
// captured, standard input the null device or a file the test has open too, and a time
// limit so that a hang fails a test instead of stalling the suite. Host: fork and exec;
// Windows: CreateProcessW, with the UTF-8 texts of the tests turned into UTF-16.
#pragma once

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

struct RunOptions {
  std::filesystem::path directory{};  // working directory; empty: the test's own
  std::string argument0{};            // the invocation path as typed; empty: the program's path
  bool asNobody = false;              // host: drop root to nobody, so that permissions bite
  // Standard input: the null device, or this file as the test opened it, so that the run
  // moves the test's own position in it.
  std::filesystem::path input{};
  int timeoutSeconds = 30;
  std::filesystem::path program{};  // the binary started; empty: VantroPath()
  // Host only. The child starts with SIGINT at its default action unless this asks for it
  // ignored, as a background job of a shell starts.
  bool interruptIgnored = false;
  long fileSizeLimit = 0;     // bytes, as `ulimit -f` sets them; 0: none
  long openFileLimit = 0;     // descriptors, as `ulimit -n` sets them; 0: as inherited
  bool closedOutput = false;  // standard output and error a pipe nobody reads, already closed
};

struct RunResult {
  bool exited = false;  // ended by exit (not by a signal or the time limit)
  int exitCode = -1;
  int signal = 0;            // the signal that ended it, if any (host)
  bool timedOut = false;     // killed at the time limit
  std::string output;        // standard output and standard error, in order
  long long inputTaken = 0;  // how far the run moved the position in its input file
};

// The binary under test, from VANTRO_EXE. A Linux path given to the Windows build under
// Wine ("/work/...") comes back as the same file on drive Z: ("Z:\work\...").
std::string VantroPath();

#ifndef _WIN32
// In a forked child: leaves root for nobody (uid and gid 65534, no groups), so that
// permissions bind. Async-signal-safe; false when the drop failed. Other users stay.
bool DropToNobody();
#endif

// One started process; Finish waits for it within the time limit, and the destructor
// kills one that was never finished.
class VantroProcess {
 public:
  VantroProcess(const std::vector<std::string>& arguments, const RunOptions& options = {});
  ~VantroProcess();
  VantroProcess(const VantroProcess&) = delete;
  VantroProcess& operator=(const VantroProcess&) = delete;

  bool Started() const;
  bool Running();
#ifndef _WIN32
  // Sends a signal, as another program on the machine would.
  bool Signal(int signalNumber);
#endif
  RunResult Finish();

 private:
  int timeoutSeconds_;
#ifdef _WIN32
  void* process_ = nullptr;
  void* input_ = nullptr;   // its standard input, the test's open of it
  void* output_ = nullptr;  // the file that takes its standard output and error
#else
  bool Reap(bool wait);

  pid_t pid_ = -1;
  int input_ = -1;   // its standard input file, the test's open of it
  int output_ = -1;  // read end of its standard output and error
  int status_ = 0;
  bool reaped_ = false;
#endif
};

RunResult RunVantro(const std::vector<std::string>& arguments, const RunOptions& options = {});
