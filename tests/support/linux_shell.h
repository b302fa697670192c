// Shell commands on the Linux side of the machine, for what a Windows process cannot do
// there: two names that differ only in case in one folder, a small volume to fill. On the
// host they run directly; under Wine through Wine's start of Linux programs; a real Windows
// has none.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

bool LinuxShellAvailable();
// The command's exit status (it runs under /bin/sh -c), or -1 when it could not be started
// or did not end within the limit; output, when given, receives what it printed.
int RunLinuxShell(const std::string& command, std::string* output = nullptr,
                  int timeoutSeconds = 30);
// A file of this machine as the Linux side names it ("Z:\tmp\x" is "/tmp/x" under Wine);
// empty on a real Windows.
std::string LinuxPathOf(const std::filesystem::path& file);
// The text as one word of the shell, whatever it holds.
std::string ShellQuoted(std::string_view text);
