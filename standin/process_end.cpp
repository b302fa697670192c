// The platform's rule for a process that ends: on Windows the kernel removes every file
// still marked for deletion when the process's handles go, however it ended. POSIX does
// not, so the stand-in does it for every signal whose default action ends the process;
// SIGKILL cannot be caught, and can leave a marked file behind on the host.
#include <signal.h>

#include "standin/internal.h"

namespace standin {
namespace {

// Every signal whose default action ends the process, but SIGKILL, which cannot be caught,
// and SIGPIPE and SIGXFSZ, which fail a write instead (below); the real-time signals follow.
const int kEndingSignals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                              SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
                              SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS};

// Only a signal that still has its default action: one ignored at start (a background
// job's SIGINT) stays ignored, and a handler already in place (a sanitizer's) is kept.
void TakeOver(int signalNumber) {
  struct sigaction current {};
  if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
      (current.sa_flags & SA_SIGINFO) != 0) {
    return;
  }
  struct sigaction handler {};
  handler.sa_handler = EndBySignal;
  sigfillset(&handler.sa_mask);
  sigaction(signalNumber, &handler, nullptr);
}

}  // namespace

// The exit status still tells how the process ended. Only async-signal-safe calls.
void EndBySignal(int signalNumber) {
  RemoveMarkedFiles();
  signal(signalNumber, SIG_DFL);
  sigset_t pending;
  sigemptyset(&pending);
  sigaddset(&pending, signalNumber);
  sigprocmask(SIG_UNBLOCK, &pending, nullptr);
  raise(signalNumber);
}

void InstallProcessEndRule() {
  for (const int signalNumber : kEndingSignals) {
    TakeOver(signalNumber);
  }
  for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
    TakeOver(signalNumber);
  }
  // Writes fail as the platform's do instead of ending the process: console text to a
  // closed pipe is lost silently, a data write past the file-size limit is an error.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace standin
