#include "tests/support/linux_shell.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include "tests/support/scratch.h"
#include "tests/support/win_platform.h"
#else
#include <sys/wait.h>

#include <cstdio>
#endif

namespace {

// timeout(1) ends a command that outlives the limit, with status 124.
constexpr int kTimedOut = 124;

std::string Limited(const std::string& command, int timeoutSeconds) {
  return "timeout " + std::to_string(timeoutSeconds) + " /bin/sh -c " + ShellQuoted(command);
}

}  // namespace

std::string ShellQuoted(std::string_view text) {
  std::string quoted = "'";
  for (const char unit : text) {
    quoted += unit == '\'' ? std::string("'\\''") : std::string(1, unit);
  }
  return quoted + "'";
}

#ifdef _WIN32

bool LinuxShellAvailable() {
  return RunningUnderWine();
}

std::string LinuxPathOf(const std::filesystem::path& file) {
  return LinuxPathUnderWine(std::filesystem::path(file).make_preferred().wstring());
}

// Wine starts a Linux program from CreateProcessW but hands back no handle to wait on, so
// the script says it has ended by what it writes last: its status, renamed into place.
int RunLinuxShell(const std::string& command, std::string* output, int timeoutSeconds) {
  if (!LinuxShellAvailable()) {
    return -1;
  }
  const ScratchFolder work;
  const std::string folder = LinuxPathOf(work.Path());
  const std::string status = ShellQuoted(folder + "/status");
  WriteBytes(work / "run.sh", "exec </dev/null >" + ShellQuoted(folder + "/output") + " 2>&1\n" +
                                  Limited(command, timeoutSeconds) + "\necho $? >" + status +
                                  ".new\nmv " + status + ".new " + status + "\n");
  std::wstring line = L"/bin/sh " + WideFromUtf8(folder) + L"/run.sh";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (folder.empty() || !CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &startup, &started)) {
    return -1;
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds + 10);
  std::error_code error;
  while (!std::filesystem::exists(work / "status", error)) {
    if (std::chrono::steady_clock::now() > deadline) {
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (output != nullptr) {
    *output = ReadBytes(work / "output");
  }
  const int exitStatus = std::atoi(ReadBytes(work / "status").c_str());
  return exitStatus == kTimedOut ? -1 : exitStatus;
}

#else

bool LinuxShellAvailable() {
  return true;
}

std::string LinuxPathOf(const std::filesystem::path& file) {
  return file.string();
}

int RunLinuxShell(const std::string& command, std::string* output, int timeoutSeconds) {
  FILE* pipe = popen((Limited(command, timeoutSeconds) + " </dev/null 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    return -1;
  }
  std::string printed;
  char bytes[4096];
  for (std::size_t count = 0; (count = std::fread(bytes, 1, sizeof bytes, pipe)) > 0;) {
    printed.append(bytes, count);
  }
  const int status = pclose(pipe);
  if (output != nullptr) {
    *output = printed;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) != kTimedOut ? WEXITSTATUS(status) : -1;
}

#endif
