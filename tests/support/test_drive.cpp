#include "tests/support/test_drive.h"

#include <cstring>
#include <cwchar>
#include <stdexcept>
#include <vector>

#include "native/windows_api.h"
#include "tests/support/win_platform.h"

namespace fs = std::filesystem;

namespace {

// The object services this needs, bound by name: mingw's import library and headers do not
// declare all of them.
struct LinkServices {
  using CreateLink = NTSTATUS(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, UNICODE_STRING*);
  using OpenLink = NTSTATUS(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*);
  using QueryLink = NTSTATUS(NTAPI*)(HANDLE, UNICODE_STRING*, ULONG*);
  using MakeTemporary = NTSTATUS(NTAPI*)(HANDLE);
  using Close = NTSTATUS(NTAPI*)(HANDLE);

  LinkServices() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    create = reinterpret_cast<CreateLink>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateSymbolicLinkObject")));
    open = reinterpret_cast<OpenLink>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtOpenSymbolicLinkObject")));
    query = reinterpret_cast<QueryLink>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySymbolicLinkObject")));
    makeTemporary = reinterpret_cast<MakeTemporary>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtMakeTemporaryObject")));
    close = reinterpret_cast<Close>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtClose")));
  }

  CreateLink create;
  OpenLink open;
  QueryLink query;
  MakeTemporary makeTemporary;
  Close close;
};

const LinkServices& Links() {
  static const LinkServices services;
  return services;
}

constexpr ACCESS_MASK kLinkAllAccess = 0xF0001;

// \??\X: and what it names.
struct LinkName {
  explicit LinkName(wchar_t letter) : text{L'\\', L'?', L'?', L'\\', letter, L':', 0} {
    name = {12, 14, text};
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &name;
  }
  LinkName(const LinkName&) = delete;
  LinkName& operator=(const LinkName&) = delete;

  wchar_t text[7];
  UNICODE_STRING name{};
  OBJECT_ATTRIBUTES attributes{};
};

// Permanent, so that it outlives this process: it lives in the wineserver until removed.
// OBJ_OPENLINK makes a name that exists fail the create (c0000035) instead of following it.
NTSTATUS CreateLink(wchar_t letter, const std::wstring& target) {
  LinkName link(letter);
  link.attributes.Attributes = OBJ_PERMANENT | OBJ_CASE_INSENSITIVE | OBJ_OPENLINK;
  std::wstring text = target;
  UNICODE_STRING targetName{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                            static_cast<USHORT>(text.size() * sizeof(WCHAR)), text.data()};
  HANDLE handle = nullptr;
  const NTSTATUS status = Links().create(&handle, kLinkAllAccess, &link.attributes, &targetName);
  if (NT_SUCCESS(status)) {
    Links().close(handle);
  }
  return status;
}

// The link made temporary goes with its last handle.
NTSTATUS RemoveLink(wchar_t letter) {
  LinkName link(letter);
  link.attributes.Attributes = OBJ_CASE_INSENSITIVE | OBJ_OPENLINK;
  HANDLE handle = nullptr;
  NTSTATUS status = Links().open(&handle, DELETE, &link.attributes);
  if (NT_SUCCESS(status)) {
    status = Links().makeTemporary(handle);
    Links().close(handle);
  }
  return status;
}

// Empty when there is no link.
std::wstring LinkTarget(wchar_t letter) {
  LinkName link(letter);
  link.attributes.Attributes = OBJ_CASE_INSENSITIVE;
  HANDLE handle = nullptr;
  if (!NT_SUCCESS(Links().open(&handle, GENERIC_READ, &link.attributes))) {
    return {};
  }
  WCHAR buffer[1024];
  UNICODE_STRING target{0, sizeof buffer, buffer};
  ULONG length = 0;
  const NTSTATUS status = Links().query(handle, &target, &length);
  Links().close(handle);
  return NT_SUCCESS(status) ? std::wstring(buffer, target.Length / sizeof(WCHAR)) : L"";
}

// Wine's mount manager: defines a drive on a Linux folder, or removes it (folder empty).
// The request is Wine's own, as its configuration tool sends it.
// CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS).
constexpr DWORD kDefineUnixDrive = (DWORD{'m'} << 16) | (3U << 14) | (32U << 2);

