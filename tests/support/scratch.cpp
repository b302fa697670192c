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
#include "tests/support/linux_shell.h"

#ifdef _WIN32
#include <windows.h>

#include "tests/support/test_drive.h"
#include "tests/support/win_platform.h"
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
  if (const wchar_t* chosen = _wgetenv(L"VANTRO_TEST_DIR"); chosen != nullptr && *chosen != 0) {
    return chosen;
  }
  const fs::path wineTmp = L"Z:\\tmp";
  std::error_code error;
  return RunningUnderWine() && fs::is_directory(wineTmp, error) ? wineTmp
                                                                : fs::temp_directory_path();
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
#ifdef _WIN32
  // Under Wine the library follows Linux links while it removes a folder, for ever where one
  // leads back or nowhere: the Linux side removes it, links and all. The shell's own folder
  // (it holds no links) goes the library's way, or each removal would start another shell.
  static thread_local bool inShell = false;
  if (!inShell && LinuxShellAvailable()) {
    inShell = true;
    const int removed = RunLinuxShell("rm -rf " + ShellQuoted(LinuxPathOf(path_)));
    inShell = false;
    if (removed == 0) {
      return;
    }
  }
#endif
  std::error_code ignored;
  // Folders a test locked are opened again so that their entries can go, and read-only
  // files (which Windows will not delete) made writable.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (fs::recursive_directory_iterator entry(path_, ignored), end; entry != end;
       entry.increment(ignored)) {
    if (entry->symlink_status(ignored).type() != fs::file_type::symlink) {
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

#ifdef _WIN32
namespace {

// mingw's folder listing cuts paths beyond 260 units: this one goes through FindFirstFileW
// on "\\?\" paths, which take any length.
void SnapshotFolder(const std::wstring& folder, const std::wstring& prefix, Snapshot& snapshot) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") {
      continue;
    }
    const std::wstring path = folder + L"\\" + name;
    const std::wstring relative = prefix.empty() ? name : prefix + L"/" + name;
    const DWORD attributes = found.dwFileAttributes;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const bool entered = !link && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    snapshot[Utf8FromWide(relative)] = link       ? "3 "
                                       : entered  ? "2 777 "
                                       : readOnly ? "1 444 " + ReadBytes(path)
                                                  : "1 666 " + ReadBytes(path);
    if (entered) {
      SnapshotFolder(path, relative, snapshot);
    }
  } while (FindNextFileW(search, &found) != 0);
  FindClose(search);
}

}  // namespace

Snapshot ScratchFolder::TakeSnapshot(const fs::path& under) const {
  Snapshot snapshot;
  const fs::path root = under.empty() ? path_ : path_ / under;
  SnapshotFolder(L"\\\\?\\" + fs::path(root).make_preferred().wstring(), L"", snapshot);
  return snapshot;
}
#else
Snapshot ScratchFolder::TakeSnapshot(const fs::path& under) const {
  Snapshot snapshot;
  const fs::path root = under.empty() ? path_ : path_ / under;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const fs::file_status status = entry.symlink_status();
    std::ostringstream description;
    description << static_cast<int>(status.type()) << ' ' << std::oct
                << static_cast<unsigned>(status.permissions()) << ' ';
    if (status.type() == fs::file_type::regular) {
      description << ReadBytes(entry.path());
    }
    const std::u8string name = entry.path().lexically_relative(root).generic_u8string();
    snapshot[std::string(name.begin(), name.end())] = description.str();
  }
  return snapshot;
}
#endif

