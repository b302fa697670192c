// vantro_test_drive.exe: a test drive for shell scripts under Wine (tests/support/test_drive.h).
//   vantro_test_drive <letter|auto> <folder>   defines it and prints its letter
//   vantro_test_drive --remove <letter> <folder>  removes it again, if it is still that folder's
// The folder may be given as a Linux path (/tmp/x) or on a drive of Wine (Z:\tmp\x). Such a
// drive stays until it is removed or its folder is gone.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwctype>
#include <filesystem>
#include <string>

#include "tests/support/test_drive.h"

namespace {

int Usage() {
  std::fputs(
      "usage: vantro_test_drive <letter|auto> <folder>\n"
      "       vantro_test_drive --remove <letter> <folder>\n",
      stderr);
  return 2;
}

bool IsLetter(const std::wstring& text) {
  return text.size() == 1 && std::iswalpha(text[0]) != 0;
}

// A folder given as a Linux path is the same folder on Wine's drive Z:.
std::filesystem::path WineFolder(std::wstring folder) {
  if (folder.starts_with(L"/")) {
    folder.insert(0, L"Z:");
  }
  return folder;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
  const std::wstring first = argc > 1 ? argv[1] : L"";
  if (argc != (first == L"--remove" ? 4 : 3)) {
    return Usage();
  }
  const std::wstring second = argv[2];
  if (first == L"--remove") {
    if (!IsLetter(second)) {
      return Usage();
    }
    if (!ReleaseTestDrive(static_cast<wchar_t>(std::towupper(second[0])), WineFolder(argv[3]))) {
      std::fputs("vantro_test_drive: no test drive removed\n", stderr);
      return 1;
    }
    return 0;
  }
  if (first != L"auto" && !IsLetter(first)) {
    return Usage();
  }
  std::string error;
  const wchar_t letter = ClaimTestDrive(
      WineFolder(second), first == L"auto" ? 0 : static_cast<wchar_t>(std::towupper(first[0])), 0,
      &error);
  if (letter == 0) {
    std::fprintf(stderr, "vantro_test_drive: %s\n", error.c_str());
    return 1;
  }
  // Text mode would end the line with \r\n; a script wants just the letter.
  _setmode(_fileno(stdout), _O_BINARY);
  std::printf("%c\n", static_cast<char>(letter));
  return 0;
}
