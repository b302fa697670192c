// The platform's rule for a process that ends: on Windows the kernel removes every file
// still marked for deletion when the process's handles go, however it ended. POSIX does
// not, so the stand-in does it for the signals that end a process politely; SIGKILL
// cannot be caught, and can leave a marked file behind on the host.
#include <signal.h>

#include "standin/internal.h"

namespace standin {
namespace {

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Removes the marked files, then ends by the same signal, so that the exit status still
// tells how the process ended. Only async-signal-safe calls.
void EndProcess(int signalNumber) {
  RemoveMarkedFiles();
  signal(signalNumber, SIG_DFL);
  sigset_t pending;
  sigemptyset(&pending);
  sigaddset(&pending, signalNumber);
  sigprocmask(SIG_UNBLOCK, &pending, nullptr);
  raise(signalNumber);
}

}  // namespace

void InstallProcessEndRule() {
  for (const int signalNumber : kEndingSignals) {
    struct sigaction current {};
    sigaction(signalNumber, nullptr, &current);
    // A signal ignored at start (a background job's SIGINT) stays ignored.
    if (current.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction handler {};
    handler.sa_handler = EndProcess;
    sigfillset(&handler.sa_mask);
    sigaction(signalNumber, &handler, nullptr);
  }
  // Writes fail as the platform's do instead of ending the process: console text to a
  // closed pipe is lost silently, a data write past the file-size limit is an error.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace standin
