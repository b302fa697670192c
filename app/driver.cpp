#include "app/driver.h"

#include <cstdio>
#include <iterator>

#include "console/console.h"
#include "console/messages.h"
#include "copy/copy_engine.h"
#include "native/native_services.h"
#include "native/path_functions.h"
#include "pathing/path_text.h"
#include "pathing/translate.h"

namespace {

// The translation's buffers, one run's worth.
struct TranslationBuffers {
  BaseDirectory base;
  NativeArgument source;
  NativeArgument destination;
};

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
  constexpr std::size_t kDirectiveUnits = 4;  // "%s" and "%x"
  constexpr std::size_t kStatusDigits = 8;
  const std::size_t fixed =
      static_cast<std::size_t>(lstrlenW(kErrorResolving)) - kDirectiveUnits + kStatusDigits;
  WCHAR shown[kMessageUnits];
  ShowOnOneLine(shown, argument, kMessageUnits - 1 - fixed);
  BoundedFormat(message, kMessageBytes, kErrorResolving, shown, StatusCode(status));
  ConsolePrint(message);
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

// Waits for Enter, but only on an interactive console: input that was redirected (a
// pipe, a file, NUL) belongs to whoever redirected it, a script's loop for one, and is
// never read.
void Pause() {
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0) {
    static_cast<void>(std::getchar());
  }
}

// One run with a source and a destination: everything up to the pause. Returns
// whether the whole file arrived.
bool RunCopy(WCHAR* arguments[], WCHAR* message) {
  const char* missing = BindNativeServices();
  missing = missing != nullptr ? missing : BindPathFunctions();
  if (missing != nullptr) {
    ReportBindingFailure(message, missing);
    return false;
  }
  TranslationBuffers paths;
  if (!TranslateArguments(arguments, paths, message)) {
    return false;
  }
  BoundedFormat(message, kMessageBytes, kAnnouncement, paths.source.path, paths.destination.path);
  ConsolePrint(message);
  alignas(64) BYTE data[kCopyBlockBytes];
  const NativeSource source{paths.source.path, paths.source.path + paths.source.typedAt};
  return CopyFileNative(source, paths.destination.path, message, data);
}

}  // namespace

int RunCommand(int argumentCount, WCHAR* arguments[]) {
  WCHAR message[kMessageUnits];
  if (argumentCount < 3) {
    BoundedFormat(message, kMessageBytes, kUsageText);
    ConsolePrint(message);
    return kExitSuccess;
  }
  const bool copied = RunCopy(arguments, message);
  Pause();
  return copied ? kExitSuccess : kExitFailure;
}
