// What the host's start-up asks of the stand-in before the driver runs: the platform's
// rule for the process's end, and the UTF-8 command line as the wide text Windows hands a
// program.
#pragma once

#include <cstddef>

#include "standin/windows_api.h"

namespace standin {

// Gives the process the platform's rule for its end: a file still marked for deletion is
// removed however the process ends, by a signal included.
void InstallProcessEndRule();

// UTF-8 to UTF-16. Returns the units written (without terminator) and terminates the
// output; -1 for text that is not well formed, kNoRoom when it does not fit.
constexpr int kNoRoom = -2;
int Utf8ToUtf16(const char* text, WCHAR* out, std::size_t capacity);

}  // namespace standin
