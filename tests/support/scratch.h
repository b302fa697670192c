// Scratch folders, file contents and captured console output for the tests that copy
// real files, in the same form on both builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "native/platform_api.h"

using WideText = std::basic_string<WCHAR>;

// A fresh folder of its own under /tmp (Z:\tmp under Wine), removed with its contents.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const char* name) const { return path_ / name; }
  // The native path of a name in this folder, through its drive link: \??\Z:\tmp\...
  WideText NativePath(const char* name) const;

 private:
  std::filesystem::path path_;
};

std::string ReadBytes(const std::filesystem::path& file);
void WriteBytes(const std::filesystem::path& file, const std::string& bytes);
// The same bytes for the same seed, so that a failure can be replayed.
std::string RandomBytes(std::size_t count, unsigned seed);

// Collects what ConsolePrint writes to standard output from its construction until
// Finish. Standard output is then a file, not a console, so the text arrives as UTF-8.
class OutputCapture {
 public:
  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  std::string Finish();

 private:
  ScratchFolder folder_;
  std::intptr_t saved_ = -1;  // the standard output that was in place
  bool capturing_ = false;
};

struct CopyOutcome {
  bool copied;
  std::string printed;
};

// One call of the copy engine with driver-sized buffers, and what it printed.
CopyOutcome CopyCapturingOutput(const WideText& source, const WideText& destination);
