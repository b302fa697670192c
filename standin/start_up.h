// What the host's start-up asks of the stand-in around the driver's run: the platform's
// rule for the process's end, the UTF-8 command line as the wide text Windows hands a
// program, and the end after a console control event.
#pragma once

#include <cstddef>

#include "standin/windows_api.h"

namespace standin {

// Gives the process the platform's rule for its end: a file still marked for deletion is
// removed however the process ends, by a signal included.
void InstallProcessEndRule();

// The end of the tool's run. After a console control event that asked for the stop (one
// whose routine took Ctrl+C or Ctrl+Break, then a run that failed; or any close event),
// the process ends by the signal that brought the event, as it would have without the
// routine: marked files removed, and the exit status 128 plus the signal's number. Else
// the exit code comes back, for main to return.
int EndProcess(int exitCode);

// UTF-8 to UTF-16. Returns the units written (without terminator) and terminates the
// output; -1 for text that is not well formed, kNoRoom when it does not fit.
constexpr int kNoRoom = -2;
int Utf8ToUtf16(const char* text, WCHAR* out, std::size_t capacity);

}  // namespace standin
