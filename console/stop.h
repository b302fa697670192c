// A stop the user asks for: Ctrl+C, Ctrl+Break, the console window closed. vantro takes
// these itself instead of leaving them to the platform's default, which ends the process
// at once (and under Wine with exit code 0): the copy reads the stop between blocks and
// between files and ends as a failure does, the file in progress removed by its mark, a
// tree's summary printed, and the run ends with a failure's exit code.
#pragma once

#include "native/windows_api.h"

// Registers the handler; before it, a stop ends the process as the platform's default does.
void TakeStopRequests();

// Whether a stop was asked for: read between blocks, between files and while waiting.
bool StopRequested();

// The copy has ended and said where things stand: a handler that waits for it (the console
// window closed, after which the platform ends the process) may return, and from now on a
// stop (at the pause) ends the process as the platform's default does.
void NoteRunEnded();
