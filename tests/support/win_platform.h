// What the Windows build of the tests needs to know of the platform it runs on, and the
// text conversions between the tests' UTF-8 and the platform's UTF-16. Windows build only.
#pragma once

#include <string>
#include <string_view>

// Under Wine, whose ntdll exports wine_get_version; false on a real Windows.
bool RunningUnderWine();
// A path of Wine's as the Linux side names it ("Z:\tmp\x" is "/tmp/x"); empty on a real
// Windows or for a path Wine cannot map.
std::string LinuxPathUnderWine(const std::wstring& path);

// Invalid input is replaced, never dropped: a test that passes a bad name sees it fail.
std::wstring WideFromUtf8(std::string_view text);
std::string Utf8FromWide(std::wstring_view text);