fs::path Utf8Path(std::string_view text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

namespace {

// Tests write '\\' between folders, as the tool is given them; the host's files take '/'.
fs::path RelativePath(std::string_view rel) {
  std::string text(rel);
#ifndef _WIN32
  std::replace(text.begin(), text.end(), '\\', '/');
#endif
  return Utf8Path(text);
}

}  // namespace

fs::path ToolFolder::File(std::string_view rel) const {
  return folder_.Path() / RelativePath(rel);
}

#ifdef _WIN32

namespace {

std::string Utf8Of(const fs::path& path) {
  const std::u8string text = fs::path(path).make_preferred().u8string();
  return {text.begin(), text.end()};
}

// FileCaseSensitiveInformation: the folder's own mark, as fsutil sets it.
bool MarkCaseSensitive(const fs::path& folder) {
  using SetInformation = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, int);
  const auto setInformation = reinterpret_cast<SetInformation>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile")));
  const HANDLE handle = CreateFileW(folder.c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (setInformation == nullptr || handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  constexpr int kFileCaseSensitiveInformation = 71;
  ULONG flags = 1;  // FILE_CS_FLAG_CASE_SENSITIVE_DIR
  IO_STATUS_BLOCK io{};
  const LONG status =
      setInformation(handle, &io, &flags, sizeof flags, kFileCaseSensitiveInformation);
  CloseHandle(handle);
  return status >= 0;
}

// What the link of the folder's drive names (\Device\HarddiskVolumeN), read another way
// than the tool reads it.
std::string DeviceOfDrive(const fs::path& folder) {
  wchar_t device[1024];
  const std::wstring drive = folder.root_name().wstring();
  if (drive.size() != 2 || QueryDosDeviceW(drive.c_str(), device, 1024) == 0) {
    throw std::runtime_error("no device for the drive of " + Utf8Of(folder) +
                             "; VANTRO_TEST_DIR must be a folder on a drive");
  }
  return Utf8FromWide(device);
}

}  // namespace

ToolFolder::ToolFolder() {
  if (RunningUnderWine()) {
    drive_ = std::make_unique<TestDrive>(folder_.Path());
    device_ = Utf8FromWide(drive_->Target());
  } else {
    caseSensitive_ = MarkCaseSensitive(folder_.Path());
    const fs::path folder = fs::path(folder_.Path()).make_preferred();
    device_ = DeviceOfDrive(folder) + "\\" + Utf8Of(folder.relative_path());
  }
}

ToolFolder::~ToolFolder() = default;

std::string ToolFolder::Name(std::string_view rel) const {
  const std::string folder = drive_ ? Utf8FromWide(drive_->Root()) : Utf8Of(folder_.Path()) + "\\";
  return folder + std::string(rel);
}

std::string ToolFolder::FullName(std::string_view rel) const {
  return Name(rel);
}

fs::path ToolFolder::Root() const {
  return drive_ ? fs::path(drive_->Root()) : folder_.Path();
}

std::string ToolFolder::Announced(std::string_view rel) const {
  return device_ + "\\" + std::string(rel);
}

// Under Wine every create finds any other spelling (and an overwrite would truncate it):
// the bytes go to a name of their own, which the Linux side then renames.
bool ToolFolder::WriteExactly(std::string_view rel, const std::string& bytes) const {
  if (!drive_) {
    if (caseSensitive_) {
      // A new folder takes its parent's case-sensitive mark.
      fs::create_directories(File(rel).parent_path());
      WriteBytes(File(rel), bytes);
    }
    return caseSensitive_;
  }
  static int written = 0;
  const std::string staged = ".exactly-" + std::to_string(++written);
  WriteBytes(folder_ / staged, bytes);
  // Wine would map the names themselves to any spelling that exists: only the test's folder
  // is mapped, the rest is made from the Linux side.
  std::string name(rel);
  std::replace(name.begin(), name.end(), '\\', '/');
  const std::string folder = LinuxPathOf(folder_.Path()) + "/";
  const std::string target = ShellQuoted(folder + name);
  return RunLinuxShell("mkdir -p -- \"$(dirname -- " + target + ")\" && mv -f -- " +
                       ShellQuoted(folder + staged) + " " + target) == 0;
}

std::string LetterWithoutDrive() {
  for (const char letter : std::string_view("QPONMLKJIH")) {
    const wchar_t drive[3] = {static_cast<wchar_t>(letter), L':', 0};
    wchar_t device[1024];
    if (QueryDosDeviceW(drive, device, 1024) == 0) {
      return std::string(1, letter);
    }
  }
  throw std::runtime_error("every drive letter from H to Q has a drive");
}

#else

ToolFolder::ToolFolder() = default;
ToolFolder::~ToolFolder() = default;

std::string ToolFolder::Name(std::string_view rel) const {
  return std::string(rel);
}

std::string ToolFolder::FullName(std::string_view rel) const {
  return folder_.DrivePath() + "\\" + std::string(rel);
}

fs::path ToolFolder::Root() const {
  return folder_.Path();
}

std::string ToolFolder::Announced(std::string_view rel) const {
  return folder_.VolumePath(std::string(rel));
}

bool ToolFolder::WriteExactly(std::string_view rel, const std::string& bytes) const {
  fs::create_directories(File(rel).parent_path());
  WriteBytes(File(rel), bytes);
  return true;
}

// The stand-in knows only Z:.
std::string LetterWithoutDrive() {
  return "Q";
}

#endif

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
                      ACCESS_MASK access, ULONG disposition, ULONG options, ULONG share,
                      HANDLE root) {
  UNICODE_STRING name;
  services.RtlInitUnicodeString(&name, path.c_str());
  OBJECT_ATTRIBUTES attributes = ObjectAttributesFor(&name, OBJ_KERNEL_HANDLE);
  attributes.RootDirectory = root;
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

NativeName TypedLastName(const WideString& path) {
  const std::size_t nameAt = path.find_last_of(u'\\');
  return {path.c_str(), path.c_str() + (nameAt == WideString::npos ? 0 : nameAt + 1)};
}

CopyOutcome CopyCapturingOutput(const WideString& source, const WideString& destination) {
  WCHAR message[kMessageUnits];
  alignas(64) BYTE data[kDataBufferBytes];
  OutputCapture capture;
  const bool copied =
      CopyFileNative(TypedLastName(source), TypedLastName(destination), message, data);
  return {copied, capture.Finish()};
}
