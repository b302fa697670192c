// Wide text in assertions, the same on both builds: expectations are written as plain
// ASCII strings, and a failure shows the text a person can read.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "native/windows_api.h"

using WideString = std::basic_string<WCHAR>;

// Printable ASCII and line feeds as they are, any other unit as \uXXXX.
inline std::string Narrow(const WCHAR* text, std::size_t units) {
  std::string out;
  for (std::size_t at = 0; at < units; ++at) {
    const auto unit = static_cast<unsigned>(text[at]);
    if ((unit >= 0x20 && unit < 0x7F) || unit == '\n') {
      out.push_back(static_cast<char>(unit));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", unit);
      out += escaped;
    }
  }
  return out;
}

inline std::string Narrow(const WCHAR* text) {
  std::size_t units = 0;
  while (text[units] != 0) {
    ++units;
  }
  return Narrow(text, units);
}

inline WideString Widen(std::string_view ascii) {
  return WideString(ascii.begin(), ascii.end());
}
