#include "tests/vantro_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace vantro_test {
namespace {

// In the child: everything up to exec, with only async-signal-safe calls.
[[noreturn]] void ExecChild(const std::string& program, std::vector<char*>& argv,
                            const RunOptions& options, int output) {
  const int input = open("/dev/null", O_RDONLY);
  if (input < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0) {
    _exit(125);
  }
  if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) {
    _exit(125);
  }
  if (options.asUnprivileged && geteuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
    _exit(125);
  }
  execv(program.c_str(), argv.data());
  _exit(127);
}

}  // namespace

std::string VantroPath() {
  const char* path = std::getenv("VANTRO_EXE");
  return path != nullptr ? path : "";
}

VantroProcess::VantroProcess(const std::vector<std::string>& arguments, const RunOptions& options)
    : timeoutSeconds_(options.timeoutSeconds) {
  const std::string program = VantroPath();
  std::vector<std::string> all{options.argument0.empty() ? program : options.argument0};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(all.size() + 1);
  for (std::string& argument : all) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    ExecChild(program, argv, options, pipeEnds[1]);
  }
  close(pipeEnds[1]);
  output_ = pipeEnds[0];
}

RunResult VantroProcess::Finish() {
  RunResult result;
  if (pid_ <= 0) {
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds_);
  char bytes[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{output_, POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) == 0) {
      kill(pid_, SIGKILL);
      result.timedOut = true;
      break;
    }
    const ssize_t count = read(output_, bytes, sizeof bytes);
    if (count <= 0) {
      break;
    }
    result.output.append(bytes, static_cast<std::size_t>(count));
  }
  close(output_);
  int status = 0;
  waitpid(pid_, &status, 0);
  result.exited = WIFEXITED(status) && !result.timedOut;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

RunResult RunVantro(const std::vector<std::string>& arguments, const RunOptions& options) {
  return VantroProcess(arguments, options).Finish();
}

}  // namespace vantro_test
