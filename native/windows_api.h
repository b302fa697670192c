// The platform as the tool sees it: the Windows headers in the product build, the
// stand-in's declarations of the same names in the host build.
#pragma once

#ifdef _WIN32
#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winternl.h>
// Wide literals: UTF-16 is wchar_t on Windows.
#define WIDE(text) L##text
#else
#include "standin/windows_api.h"
#endif

// Separates the names of a path: in the paths the user types and in native object names.
inline constexpr WCHAR kSeparator = WIDE('\\');
