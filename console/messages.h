// Every text the tool shows, and its exit codes.
#pragma once

#include "native/windows_api.h"

// Exit codes: 0 for a finished copy and for the usage text asked for with "/?"; 1 whenever
// an error line was printed, and for the usage text of a call with fewer than two arguments.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

inline constexpr const WCHAR* kUsageText =
    WIDE("Usage:\nvantro <source> <destination>\nAttention: Filenames are case sensitive!");
// Shown on an interactive console only, before the pause reads the key.
inline constexpr const WCHAR* kPausePrompt = WIDE("Press Enter to close.");
inline constexpr const WCHAR* kAnnouncement = WIDE("src=%s\ndst=%s\n\n");
inline constexpr const WCHAR* kErrorBinding = WIDE("Error binding %s, Status=%x\n");
inline constexpr const WCHAR* kErrorResolving = WIDE("Error resolving %s, Status=%x\n");
// "openning" is spelled so on purpose: scripts match the lines as the tool has always
// printed them, so the texts are part of its output contract.
inline constexpr const WCHAR* kErrorOpening = WIDE("Error openning, Status=%x\n");
inline constexpr const WCHAR* kErrorCreating = WIDE("Error creating, Status=%x (%x)\n");
inline constexpr const WCHAR* kErrorReading = WIDE("Error reading, Status=%x\n");
inline constexpr const WCHAR* kErrorWriting = WIDE("Error writing, Status=%x\n");
