#include "tests/support/scratch.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

#include "app/console.h"
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

// The drive path of an absolute path: Z:\tmp\... on the host, the path itself on Windows.
WideText DrivePath(const fs::path& path) {
#ifdef _WIN32
  return fs::path(path).make_preferred().wstring();
#else
  WideText text = u"Z:" + path.u16string();
  for (WCHAR& unit : text) {
    unit = unit == u'/' ? u'\\' : unit;
  }
  return text;
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
      return;
    }
  }
  throw std::runtime_error("no scratch folder could be made under " + base.string());
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

WideText ScratchFolder::NativePath(const char* name) const {
  return WIDE("\\??\\") + DrivePath(path_ / name);
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

CopyOutcome CopyCapturingOutput(const WideText& source, const WideText& destination) {
  WCHAR message[kMessageUnits];
  alignas(64) BYTE data[kCopyBlockBytes];
  OutputCapture capture;
  const bool copied = CopyFileNative(source.c_str(), destination.c_str(), message, data);
  return {copied, capture.Finish()};
}
