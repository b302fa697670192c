#include "app/driver.h"

#include <cstdio>
#include <iterator>
#include <string>

#include "console/console.h"
#include "console/messages.h"
#include "console/stop.h"
#include "copy/copy_engine.h"
#include "native/native_services.h"
#include "native/path_functions.h"
#include "pathing/path_text.h"
#include "pathing/translate.h"
#include "tree/tree_copy.h"

namespace {

// The translation's buffers, one run's worth.
struct TranslationBuffers {
  BaseDirectory base;
  NativeArgument source;
  NativeArgument destination;
};

// The run's large buffers, in static storage: their pages cost nothing until they are
// touched, where the stack would touch every page of a frame this large at each start.
TranslationBuffers translation;
alignas(64) BYTE data[kDataBufferBytes];

void ReportBindingFailure(WCHAR* message, const char* entry) {
  WCHAR name[64] = {};
  for (std::size_t at = 0; entry[at] != 0 && at + 1 < std::size(name); ++at) {
    name[at] = static_cast<WCHAR>(entry[at]);
  }
  BoundedFormat(message, kMessageBytes, kErrorBinding, name,
                StatusCode(STATUS_ENTRYPOINT_NOT_FOUND));
  ConsolePrint(message);
}

// The argument as typed, shortened in its middle where the whole line would not fit the
// message buffer: the status and the line end are always shown.
void ReportUnresolved(WCHAR* message, const WCHAR* argument, NTSTATUS status) {
  PrintNamed(message, kErrorResolving, argument, StatusCode(status));
}

// Both arguments into native paths; a path that cannot be resolved is reported with
// the text the user typed.
bool TranslateArguments(WCHAR* arguments[], TranslationBuffers& paths, WCHAR* message) {
  // The text always fits: the link name's size is the text's.
  CopyText(paths.base.link.name, kLinkNameUnits, kDriveLinkText);
  CopyText(paths.source.link.name, kLinkNameUnits, kDriveLinkText);
  CopyText(paths.destination.link.name, kLinkNameUnits, kDriveLinkText);
  ComputeBasePrefix(arguments[0], paths.base);
  NTSTATUS status = ComposeNativePath(arguments[1], paths.base, paths.source);
  if (status != STATUS_SUCCESS) {
    ReportUnresolved(message, arguments[1], status);
    return false;
  }
  status = ComposeNativePath(arguments[2], paths.base, paths.destination);
  if (status != STATUS_SUCCESS) {
    ReportUnresolved(message, arguments[2], status);
    return false;
  }
  return true;
}

// The two native paths, each on its own line: a control character in a name (possible on
// the host) is shown as U+FFFD, so that a name cannot move the cursor or drive the terminal,
// and a path longer than half the message's room keeps its start and end around "...". The
// paths handed to the platform stay as they are.
void Announce(WCHAR* message, const TranslationBuffers& paths) {
  constexpr std::size_t kDirectiveUnits = 4;  // the two "%s"
  constexpr std::size_t kShownUnits =
      (kMessageUnits - 1 - (std::char_traits<WCHAR>::length(kAnnouncement) - kDirectiveUnits)) / 2;
  WCHAR source[kShownUnits + 1];
  WCHAR destination[kShownUnits + 1];
  ShowElidedOnOneLine(source, paths.source.path, kShownUnits);
  ShowElidedOnOneLine(destination, paths.destination.path, kShownUnits);
  BoundedFormat(message, kMessageBytes, kAnnouncement, source, destination);
  ConsolePrint(message);
}

// Waits for Enter, but only on an interactive console whose prompt can be seen: input that
// was redirected (a pipe, a file, NUL) belongs to whoever redirected it, a script's loop for
// one, and is never read; with both outputs redirected the prompt would show nowhere and the
// wait would look like a hang.
void Pause() {
  if (Consoles.input && (Consoles.output || Consoles.error) && ConsoleInputReady()) {
    ConsolePrompt(kPausePrompt);
    static_cast<void>(std::getchar());
  }
}

// Whether the console is this process's alone: a window opened for it (a double-click, the
// Run box), which closes with it. A console shared with a shell counts two or more.
bool HasOwnConsole() {
  DWORD processes[2];
  return GetConsoleProcessList(processes, 2) == 1;
}

// A tree's buffers are large: in static storage, where they cost nothing until a tree is
// copied (a stack frame this size would be touched page by page at every start).
TreeBuffers treeBuffers;

// "/E" (either case) after the two paths asks for the whole folder.
bool AsksForTree(int argumentCount, WCHAR* arguments[]) {
  for (int index = 3; index < argumentCount; ++index) {
    const WCHAR* argument = arguments[index];
    if (argument[0] == u'/' && (argument[1] == u'E' || argument[1] == u'e') && argument[2] == 0) {
      return true;
    }
  }
  return false;
}

// One run with a source and a destination: everything up to the pause. Returns
// whether the whole file, or the whole tree, arrived.
bool RunCopy(WCHAR* arguments[], bool tree, WCHAR* message) {
  const char* missing = BindNativeServices();
  missing = missing != nullptr ? missing : BindPathFunctions();
  if (missing != nullptr) {
    ReportBindingFailure(message, missing);
    return false;
  }
  TranslationBuffers& paths = translation;
  if (!TranslateArguments(arguments, paths, message)) {
    return false;
  }
  Announce(message, paths);
  const NativeName source{paths.source.path, paths.source.path + paths.source.typedAt};
  const NativeName destination{paths.destination.path,
                               paths.destination.path + paths.destination.typedAt};
  if (tree) {
    const TreeResult result = CopyTreeNative(source, destination, treeBuffers, message, data);
    if (result != TreeResult::kNotFolder) {
      return result == TreeResult::kCopied;
    }
  }
  return CopyFileNative(source, destination, message, data);
}

// A lone "/?" asks for the usage text; no Windows file name holds a '?'.
bool AsksForUsage(int argumentCount, WCHAR* arguments[]) {
  const WCHAR* argument = argumentCount == 2 ? arguments[1] : nullptr;
  return argument != nullptr && argument[0] == u'/' && argument[1] == u'?' && argument[2] == 0;
}

}  // namespace

// Fewer than two arguments is a call that copies nothing: the usage text, and a failure
// for the script that made it (an empty variable, a quote that swallowed a separator).
int RunCommand(int argumentCount, WCHAR* arguments[]) {
  WCHAR message[kMessageUnits];
  DetectConsoles();
  if (argumentCount < 3) {
    const bool asked = AsksForUsage(argumentCount, arguments);
    BoundedFormat(message, kMessageBytes, kUsageText);
    ConsolePrint(message);
    if (asked) {
      ConsolePrint(kUsageTreeLine);
    }
    if (HasOwnConsole()) {
      ConsolePrompt(WIDE("\n"));  // the usage text ends without a line end
      Pause();
    }
    return asked ? kExitSuccess : kExitFailure;
  }
  TakeStopRequests();
  const bool copied = RunCopy(arguments, AsksForTree(argumentCount, arguments), message);
  NoteRunEnded();
  // A stop is an answer of its own: the user who asked for it is not kept waiting. One that
  // came once the copy was whole changed nothing.
  if (StopRequested()) {
    return copied ? kExitSuccess : kExitStopped;
  }
  Pause();
  return copied ? kExitSuccess : kExitFailure;
}
