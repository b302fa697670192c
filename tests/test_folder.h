// A temporary folder per test, removed afterwards, and snapshots of everything in it,
// so that a test can tell exactly which files a run created or changed.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

namespace vantro_test {

class TestFolder {
 public:
  // Open to every user (0755), so that a run as an unprivileged user reaches it.
  TestFolder() {
    std::string pattern = std::filesystem::temp_directory_path() / "vantro-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
      chmod(path_.c_str(), 0755);
    }
  }
  ~TestFolder() {
    std::error_code ignored;
    // Folders a test locked are opened again so that their files can go.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored)) {
      if (entry.is_directory(ignored)) {
        chmod(entry.path().c_str(), 0755);
      }
    }
    std::filesystem::remove_all(path_, ignored);
  }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  // The folder as the tool names it on drive Z: ("Z:\tmp\...").
  std::string DrivePath() const {
    std::string text = "Z:" + path_;
    for (char& unit : text) {
      unit = unit == '/' ? '\\' : unit;
    }
    return text;
  }

 private:
  std::string path_;
};

inline std::string ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Bytes that differ from offset to offset, so that a misplaced block shows.
inline std::string PatternBytes(std::size_t count, unsigned seed) {
  std::string bytes(count, '\0');
  unsigned state = seed * 2654435761U + 1;
  for (char& byte : bytes) {
    state = state * 1103515245U + 12345U;
    byte = static_cast<char>(state >> 16);
  }
  return bytes;
}

// Every entry under a folder: its kind, mode and contents.
using Snapshot = std::map<std::string, std::string>;

inline Snapshot TakeSnapshot(const std::string& folder) {
  Snapshot snapshot;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ignored)) {
    struct stat status {};
    lstat(entry.path().c_str(), &status);
    std::ostringstream description;
    description << std::oct << status.st_mode << ' ';
    if (S_ISREG(status.st_mode)) {
      description << ReadBytes(entry.path());
    }
    snapshot[entry.path().string().substr(folder.size())] = description.str();
  }
  return snapshot;
}

}  // namespace vantro_test
