// How far a copy is, on an interactive console only: once a copy has run for about a
// second, one line rewritten in place a few times a second: for one file its share and
// amount ("  42%  1.26 GiB of 3.00 GiB"), for a tree the files and bytes copied so far
// ("  1234 files  1.26 GiB"). Redirected output never gets it.
#pragma once

#include "native/windows_api.h"

struct CopyProgress {
  HANDLE console;        // standard output when it is a console (Consoles), else nullptr
  ULONGLONG total;       // the bytes one file's copy expects; unused for a tree
  bool tree;             // counts a tree's files, without a total
  ULONGLONG startedAt;   // the clock at the start, in milliseconds
  ULONGLONG shownAt;     // when the line was last written; 0 while it has not been
  ULONGLONG nextCheck;   // the bytes done at which the clock is read next
  ULONGLONG files;       // a tree's files copied
  ULONGLONG doneBefore;  // the bytes of a tree's files before the one being copied
};

void StartProgress(CopyProgress& progress, ULONGLONG totalBytes);
void StartTreeProgress(CopyProgress& progress);

// Rewrites the line when it is due.
void ShowProgress(CopyProgress& progress, ULONGLONG doneBytes);

// Called for every block with the bytes of the file being copied: one comparison, and the
// clock read once per MiB.
inline void UpdateProgress(CopyProgress& progress, ULONGLONG fileBytes) {
  const ULONGLONG done = progress.doneBefore + fileBytes;
  if (done >= progress.nextCheck) {
    ShowProgress(progress, done);
  }
}

// A tree's file that arrived: counted, and the clock read (per file or per MiB, whichever
// comes first).
void CountFile(CopyProgress& progress, ULONGLONG fileBytes);

// Takes the line off the console, so that an error line can take its place; it comes
// back when it is next due.
void ClearProgress(CopyProgress& progress);

// Where the line was shown: its last state and the end of its line, so that what follows
// (an error line, the pause) starts on a clean line.
void EndProgress(CopyProgress& progress, ULONGLONG doneBytes);

// A count and an amount of bytes as the lines show them ("1234", "2.31 GiB"); out takes
// kAmountUnits units.
constexpr unsigned kAmountUnits = 32;
void FormatCount(WCHAR* out, ULONGLONG value);
void FormatAmount(WCHAR* out, ULONGLONG bytes);
