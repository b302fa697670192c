// shlwapi's path functions as the tool relies on them: the backslash alone separates
// components; the forward slash is an ordinary character.
#include "standin/internal.h"

namespace {

constexpr WCHAR kSeparator = u'\\';

bool IsDriveLetter(WCHAR unit) {
  return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z');
}

// After "\\server\share\" in a UNC path (or its end when the share ends the path).
LPCWSTR SkipUncRoot(LPCWSTR path) {
  LPCWSTR at = path + 2;
  for (int part = 0; part < 2 && *at != 0; ++part) {
    while (*at != 0 && *at != kSeparator) {
      ++at;
    }
    if (*at == kSeparator) {
      ++at;
    }
  }
  return at;
}

}  // namespace

namespace standin {

BOOL PathRemoveFileSpecW(LPWSTR path) {
  if (path == nullptr) {
    return FALSE;
  }
  LPWSTR at = path;
  LPWSTR cut = path;
  // A leading separator (two for a UNC path) is a root and stays.
  for (int lead = 0; lead < 2 && *at == kSeparator; ++lead) {
    cut = ++at;
  }
  for (; *at != 0; ++at) {
    if (*at == kSeparator) {
      cut = at;
    } else if (*at == u':') {
      // A drive keeps its colon and the separator that may follow it.
      cut = at + 1;
      if (at[1] == kSeparator) {
        cut = ++at + 1;
      }
    }
  }
  if (*cut == 0) {
    return FALSE;
  }
  *cut = 0;
  return TRUE;
}

int PathGetDriveNumberW(LPCWSTR path) {
  if (path == nullptr || !IsDriveLetter(path[0]) || path[1] != u':') {
    return -1;
  }
  return (path[0] | 0x20) - u'a';
}

BOOL PathIsRelativeW(LPCWSTR path) {
  if (path == nullptr || *path == 0) {
    return TRUE;
  }
  return path[0] != kSeparator && path[1] != u':' ? TRUE : FALSE;
}

LPWSTR PathSkipRootW(LPCWSTR path) {
  if (path == nullptr || *path == 0) {
    return nullptr;
  }
  LPCWSTR rest = nullptr;
  if (path[0] == kSeparator && path[1] == kSeparator) {
    rest = SkipUncRoot(path);
  } else if (path[0] == kSeparator) {
    rest = path + 1;
  } else if (IsDriveLetter(path[0]) && path[1] == u':' && path[2] == kSeparator) {
    rest = path + 3;
  }
  return const_cast<LPWSTR>(rest);  // NOLINT: the platform's signature
}

namespace {

const Export kExports[] = {
    {"PathGetDriveNumberW", AddressOf(PathGetDriveNumberW)},
    {"PathIsRelativeW", AddressOf(PathIsRelativeW)},
    {"PathRemoveFileSpecW", AddressOf(PathRemoveFileSpecW)},
    {"PathSkipRootW", AddressOf(PathSkipRootW)},
};

}  // namespace

std::span<const Export> PathExports() {
  return kExports;
}

}  // namespace standin
