// Scratch folders, file contents and captured console output for the tests that use
// real files, in the same form on both builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "native/native_services.h"
#include "tests/support/wide_text.h"

// Every entry under a folder by its relative path: its kind, permissions and contents.
using Snapshot = std::map<std::string, std::string>;

// A fresh folder of its own under /tmp (Z:\tmp under Wine), open to every user so that
// a run as nobody reaches it, and removed with its contents, locked folders included.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }
  // The folder as the tool names it on drive Z: ("Z:\tmp\...").
  std::string DrivePath() const;
  // The native path of a name in this folder, through its drive link: \??\Z:\tmp\...
  WideString NativePath(const char* name) const;
#ifndef _WIN32
  // The path inside the volume that the stand-in's Z: links to, as the tool announces it.
  std::string VolumePath(const std::string& name) const;
#endif
  // Tells exactly which entries a run created or changed.
  Snapshot TakeSnapshot() const;

 private:
  std::filesystem::path path_;
};

std::string ReadBytes(const std::filesystem::path& file);
void WriteBytes(const std::filesystem::path& file, const std::string& bytes);
// The same bytes for the same seed, so that a failure can be replayed; they differ from
// offset to offset, so that a misplaced block shows.
std::string RandomBytes(std::size_t count, unsigned seed);

// One ZwCreateFile of a native path through a service table, as the copy makes it:
// case-sensitive, a kernel handle, no allocation size, attributes or extended attributes.
NTSTATUS CreateNative(const NativeServiceTable& services, const WideString& path, HANDLE* handle,
                      ACCESS_MASK access, ULONG disposition, ULONG options, ULONG share = 0);

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
CopyOutcome CopyCapturingOutput(const WideString& source, const WideString& destination);