struct UnixDriveRequest {
  ULONG size;
  ULONG type;
  ULONG fsType;
  DWORD serial;
  ULONGLONG unixDevice;
  WCHAR letter;
  USHORT mountPointOffset;
  USHORT deviceOffset;
  USHORT labelOffset;
};

bool DefineUnixDrive(wchar_t letter, const std::string& linuxFolder) {
  std::vector<char> request(sizeof(UnixDriveRequest) + linuxFolder.size() + 1, '\0');
  UnixDriveRequest header{};
  header.size = static_cast<ULONG>(request.size());
  header.letter = letter;
  header.type = linuxFolder.empty() ? DRIVE_NO_ROOT_DIR : DRIVE_FIXED;
  if (!linuxFolder.empty()) {
    header.mountPointOffset = sizeof header;
    std::memcpy(request.data() + sizeof header, linuxFolder.c_str(), linuxFolder.size() + 1);
  }
  std::memcpy(request.data(), &header, sizeof header);
  const HANDLE manager =
      CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (manager == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD returned = 0;
  const BOOL done =
      DeviceIoControl(manager, kDefineUnixDrive, request.data(), static_cast<DWORD>(request.size()),
                      nullptr, 0, &returned, nullptr);
  CloseHandle(manager);
  return done != FALSE;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring DriveRoot(wchar_t letter) {
  return {letter, L':', L'\\'};
}

// The record of a claim: "<owner> <owner's start> <folder>".
constexpr const wchar_t* kRecordKey = L"Software\\vantro\\TestDrives";

struct Record {
  DWORD owner = 0;
  ULONGLONG started = 0;
  std::wstring folder;
};

ULONGLONG ProcessStart(HANDLE process) {
  FILETIME created{};
  FILETIME ended{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetProcessTimes(process, &created, &ended, &kernel, &user)) {
    return 0;
  }
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

bool WriteRecord(wchar_t letter, const Record& record) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kRecordKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const std::wstring text =
      std::to_wstring(record.owner) + L" " + std::to_wstring(record.started) + L" " + record.folder;
  const wchar_t name[2] = {letter, 0};
  const LSTATUS status =
      RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

bool ReadRecord(wchar_t letter, Record* record) {
  const wchar_t name[2] = {letter, 0};
  wchar_t text[1024];
  DWORD size = sizeof text;
  if (RegGetValueW(HKEY_CURRENT_USER, kRecordKey, name, RRF_RT_REG_SZ, nullptr, text, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  int folderAt = 0;
  unsigned long owner = 0;
  unsigned long long started = 0;
  if (std::swscanf(text, L"%lu %llu %n", &owner, &started, &folderAt) < 2 || folderAt == 0) {
    return false;
  }
  *record = {owner, started, text + folderAt};
  return true;
}

void DeleteRecord(wchar_t letter) {
  const wchar_t name[2] = {letter, 0};
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kRecordKey, name);
}

bool OwnerRunning(const Record& record) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, record.owner);
  if (process == nullptr) {
    return GetLastError() == ERROR_ACCESS_DENIED;
  }
  // A process id is used again after its process has ended: its start tells them apart.
  DWORD code = 0;
  const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE &&
                       ProcessStart(process) == record.started;
  CloseHandle(process);
  return running;
}

// Left by a run that ended without releasing it.
bool IsLeftOver(wchar_t letter) {
  Record record;
  return ReadRecord(letter, &record) &&
         (!Exists(record.folder) || (record.owner != 0 && !OwnerRunning(record)));
}

// The mount manager removes its drive and its dosdevices entry, and the link at \??\X:
// with them (ours, which replaced its own); what it leaves, we remove.
bool RemoveDrive(wchar_t letter) {
  DefineUnixDrive(letter, "");
  RemoveLink(letter);
  DeleteRecord(letter);
  return LinkTarget(letter).empty() && !Exists(DriveRoot(letter));
}

// Every claim and release of every test process, one at a time.
class DriveLock {
 public:
  DriveLock() : mutex_(CreateMutexW(nullptr, FALSE, L"vantro-test-drives")) {
    // An owner that crashed abandons the mutex; it is ours then all the same.
    const DWORD waited = mutex_ != nullptr ? WaitForSingleObject(mutex_, 60000) : WAIT_FAILED;
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }
  ~DriveLock() {
    if (held_) {
      ReleaseMutex(mutex_);
    }
    if (mutex_ != nullptr) {
      CloseHandle(mutex_);
    }
  }
  DriveLock(const DriveLock&) = delete;
  DriveLock& operator=(const DriveLock&) = delete;

  bool Held() const { return held_; }

 private:
  HANDLE mutex_;
  bool held_ = false;
};

std::string Narrow(const std::wstring& text) {
  return Utf8FromWide(text);
}

// The link first: it is the claim. Then the mount manager's drive, which adds the entry
// Wine opens paths through; where the manager put its own link in place of ours, ours goes
// back.
bool SetUpDrive(wchar_t letter, const std::wstring& target, const std::string& linuxFolder,
                std::string* error) {
  if (!DefineUnixDrive(letter, linuxFolder)) {
    *error = "the mount manager refused drive " + Narrow({letter}) + " (error " +
             std::to_string(GetLastError()) + ")";
    return false;
  }
  if (LinkTarget(letter) != target) {
    RemoveLink(letter);
    CreateLink(letter, target);
  }
  if (LinkTarget(letter) != target || !Exists(DriveRoot(letter))) {
    *error = "drive " + Narrow({letter}) + " did not come up as " + Narrow(target);
    return false;
  }
  return true;
}

// The folder as the link names it: backslashes, no separator at its end.
std::wstring DriveFolder(const fs::path& folder) {
  std::wstring text = fs::path(folder).make_preferred().wstring();
  while (text.size() > 3 && text.ends_with(L"\\")) {
    text.pop_back();
  }
  return text;
}

}  // namespace

wchar_t ClaimTestDrive(const fs::path& folder, wchar_t letter, unsigned long owner,
                       std::string* error, bool separatorAtEnd) {
  const std::wstring windowsFolder = DriveFolder(folder);
  const std::string linuxFolder = LinuxPathUnderWine(windowsFolder);
  if (!RunningUnderWine() || linuxFolder.empty() || !Exists(windowsFolder)) {
    *error = "a test drive needs Wine and an existing folder: " + Narrow(windowsFolder);
    return 0;
  }
  const std::wstring target = L"\\??\\" + windowsFolder + (separatorAtEnd ? L"\\" : L"");
  Record record{static_cast<DWORD>(owner), 0, windowsFolder};
  if (owner != 0) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owner);
    record.started = process != nullptr ? ProcessStart(process) : 0;
    if (process != nullptr) {
      CloseHandle(process);
    }
  }
  const DriveLock lock;
  if (!lock.Held()) {
    *error = "the test drives' mutex could not be taken";
    return 0;
  }
  const std::wstring letters = letter != 0 ? std::wstring(1, letter) : kTestDriveLetters;
  for (const wchar_t candidate : letters) {
    if (IsLeftOver(candidate)) {
      RemoveDrive(candidate);
    }
    if (!NT_SUCCESS(CreateLink(candidate, target))) {
      continue;  // in use
    }
    if (!WriteRecord(candidate, record) || !SetUpDrive(candidate, target, linuxFolder, error)) {
      RemoveDrive(candidate);
      return 0;
    }
    return candidate;
  }
  *error = letter != 0 ? "drive " + Narrow({letter}) + " is in use" : "every test drive is in use";
  return 0;
}

bool ReleaseTestDrive(wchar_t letter, const fs::path& folder) {
  const DriveLock lock;
  Record record;
  return lock.Held() && ReadRecord(letter, &record) && record.folder == DriveFolder(folder) &&
         RemoveDrive(letter);
}

TestDrive::TestDrive(const fs::path& folder, bool separatorAtEnd) : folder_(folder) {
  std::string error;
  letter_ = ClaimTestDrive(folder, 0, GetCurrentProcessId(), &error, separatorAtEnd);
  if (letter_ == 0) {
    throw std::runtime_error(error);
  }
  target_ = L"\\??\\" + DriveFolder(folder) + (separatorAtEnd ? L"\\" : L"");
}

TestDrive::~TestDrive() {
  ReleaseTestDrive(letter_, folder_);
}
