// Scratch folders, file contents and captured console output for the tests that use
// real files, in the same form on both builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "copy/copy_engine.h"
#include "native/native_services.h"
#include "tests/support/wide_text.h"

// Every entry under a folder by its relative path: its kind, permissions and contents.
using Snapshot = std::map<std::string, std::string>;

// A fresh folder of its own under /tmp (Z:\tmp under Wine, VANTRO_TEST_DIR when set on
// Windows), open to every user so that a run as nobody reaches it, and removed with its
// contents, locked folders included.
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
  // Tells exactly which entries a run created or changed, in the folder or one under it.
  Snapshot TakeSnapshot(const std::filesystem::path& under = {}) const;

 private:
  std::filesystem::path path_;
};

class TestDrive;

// A scratch folder as the tool under test meets it: the names typed on its command line,
// the folder it starts in and the native paths it announces.
// - host: the tool starts in the folder and is given names relative to it; the stand-in's
//   Z: is \Device\HarddiskVolume1.
// - Wine: the folder gets a test drive of its own (tests/support/test_drive.h), because
//   the tool cannot open files through Wine's own drives: names are "X:\name", the tool
//   starts in "X:\" and announces \??\Z:\tmp\...\name.
// - a real Windows: the folder as it is, named by full paths; the announced device is what
//   the drive's link names, read with QueryDosDeviceW. The folder is marked case-sensitive
//   where Windows allows it, so that it can hold two names differing only in case.
class ToolFolder {
 public:
  ToolFolder();
  ~ToolFolder();
  ToolFolder(const ToolFolder&) = delete;
  ToolFolder& operator=(const ToolFolder&) = delete;

  const ScratchFolder& Scratch() const { return folder_; }
  // For the test's own file operations; rel is UTF-8 with '\\' between folders.
  std::filesystem::path File(std::string_view rel) const;
  // rel as typed on the tool's command line.
  std::string Name(std::string_view rel) const;
  // rel as a full path on a drive, as a program started by its path is named.
  std::string FullName(std::string_view rel) const;
  // The working directory to start the tool in.
  std::filesystem::path Root() const;
  // The native path the tool announces for Name(rel), and for rel typed in Root().
  std::string Announced(std::string_view rel) const;
  // Writes a file of exactly this name, also beside another spelling of it (its folders too,
  // made as spelt); false where the folder cannot hold both.
  bool WriteExactly(std::string_view rel, const std::string& bytes) const;

 private:
  ScratchFolder folder_;
#ifdef _WIN32
  std::unique_ptr<TestDrive> drive_;  // released before the folder goes
  std::string device_;                // the announced path of the folder itself
  bool caseSensitive_ = false;
#endif
};

// A drive letter that has no drive here, as "X".
std::string LetterWithoutDrive();

// UTF-8 text as a path, on both builds (a plain string is the ANSI code page on Windows).
std::filesystem::path Utf8Path(std::string_view text);

std::string ReadBytes(const std::filesystem::path& file);
void WriteBytes(const std::filesystem::path& file, const std::string& bytes);
// The same bytes for the same seed, so that a failure can be replayed; they differ from
// offset to offset, so that a misplaced block shows.
std::string RandomBytes(std::size_t count, unsigned seed);

// One ZwCreateFile of a native path (or a name relative to the folder root) through a
// service table, as the copy makes it: case-sensitive, a kernel handle, no allocation size,
// attributes or extended attributes.
NTSTATUS CreateNative(const NativeServiceTable& services, const WideString& path, HANDLE* handle,
                      ACCESS_MASK access, ULONG disposition, ULONG options, ULONG share = 0,
                      HANDLE root = nullptr);

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

// A native path whose last name counts as the one typed.
NativeName TypedLastName(const WideString& path);

// One call of the copy engine with driver-sized buffers, and what it printed; each file's
// last name counts as the one typed.
CopyOutcome CopyCapturingOutput(const WideString& source, const WideString& destination);
