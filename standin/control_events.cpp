// The console's control events over POSIX signals: Ctrl+C (SIGINT), Ctrl+Break (SIGQUIT),
// the console window closed (SIGHUP) and the process asked to end (SIGTERM) reach the
// routines registered with SetConsoleCtrlHandler. Windows runs the routines on a thread it
// starts in the process, never inside what the process was doing: here the signal handler
// only records the signal, and a thread of the stand-in calls them.
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "standin/internal.h"

namespace standin {
namespace {

struct ControlSignal {
  int signalNumber;
  DWORD event;
};
const ControlSignal kControlSignals[] = {{SIGINT, CTRL_C_EVENT},
                                         {SIGQUIT, CTRL_BREAK_EVENT},
                                         {SIGHUP, CTRL_CLOSE_EVENT},
                                         {SIGTERM, CTRL_CLOSE_EVENT}};

constexpr std::size_t kMaxRoutines = 16;
pthread_mutex_t routinesLock = PTHREAD_MUTEX_INITIALIZER;
PHANDLER_ROUTINE routines[kMaxRoutines];
std::size_t routineCount = 0;
bool dispatching = false;
pthread_t dispatcher;
std::atomic<bool> quitting{false};

sem_t recorded;
// The signal whose event is being handled; 0: none.
std::atomic<int> handling{0};
// The signal that asked for the stop, which the process's end repeats; closing: its event
// was CTRL_CLOSE_EVENT, after which the process ends however the tool's run ended.
std::atomic<int> stopSignal{0};
std::atomic<bool> closing{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// The handler. A second signal while the first is handled ends the process at once.
void Record(int signalNumber) {
  int none = 0;
  if (!handling.compare_exchange_strong(none, signalNumber)) {
    EndBySignal(signalNumber);
    return;
  }
  sem_post(&recorded);
}

DWORD EventOf(int signalNumber) {
  for (const ControlSignal& control : kControlSignals) {
    if (control.signalNumber == signalNumber) {
      return control.event;
    }
  }
  return CTRL_CLOSE_EVENT;
}

// Last registered first, until one takes the event; a routine may register others.
bool CallRoutines(DWORD event) {
  PHANDLER_ROUTINE called[kMaxRoutines];
  pthread_mutex_lock(&routinesLock);
  const std::size_t count = routineCount;
  std::copy_n(routines, count, called);
  pthread_mutex_unlock(&routinesLock);
  for (std::size_t at = count; at > 0; --at) {
    if (called[at - 1](event) != FALSE) {
      return true;
    }
  }
  return false;
}

// As without a routine: the signal again, now to the rule for the process's end, which
// runs on a thread of the tool (this one takes no signal), as it always did.
void EndAsBefore(int signalNumber) {
  struct sigaction ending {};
  ending.sa_handler = EndBySignal;
  sigfillset(&ending.sa_mask);
  sigaction(signalNumber, &ending, nullptr);
  kill(getpid(), signalNumber);
}

// Windows ends the process once a close event's routines have returned, and after any
// event that no routine took.
void* Dispatch(void* /*unused*/) {
  for (;;) {
    while (sem_wait(&recorded) != 0) {
    }
    if (quitting.load()) {
      return nullptr;
    }
    const int signalNumber = handling.load();
    const DWORD event = EventOf(signalNumber);
    closing = event == CTRL_CLOSE_EVENT;
    stopSignal = signalNumber;
    if (!CallRoutines(event) || event == CTRL_CLOSE_EVENT) {
      EndAsBefore(signalNumber);
      return nullptr;
    }
    handling = 0;
  }
}

// Only a signal that still ends the process by default or by the stand-in's rule: one
// ignored at start stays ignored. The tool's calls go on through the handler.
void Route(int signalNumber) {
  struct sigaction current {};
  if (sigaction(signalNumber, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
      (current.sa_handler != SIG_DFL && current.sa_handler != EndBySignal)) {
    return;
  }
  struct sigaction handler {};
  handler.sa_handler = Record;
  handler.sa_flags = SA_RESTART;
  sigfillset(&handler.sa_mask);
  sigaction(signalNumber, &handler, nullptr);
}

// The thread starts with every signal blocked and keeps them so.
bool StartDispatching() {
  if (dispatching) {
    return true;
  }
  sigset_t all;
  sigset_t saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  dispatching = sem_init(&recorded, 0, 0) == 0 &&
                pthread_create(&dispatcher, nullptr, Dispatch, nullptr) == 0;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (dispatching) {
    for (const ControlSignal& control : kControlSignals) {
      Route(control.signalNumber);
    }
  }
  return dispatching;
}

bool AddRoutine(PHANDLER_ROUTINE routine) {
  if (routineCount == kMaxRoutines || !StartDispatching()) {
    return false;
  }
  routines[routineCount++] = routine;
  return true;
}

// Its latest registration goes.
bool RemoveRoutine(PHANDLER_ROUTINE routine) {
  for (std::size_t at = routineCount; at > 0; --at) {
    if (routines[at - 1] == routine) {
      std::copy(routines + at, routines + routineCount, routines + at - 1);
      --routineCount;
      return true;
    }
  }
  return false;
}

}  // namespace

int EndProcess(int exitCode) {
  const int signalNumber = stopSignal.load();
  if (signalNumber != 0 && (exitCode != 0 || closing.load())) {
    EndBySignal(signalNumber);
  }
  // The thread goes before the process does, as the platform's own would: nothing of it is
  // left behind.
  if (dispatching) {
    quitting = true;
    sem_post(&recorded);
    pthread_join(dispatcher, nullptr);
    dispatching = false;
  }
  return exitCode;
}

}  // namespace standin

// The null routine, with which a Windows process ignores Ctrl+C, is not provided.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handlerRoutine, BOOL add) {
  if (handlerRoutine == nullptr) {
    return FALSE;
  }
  pthread_mutex_lock(&standin::routinesLock);
  const bool done =
      add != FALSE ? standin::AddRoutine(handlerRoutine) : standin::RemoveRoutine(handlerRoutine);
  pthread_mutex_unlock(&standin::routinesLock);
  return done ? TRUE : FALSE;
}
