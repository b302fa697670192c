// The process runner of the Windows build: CreateProcessW, standard output and error into
// one temporary file (no pipe to drain, so no deadlock), standard input from NUL or a file.
#include <windows.h>

#include <cstdlib>

#include "tests/support/process.h"
#include "tests/support/win_platform.h"

namespace {

// The C runtime's parser reads argument 0 up to the next blank, or between two quotes,
// with no escapes: it is quoted only when it holds a blank.
void AppendProgramName(std::wstring& line, const std::wstring& name) {
  const bool quoted = name.empty() || name.find_first_of(L" \t") != std::wstring::npos;
  line += quoted ? L"\"" + name + L"\"" : name;
}

// Any other argument: backslashes are literal except before a quote, where each is doubled
// and the quote escaped, so that the parser gives back exactly the text.
void AppendArgument(std::wstring& line, const std::wstring& argument) {
  line += L' ';
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t unit : argument) {
    if (unit == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(unit == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += unit;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

HANDLE CreateOutputFile() {
  wchar_t folder[MAX_PATH + 1];
  wchar_t file[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"vto", 0, file) == 0) {
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(
      file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

void CloseIfOpen(void*& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
  }
  handle = nullptr;
}

// Inherited only by the one child being started: the tests start children one at a time.
void Inheritable(HANDLE handle, bool inherit) {
  SetHandleInformation(handle, HANDLE_FLAG_INHERIT, inherit ? HANDLE_FLAG_INHERIT : 0);
}

}  // namespace

std::string VantroPath() {
  const wchar_t* path = _wgetenv(L"VANTRO_EXE");
  if (path == nullptr) {
    return "";
  }
  std::wstring text = path;
  // CMake names the binary by its Linux path; under Wine that is the same file on Z:.
  if (RunningUnderWine() && text.starts_with(L"/")) {
    text = L"Z:" + text;
  }
  for (wchar_t& unit : text) {
    unit = unit == L'/' ? L'\\' : unit;
  }
  return Utf8FromWide(text);
}

VantroProcess::VantroProcess(const std::vector<std::string>& arguments, const RunOptions& options)
    : timeoutSeconds_(options.timeoutSeconds) {
  const std::wstring program =
      options.program.empty() ? WideFromUtf8(VantroPath()) : options.program.wstring();
  std::wstring line;
  AppendProgramName(line, options.argument0.empty() ? program : WideFromUtf8(options.argument0));
  for (const std::string& argument : arguments) {
    AppendArgument(line, WideFromUtf8(argument));
  }
  // An inherited handle is the same open file: the run moves the test's position in it.
  HANDLE input =
      CreateFileW(options.input.empty() ? L"NUL" : options.input.c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  output_ = CreateOutputFile();
  if (input == INVALID_HANDLE_VALUE || output_ == INVALID_HANDLE_VALUE) {
    CloseIfOpen(input);
    return;
  }
  input_ = input;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output_;
  startup.hStdError = output_;
  PROCESS_INFORMATION started{};
  Inheritable(input, true);
  Inheritable(output_, true);
  const std::wstring directory = options.directory.wstring();
  if (CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                     directory.empty() ? nullptr : directory.c_str(), &startup, &started)) {
    process_ = started.hProcess;
    CloseHandle(started.hThread);
  }
  Inheritable(output_, false);
  Inheritable(input, false);
}

VantroProcess::~VantroProcess() {
  if (Running()) {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 10000);
  }
  CloseIfOpen(process_);
  CloseIfOpen(input_);
  CloseIfOpen(output_);
}

bool VantroProcess::Started() const {
  return process_ != nullptr;
}

bool VantroProcess::Running() {
  return Started() && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

// The exit within the limit, else the process is ended; then the output it left in the file.
RunResult VantroProcess::Finish() {
  RunResult result;
  if (!Started()) {
    return result;
  }
  if (WaitForSingleObject(process_, static_cast<DWORD>(timeoutSeconds_) * 1000) != WAIT_OBJECT_0) {
    result.timedOut = true;
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 10000);
  }
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  result.exited = !result.timedOut;
  result.exitCode = static_cast<int>(code);
  LARGE_INTEGER start{};
  SetFilePointerEx(output_, start, nullptr, FILE_BEGIN);
  char bytes[65536];
  DWORD count = 0;
  while (ReadFile(output_, bytes, sizeof bytes, &count, nullptr) && count > 0) {
    result.output.append(bytes, count);
  }
  LARGE_INTEGER taken{};
  if (SetFilePointerEx(input_, LARGE_INTEGER{}, &taken, FILE_CURRENT)) {
    result.inputTaken = taken.QuadPart;
  }
  CloseIfOpen(process_);
  CloseIfOpen(input_);
  CloseIfOpen(output_);
  return result;
}

RunResult RunVantro(const std::vector<std::string>& arguments, const RunOptions& options) {
  return VantroProcess(arguments, options).Finish();
}
