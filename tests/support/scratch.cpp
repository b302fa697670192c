#include "tests/support/scratch.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

#include "console/console.h"
#include "copy/copy_engine.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// Under Wine, Z: is the POSIX root: a folder under Z:\tmp has the native path
// \??\Z:\tmp\..., the same on both builds. On the host the stand-in's Z: is "/" too.
fs::path ScratchBase() {
#ifdef _WIN32
  const fs::path wineTmp = L"Z:\\tmp";
  std::error_code error;
  return fs::is_directory(wineTmp, error) ? wineTmp : fs::temp_directory_path();
#else
  return "/tmp";
#endif
}

}  // namespace

ScratchFolder::ScratchFolder() {
  const fs::path base = fs::canonical(ScratchBase());
  std::random_device seed;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / ("vantro-test-" + std::to_string(seed()));
    if (fs::create_directory(candidate)) {
      path_ = candidate;
      std::error_code ignored;
      fs::permissions(path_,
                      fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec,
                      ignored);
      return;
    }
  }
  throw std::runtime_error("no scratch folder could be made under " + base.string());
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  // Folders a test locked are opened again so that their entries can go.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (fs::recursive_directory_iterator entry(path_, ignored), end; entry != end;
       entry.increment(ignored)) {
    if (entry->symlink_status(ignored).type() == fs::file_type::directory) {
      fs::permissions(entry->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path_, ignored);
}

// Under Wine the path is a drive path already; on the host the stand-in's Z: is "/".
std::string ScratchFolder::DrivePath() const {
#ifdef _WIN32
  return fs::path(path_).make_preferred().string();
#else
  std::string text = "Z:" + path_.string();
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
#endif
}

WideString ScratchFolder::NativePath(const char* name) const {
  return Widen("\\??\\" + DrivePath() + "\\" + name);
}

#ifndef _WIN32
std::string ScratchFolder::VolumePath(const std::string& name) const {
  return "\\Device\\HarddiskVolume1" + DrivePath().substr(2) + "\\" + name;
}
#endif

Snapshot ScratchFolder::TakeSnapshot() const {
  Snapshot snapshot;
  for (const auto& entry : fs::recursive_directory_iterator(path_)) {
    const fs::file_status status = entry.symlink_status();
    std::ostringstream description;
    description << static_cast<int>(status.type()) << ' ' << std::oct
                << static_cast<unsigned>(status.permissions()) << ' ';
    if (status.type() == fs::file_type::regular) {
      description << ReadBytes(entry.path());
    }
    snapshot[entry.path().lexically_relative(path_).generic_string()] = description.str();
  }
  return snapshot;
}

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + file.string());
  }
}

std::string RandomBytes(std::size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes(count, '\0');
  for (char& unit : bytes) {
    unit = static_cast<char>(byte(generator));
  }
  return bytes;
}

NTSTATUS CreateNative(const NativeServiceTable& services, const WideString& path, HANDLE* handle,
                      ACCESS_MASK access, ULONG disposition, ULONG options, ULONG share) {
  UNICODE_STRING name;
  services.RtlInitUnicodeString(&name, path.c_str());
  OBJECT_ATTRIBUTES attributes = ObjectAttributesFor(&name, OBJ_KERNEL_HANDLE);
  IO_STATUS_BLOCK io{};
  *handle = nullptr;
  return services.ZwCreateFile(handle, access, &attributes, &io, nullptr, 0, share, disposition,
                               options, nullptr, 0);
}

#ifdef _WIN32

// ConsolePrint writes to the standard output handle; gtest's own output goes through
// the C runtime's descriptor 1 and is left alone.
OutputCapture::OutputCapture() {
  const fs::path file = folder_ / "output";
  HANDLE capture = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (capture == INVALID_HANDLE_VALUE) {
    throw std::runtime_error("cannot create " + file.string());
  }
  saved_ = reinterpret_cast<std::intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE));
  SetStdHandle(STD_OUTPUT_HANDLE, capture);
  capturing_ = true;
}

std::string OutputCapture::Finish() {
  if (capturing_) {
    HANDLE capture = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(saved_));
    CloseHandle(capture);
    capturing_ = false;
  }
  return ReadBytes(folder_ / "output");
}

#else

OutputCapture::OutputCapture() {
  const fs::path file = folder_ / "output";
  const int capture = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (capture < 0) {
    throw std::runtime_error("cannot create " + file.string());
  }
  std::fflush(stdout);
  saved_ = dup(1);
  dup2(capture, 1);
  close(capture);
  capturing_ = true;
}

std::string OutputCapture::Finish() {
  if (capturing_) {
    std::fflush(stdout);
    dup2(static_cast<int>(saved_), 1);
    close(static_cast<int>(saved_));
    capturing_ = false;
  }
  return ReadBytes(folder_ / "output");
}

#endif

OutputCapture::~OutputCapture() {
  Finish();
}

CopyOutcome CopyCapturingOutput(const WideString& source, const WideString& destination) {
  WCHAR message[kMessageUnits];
  alignas(64) BYTE data[kCopyBlockBytes];
  OutputCapture capture;
  const bool copied = CopyFileNative(source.c_str(), destination.c_str(), message, data);
  return {copied, capture.Finish()};
}
