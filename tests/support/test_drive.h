// Drive letters of their own for tests under Wine, each pointed at one folder.
//
// vantro names a file by the target of the drive's link \??\X: and the path after the
// drive, but Wine cannot open files by the \Device\HarddiskVolumeN its own drives link to.
// A test drive therefore has two parts: a drive that Wine's mount manager defines (its
// dosdevices entry, through which Wine opens paths like X:\name, sets X:\ as a working
// directory and starts X:\vantro.exe), and in place of the mount manager's link our own
// link \??\X: -> \??\Z:\tmp\<folder>, which is what vantro reads and then opens.
//
// Claiming a letter is atomic: the link is created with OBJ_OPENLINK, which fails when the
// name exists, and every claim and release runs under one named mutex of the wineserver.
// Each claim is recorded (owner process, folder) under HKCU\Software\vantro\TestDrives, so
// that a drive left by a run that crashed is taken back once its owner has ended or its
// folder is gone. Windows build only; nothing of this works on a real Windows.
#pragma once

#include <filesystem>
#include <string>

// The letters a test drive may take. Q stays out: the tests use it as a drive without a link.
inline constexpr const wchar_t* kTestDriveLetters = L"GHIJKLMNOPRSTUVWXY";

// Claims letter (any free one of kTestDriveLetters when 0) for folder, a folder on a drive
// of Wine ("Z:\tmp\x"). The drive lasts until ReleaseTestDrive, or once owner (a process id)
// has ended; with owner 0 it lasts until its folder is gone. Returns the letter, or 0 with
// the reason in *error.
// With separatorAtEnd the link's target ends in a separator, as `subst X: C:\` makes one.
wchar_t ClaimTestDrive(const std::filesystem::path& folder, wchar_t letter, unsigned long owner,
                       std::string* error, bool separatorAtEnd = false);
// Removes the drive claimed for this folder: the mount manager's drive, the link and the
// record. False when the letter is not a test drive of this folder (a late release never
// removes another test's drive that took over the letter) or something of it is left.
bool ReleaseTestDrive(wchar_t letter, const std::filesystem::path& folder);

// One test's drive for the life of the object.
class TestDrive {
 public:
  // Throws when no letter is free.
  explicit TestDrive(const std::filesystem::path& folder, bool separatorAtEnd = false);
  ~TestDrive();
  TestDrive(const TestDrive&) = delete;
  TestDrive& operator=(const TestDrive&) = delete;

  wchar_t Letter() const { return letter_; }
  // "X:\", for paths and as a working directory.
  std::wstring Root() const { return {letter_, L':', L'\\'}; }
  // The native path the drive's link names: \??\Z:\tmp\...
  const std::wstring& Target() const { return target_; }

 private:
  wchar_t letter_ = 0;
  std::filesystem::path folder_;
  std::wstring target_;
};
