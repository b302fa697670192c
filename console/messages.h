// Every text the tool shows, and its exit codes.
#pragma once

#include "native/windows_api.h"

// Exit codes: 0 for a finished copy and for the usage text asked for with "/?"; 1 whenever
// an error line was printed, and for the usage text of a call with fewer than two arguments.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
// A copy stopped by Ctrl+C, Ctrl+Break or its console closed ends as Windows ends a process
// stopped so: with STATUS_CONTROL_C_EXIT (a Linux shell sees its low byte, 58, under Wine;
// the host build then ends by the signal itself).
constexpr int kExitStopped = static_cast<int>(0xC000013AU);

inline constexpr const WCHAR* kUsageText =
    WIDE("Usage:\nvantro <source> <destination>\nAttention: Filenames are case sensitive!");
// Added to the usage text when it is asked for with "/?".
inline constexpr const WCHAR* kUsageTreeLine =
    WIDE("\nvantro <source folder> <new folder> /E   copies the folder and all it holds");
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

// A tree's lines: each failure names its path relative to the source folder ("." for the
// folder itself), in the shape of the one-file lines.
inline constexpr const WCHAR* kTreeErrorOpening = WIDE("Error openning %s, Status=%x\n");
inline constexpr const WCHAR* kTreeErrorCreating = WIDE("Error creating %s, Status=%x (%x)\n");
inline constexpr const WCHAR* kTreeErrorReading = WIDE("Error reading %s, Status=%x\n");
inline constexpr const WCHAR* kTreeErrorWriting = WIDE("Error writing %s, Status=%x\n");
inline constexpr const WCHAR* kSkippedLink = WIDE("Skipped link %s\n");
// A FIFO, a socket or a device (the special files of a WSL folder): no data to copy.
inline constexpr const WCHAR* kSkippedSpecialFile = WIDE("Skipped special file %s\n");
// A folder of the system's that refuses every user (a volume's System Volume Information).
inline constexpr const WCHAR* kSkippedProtectedFolder = WIDE("Skipped protected folder %s\n");
// The whole tree could not take the destination's name: its native path, with the suffix.
inline constexpr const WCHAR* kTreeErrorRenaming = WIDE("Error renaming %s, Status=%x\n");
// The rename waits while another program (a scanner, an indexer) holds a file of the tree.
inline constexpr const WCHAR* kWaitingForRename =
    WIDE("Waiting for another program to close files in %s\n");
// Counts: files, folders, the amount, failures, links skipped.
inline constexpr const WCHAR* kTreeSummary =
    WIDE("Copied %s files in %s folders, %s; %s failed, %s links skipped.\n");
// A run that continues the unfinished tree of the same command: its native path.
inline constexpr const WCHAR* kContinuing = WIDE("Continuing the unfinished copy in %s\n");
// Counts of a continued tree: files copied, files already there, folders, the amount (of all
// of them), failures, links skipped.
inline constexpr const WCHAR* kTreeSummaryContinued =
    WIDE("Copied %s files, %s already there, in %s folders, %s; %s failed, %s links skipped.\n");
// An entry of the unfinished tree that the source no longer has: left alone.
inline constexpr const WCHAR* kNotInSource = WIDE("Not in the source %s\n");
// Where a tree that did not arrive whole stays: its native path.
inline constexpr const WCHAR* kUnfinishedTree = WIDE("The unfinished copy is in %s\n");
// After it, where a second run of the same command finishes the tree.
inline constexpr const WCHAR* kRunAgain = WIDE("Run the same command again to finish it.\n");
// After it, where the unfinished tree holds entries the source does not have.
inline constexpr const WCHAR* kRemoveExtras =
    WIDE("Remove what the source does not have from it, then run the same command again.\n");
// After it, where names differing in case alone were refused, which a second run cannot mend.
inline constexpr const WCHAR* kTwinsAdvice = WIDE(
    "Names that differ in case alone were refused: the destination folds case. Copy into a "
    "case-sensitive folder (fsutil file setCaseSensitiveInfo <folder> enable) to keep them "
    "apart.\n");
