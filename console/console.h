// Bounded formatting of messages and their output to the console.
#pragma once

#include <cstddef>
#include <cstdint>

#include "native/windows_api.h"

// The one message buffer the driver owns: at most 1023 units and a terminator.
constexpr std::size_t kMessageUnits = 1024;
constexpr std::size_t kMessageBytes = kMessageUnits * sizeof(WCHAR);

// Result codes of BoundedFormat (the platform's general form, not NT statuses).
constexpr std::uint32_t kFormatOk = 0;
constexpr std::uint32_t kFormatInvalidArgument = 0x80070057;
constexpr std::uint32_t kFormatTruncated = 0x8007007A;

// Formats into buffer, whose size is given in bytes; never writes past it and, for a
// capacity of one unit or more, always terminates. Directives: "%s" inserts a wide
// string unchanged, "%x" an unsigned 32-bit value in lowercase hexadecimal. Any other
// text, a lone '%' included, is copied as it stands.
std::uint32_t BoundedFormat(WCHAR* buffer, std::size_t sizeInBytes, const WCHAR* format, ...);

// Which standard streams are interactive consoles: decided once at start and read by every
// writer that shows itself only to a person (the progress line, the prompt) and by the pause.
struct ConsoleStreams {
  bool input;
  bool output;
  bool error;
};
extern ConsoleStreams Consoles;
void DetectConsoles();

// Whether standard input can still be read from its console: asked at the pause itself, since
// the host's job control may have moved the process away from its terminal since the start.
bool ConsoleInputReady();

// Writes a terminated text to standard output: through the console when it is one,
// otherwise as UTF-8 bytes, so that redirected output still reaches the user.
void ConsolePrint(const WCHAR* text);

// Writes a terminated text only where a person reads it: to standard output when it is an
// interactive console, else to standard error when that is one; redirected output never
// gets it (Consoles tells).
void ConsolePrompt(const WCHAR* text);

// Writes into shown (room units and a terminator) a text as one line of a message shows
// it: control characters and line separators become U+FFFD, and a text longer than room
// keeps its start and its end around "...", never splitting a surrogate pair. room is 3
// or more.
void ShowElidedOnOneLine(WCHAR* shown, const WCHAR* text, std::size_t room);

// Formats a line that names a text (the format's one "%s", then up to two "%x" for first
// and second) into message (kMessageUnits) and prints it. The text is shown as
// ShowElidedOnOneLine shows it, shortened where the whole line would not fit, so that one
// line always ends in its statuses.
void PrintNamed(WCHAR* message, const WCHAR* format, const WCHAR* text, ULONG first = 0,
                ULONG second = 0);
