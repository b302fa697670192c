#include "console/stop.h"

#include <atomic>

namespace {

// Written by the handler, which the platform runs on a thread of its own, and read by the
// copy: lock-free flags.
std::atomic<bool> stopAsked{false};
std::atomic<bool> runEnded{false};

// Windows ends the process once the handler of a closed window returns, and at the latest
// about 5 s after the event: the copy is given that long to end cleanly.
constexpr DWORD kCloseWaitMs = 4500;
constexpr DWORD kCloseWaitStepMs = 50;

BOOL WINAPI OnControl(DWORD event) {
  stopAsked.store(true);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    for (DWORD waited = 0; waited < kCloseWaitMs && !runEnded.load(); waited += kCloseWaitStepMs) {
      Sleep(kCloseWaitStepMs);
    }
  }
  return TRUE;
}

}  // namespace

void TakeStopRequests() {
  SetConsoleCtrlHandler(OnControl, TRUE);
}

bool StopRequested() {
  return stopAsked.load(std::memory_order_relaxed);
}

void NoteRunEnded() {
  runEnded.store(true);
  SetConsoleCtrlHandler(OnControl, FALSE);
}
