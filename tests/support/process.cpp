#include "tests/support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

constexpr uid_t kNobody = 65534;

// In the child: everything up to exec, with only async-signal-safe calls.
[[noreturn]] void ExecChild(const char* program, char* const* argv, const RunOptions& options,
                            int input, int output) {
  if (input < 0) {
    input = open("/dev/null", O_RDONLY);
  }
  if (input < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0) {
    _exit(125);
  }
  if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) {
    _exit(125);
  }
  if (options.asNobody && !DropToNobody()) {
    _exit(125);
  }
  signal(SIGINT, options.interruptIgnored ? SIG_IGN : SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  const rlimit size{static_cast<rlim_t>(options.fileSizeLimit),
                    static_cast<rlim_t>(options.fileSizeLimit)};
  if (options.fileSizeLimit > 0 && setrlimit(RLIMIT_FSIZE, &size) != 0) {
    _exit(125);
  }
  const rlimit files{static_cast<rlim_t>(options.openFileLimit),
                     static_cast<rlim_t>(options.openFileLimit)};
  if (options.openFileLimit > 0 && setrlimit(RLIMIT_NOFILE, &files) != 0) {
    _exit(125);
  }
  execv(program, argv);
  _exit(127);
}

void CloseIfOpen(int& descriptor) {
  if (descriptor >= 0) {
    close(descriptor);
    descriptor = -1;
  }
}

}  // namespace

std::string VantroPath() {
  const char* path = std::getenv("VANTRO_EXE");
  return path != nullptr ? path : "";
}

bool DropToNobody() {
  return geteuid() != 0 ||
         (setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0);
}

VantroProcess::VantroProcess(const std::vector<std::string>& arguments, const RunOptions& options)
    : timeoutSeconds_(options.timeoutSeconds) {
  const std::string program = options.program.empty() ? VantroPath() : options.program.string();
  std::vector<std::string> all{options.argument0.empty() ? program : options.argument0};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : all) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  int out[2] = {-1, -1};
  input_ = options.input.empty() ? -1 : open(options.input.c_str(), O_RDONLY | O_CLOEXEC);
  if (pipe2(out, O_CLOEXEC) == 0 && (options.input.empty() || input_ >= 0)) {
    if (options.closedOutput) {
      CloseIfOpen(out[0]);
    }
    pid_ = fork();
    if (pid_ == 0) {
      ExecChild(program.c_str(), argv.data(), options, input_, out[1]);
    }
  }
  output_ = out[0];
  CloseIfOpen(out[1]);
}

VantroProcess::~VantroProcess() {
  if (Started() && !reaped_) {
    kill(pid_, SIGKILL);
    Reap(true);
  }
  CloseIfOpen(input_);
  CloseIfOpen(output_);
}

bool VantroProcess::Started() const {
  return pid_ > 0;
}

bool VantroProcess::Reap(bool wait) {
  if (!reaped_) {
    reaped_ = waitpid(pid_, &status_, wait ? 0 : WNOHANG) == pid_;
  }
  return reaped_;
}

bool VantroProcess::Signal(int signalNumber) {
  return Started() && !reaped_ && kill(pid_, signalNumber) == 0;
}

bool VantroProcess::Running() {
  return Started() && !Reap(false);
}

// The output to its end, then the exit, both within the limit; a run still going then
// is killed.
RunResult VantroProcess::Finish() {
  RunResult result;
  if (!Started()) {
    return result;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds_);
  const auto left = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  };
  char bytes[65536];
  while (output_ >= 0) {
    pollfd ready{output_, POLLIN, 0};
    const int polled = left() > 0 ? poll(&ready, 1, static_cast<int>(left())) : 0;
    if (polled == 0) {
      result.timedOut = true;
      break;
    }
    const ssize_t count = polled > 0 ? read(output_, bytes, sizeof bytes) : -1;
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    result.output.append(bytes, static_cast<std::size_t>(count));
  }
  while (!result.timedOut && !Reap(false)) {
    result.timedOut = left() <= 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (result.timedOut && !reaped_) {
    kill(pid_, SIGKILL);
    Reap(true);
  }
  result.inputTaken = input_ >= 0 ? lseek(input_, 0, SEEK_CUR) : 0;
  CloseIfOpen(input_);
  CloseIfOpen(output_);
  result.exited = WIFEXITED(status_) && !result.timedOut;
  result.exitCode = WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  result.signal = WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
  return result;
}

RunResult RunVantro(const std::vector<std::string>& arguments, const RunOptions& options) {
  return VantroProcess(arguments, options).Finish();
}
