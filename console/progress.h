// How far a copy is, on an interactive console only: once a copy has run for about a
// second, one line ("  42%  1.26 GiB of 3.00 GiB") rewritten in place a few times a second.
// Redirected output never gets it.
#pragma once

#include "native/windows_api.h"

struct CopyProgress {
  HANDLE console;       // standard output when it is a console (Consoles), else nullptr
  ULONGLONG total;      // the bytes the copy expects
  ULONGLONG startedAt;  // the clock at the start, in milliseconds
  ULONGLONG shownAt;    // when the line was last written; 0 while it has not been
  ULONGLONG nextCheck;  // the bytes done at which the clock is read next
};

void StartProgress(CopyProgress& progress, ULONGLONG totalBytes);

// Rewrites the line when it is due.
void ShowProgress(CopyProgress& progress, ULONGLONG doneBytes);

// Called for every block: one comparison, and the clock read once per MiB.
inline void UpdateProgress(CopyProgress& progress, ULONGLONG doneBytes) {
  if (doneBytes >= progress.nextCheck) {
    ShowProgress(progress, doneBytes);
  }
}

// Where the line was shown: its last state and the end of its line, so that what follows
// (an error line, the pause) starts on a clean line.
void EndProgress(CopyProgress& progress, ULONGLONG doneBytes);
