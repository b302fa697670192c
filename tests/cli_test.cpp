// The built tool end to end on real files, from one table of cases in both builds: started
// as a user starts it (by its bare name in the test's folder unless a case says otherwise),
// standard input from the null device or a file the test has open, standard output and error
// captured, which is a pipe or a file and never a console, so the text arrives as UTF-8.
//
// - host: the binary in a scratch folder under /tmp, over the stand-in platform.
// - Windows under Wine: vantro.exe copies for real through a drive letter of the folder's
//   own (tests/support/test_drive.h), since Wine cannot open files by the device its own
//   drives link to. Two names differing only in case are put side by side from the Linux
//   side, which Wine's own creates cannot do.
// - a real Windows: the same program unchanged, in folders on a local drive. Where the
//   scratch folder can be marked case-sensitive, the cases that need two names differing
//   only in case run; elsewhere they are skipped. The full volume needs a Linux side.
//
// Environment:
//   VANTRO_EXE       the binary under test (ctest sets it; a Linux path is taken on Z: under
//                    Wine)
//   VANTRO_TEST_DIR  Windows build, optional: the folder that takes the scratch folders (on a
//                    real Windows a folder on a local NTFS drive; default the temporary folder,
//                    Z:\tmp under Wine)
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include "tests/support/test_drive.h"
#include "tests/support/win_platform.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/linux_shell.h"
#include "tests/support/process.h"
#include "tests/support/scratch.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "Usage:\nvantro <source> <destination>\nAttention: Filenames are case sensitive!";
constexpr const char* kUsageTreeLine =
    "\nvantro <source folder> <new folder> /E   copies the folder and all it holds";
const std::string kUpper = "upper case report\n";
const std::string kLower = "lower case report, longer\n";

// Hidden, system and archive: what the Windows build keeps beyond read-only. The host build
// keeps read-only alone, so there no file has them.
#ifdef _WIN32
constexpr bool kKeepsHiddenAndSystem = true;
constexpr DWORD kHiddenSystem =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
bool HiddenAndSystem(const fs::path& file) {
  const DWORD attributes = GetFileAttributesW(file.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & kHiddenSystem) == kHiddenSystem;
}
bool MadeHiddenAndSystem(const fs::path& file) {
  return SetFileAttributesW(file.c_str(), kHiddenSystem) != 0 && HiddenAndSystem(file);
}
const auto UnderWine = RunningUnderWine;
// Another program's open of the file, reading and sharing reading only, as long as the
// result lives; null when it failed.
std::shared_ptr<void> HoldOpen(const fs::path& file) {
  const HANDLE handle =
      CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  return handle == INVALID_HANDLE_VALUE ? nullptr : std::shared_ptr<void>(handle, CloseHandle);
}
// std::filesystem opens a folder as a file, which Windows refuses.
void MakeFolderOf2001(const fs::path& folder) {
  const HANDLE handle = CreateFileW(folder.c_str(), FILE_WRITE_ATTRIBUTES, 7, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  constexpr ULONGLONG kSecondsTo2001 = 11644473600ULL + 981158400ULL;  // from 1601
  constexpr ULONGLONG kTicks = kSecondsTo2001 * 10000000ULL;
  const FILETIME written{static_cast<DWORD>(kTicks), static_cast<DWORD>(kTicks >> 32)};
  SetFileTime(handle, nullptr, nullptr, &written);
  CloseHandle(handle);
}
#else
constexpr bool kKeepsHiddenAndSystem = false;
const auto UnderWine = [] { return false; };
const auto HiddenAndSystem = [](const fs::path& /*file*/) { return false; };
const auto MadeHiddenAndSystem = HiddenAndSystem;
void MakeFolderOf2001(const fs::path& folder) {
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 25);
  fs::last_write_time(folder, std::chrono::floor<std::chrono::seconds>(old));
}
// The stand-in takes a shared lock for an open that shares.
std::shared_ptr<void> HoldOpen(const fs::path& file) {
  const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  const auto closing = [](const int* held) { close(*held), delete held; };
  return descriptor < 0 || flock(descriptor, LOCK_SH) != 0
             ? nullptr
             : std::shared_ptr<int>(new int(descriptor), closing);
}
#endif

class CliTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(VantroPath().empty()) << "VANTRO_EXE names the binary under test";
    WriteBytes(folder_.File("Report.TXT"), kUpper);
    // Two folders differing only in case, each holding one file, for the destination's.
    twins_ = folder_.WriteExactly("report.txt", kLower) &&
             folder_.WriteExactly("tw\\Dir\\keep.txt", kUpper) &&
             folder_.WriteExactly("tw\\dir\\keep.txt", kLower);
    filesBefore_ = FileCount();
  }

  // Typed as `vantro <arguments...>` in the folder; standard input is the null device.
  RunOptions Typed() const { return {.directory = folder_.Root(), .argument0 = "vantro"}; }
  // Names of files in the folder, as the tool is given them.
  std::vector<std::string> Names(std::vector<std::string> names) const {
    for (std::string& name : names) {
      name = folder_.Name(name);
    }
    return names;
  }
  RunResult Run(const std::vector<std::string>& names) const {
    return RunVantro(Names(names), Typed());
  }
  RunResult RunTree(const std::string& source, const std::string& destination) const {
    return RunVantro({folder_.Name(source), folder_.Name(destination), "/E"}, Typed());
  }
  // The record of an unfinished tree, as a run leaves it, naming the source it copies.
  void WriteRecord(const std::string& unfinished, const std::string& source) const {
    fs::create_directory(folder_.File(unfinished));
    const WideString text = Widen("vantro unfinished copy of\n" + folder_.Announced(source));
    WriteBytes(folder_.File(unfinished + "\\.vantro-unfinished"),
               std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2));
  }

  // How a case types a name of the folder: as Name() gives it, as the full path with its drive
  // letter in lower case, rooted on the current drive or relative (the tool starts in Root()).
  enum class Form { kName, kLowercaseDrive, kRooted, kRelative };
  std::string Typed(Form form, const std::string& name) const {
    const std::string full = folder_.FullName(name);
    switch (form) {
      case Form::kLowercaseDrive: return static_cast<char>(std::tolower(full[0])) + full.substr(1);
      case Form::kRooted: return full.substr(2);
      case Form::kRelative: return name;
      case Form::kName: break;
    }
    return folder_.Name(name);
  }
  // A name whose native path takes this many units: folders of 200 units, then leaf units.
  std::string Deep(std::size_t units, char leaf) const {
    std::string name = "deep";
    while (units - folder_.Announced(name).size() > 210) {
      name += std::string(196, 'd') + "\\";
    }
    return name + std::string(units - folder_.Announced(name).size(), leaf);
  }
  // A file of the folder, on Windows in the form whose length the file functions do not limit.
  fs::path LongFile(const std::string& name) const {
#ifdef _WIN32
    return L"\\\\?\\" + folder_.File(name).wstring();
#endif
    return folder_.File(name);
  }

  // A native path as announced: past 506 units (half the message, less its own text), its start
  // and end around "..." (ASCII here: a unit a byte).
  std::string Shown(const std::string& name) const {
    const std::string path = folder_.Announced(name);
    return path.size() <= 506 ? path : path.substr(0, 251) + "..." + path.substr(path.size() - 252);
  }
  std::string Announcement(const std::string& source, const std::string& destination) const {
    return "src=" + Shown(source) + "\ndst=" + Shown(destination) + "\n\n";
  }

  std::size_t FileCount() const {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder_.Scratch().Path()), fs::directory_iterator()));
  }

  // A case that needs Report.TXT and report.txt side by side, where the folder cannot hold
  // both, is noted instead of run.
  bool CanRun(bool needsTwins, const std::string& name) {
    if (needsTwins && !twins_) {
      notRun_.push_back(name + ": this folder cannot hold Report.TXT and report.txt together");
      return false;
    }
    return true;
  }

  // Cases of a table that cannot run on this platform are named at the end of the test,
  // which then counts as skipped unless another case failed.
  void SkipCasesNotRun() {
    if (!notRun_.empty()) {
      GTEST_SKIP() << "cases that cannot run on this platform: " << testing::PrintToString(notRun_);
    }
  }

  ToolFolder folder_;
  bool twins_ = false;
  std::size_t filesBefore_ = 0;
  std::vector<std::string> notRun_;  // cases skipped, with the reason
};

// The pause after a run reads only an interactive console: standard input redirected from a
// file, as a script's loop reads its list, is left where it was for the loop's next line.
TEST_F(CliTest, NeverReadsInputThatIsNotAConsole) {
  struct Call {
    std::vector<std::string> arguments;
    std::string output;
    int exitCode;  // a call that copies nothing is a failure, unless it asks for the usage
  };
  const Call calls[] = {
      {{}, kUsage, 1},
      {{""}, kUsage, 1},
      {Names({"Report.TXT"}), kUsage, 1},
      {{"/?"}, std::string(kUsage) + kUsageTreeLine, 0},
      {{"/?x"}, kUsage, 1},  // a path, not a request
      {Names({"Report.TXT", "out.txt"}), Announcement("Report.TXT", "out.txt"), 0},
  };
  WriteBytes(folder_.File("list.txt"), "Report.TXT\n");
  for (const Call& call : calls) {
    SCOPED_TRACE(call.arguments.size());
    RunOptions options = Typed();
    options.input = folder_.File("list.txt");
    const RunResult finished = RunVantro(call.arguments, options);
    EXPECT_EQ(finished.inputTaken, 0) << "the tool read its standard input";
    EXPECT_EQ(finished.exitCode, call.exitCode);
    EXPECT_EQ(finished.output, call.output);
  }
  EXPECT_EQ(ReadBytes(folder_.File("out.txt")), kUpper);
  EXPECT_EQ(FileCount(), filesBefore_ + 2);
}

// Each spelling opens only the file of exactly that name; a third argument is ignored;
// names with percent signs and beyond ASCII (two-byte, CJK, a surrogate pair) are passed,
// announced and created unit for unit; a read-only source of 2001 gives a read-only copy of
// the same last-write time, as Windows' own copy does.
TEST_F(CliTest, CopiesTheFileOfExactlyTheNameGiven) {
  struct Pick {
    std::string source;
    std::string destination;
    std::string made;  // the bytes the case writes to its source; empty: the file is there
    std::string expected;
    bool needsTwins = false;
    const char* extra = nullptr;
    bool oldAndReadOnly = false;
    Form form = Form::kName;    // how both names are typed
    bool hiddenSystem = false;  // the source is hidden, system and archived
  };
  std::vector<Pick> picks = {
      {"Report.TXT", "upper.txt", "", kUpper, true},
      {"Report.TXT", "tw\\dir\\exact.txt", "", kUpper, true},
      {"report.txt", "lower.txt", "", kLower, true},
      {"Report.TXT", "extra.txt", "", kUpper, false, "ignored.txt"},
      {"Report.TXT", "by E.txt", "", kUpper, false, "/E"},  // a file, copied as one
      {"100% %s%n%x.txt", "copy %d%%.txt", "percent\n", "percent\n"},
      {"r\xc3\xa9sum\xc3\xa9 \xc3\x89t\xc3\xa9.txt", "copie \xc3\xa9.txt", "accents\n",
       "accents\n"},
      {"\xe6\x8a\xa5\xe5\x91\x8a.txt", "\xe5\x89\xaf\xe6\x9c\xac.txt", "cjk\n", "cjk\n"},
      {"\xf0\x9f\x98\x80.txt", "\xf0\x9f\x98\x80 copy.txt", "emoji\n", "emoji\n"},
      {"dated.txt", "dated copy.txt", "2001\n", "2001\n", false, nullptr, true},
      {"shown.txt", "hidden.txt", "hidden\n", "hidden\n", false, nullptr, false, Form::kName, true},
  };
  // Native paths of 300, 1,000 and about 3,500 units; under Wine 4,087 at most less its prefix's
  // length: it opens \??\Z:\x (6 units and x) as $WINEPREFIX/dosdevices/z:/x (14 bytes more),
  // and Linux takes 4,095 bytes.
  const char* prefix = std::getenv("WINEPREFIX");
  const std::size_t longest =
      std::min<std::size_t>(3500, 4087 - std::string(prefix ? prefix : "").size());
  for (const std::size_t units : {std::size_t{300}, std::size_t{1000}, longest}) {
    for (const Form form : {Form::kLowercaseDrive, Form::kRelative, Form::kRooted}) {
      picks.push_back({Deep(units, 's'),
                       Deep(units, static_cast<char>('k' + static_cast<int>(form))), "deep\n",
                       "deep\n", false, nullptr, false, form});
    }
  }
  // Block edges of the copy (16384 bytes a block) and a few mebibytes, byte for byte.
  for (const std::size_t size : {0U, 1U, 16383U, 16384U, 16385U, 3U * 1024 * 1024 + 123}) {
    const std::string data = RandomBytes(size, static_cast<unsigned>(size) + 11);
    WriteBytes(folder_.File("random-" + std::to_string(size)), data);
    picks.push_back({"random-" + std::to_string(size), "copy-" + std::to_string(size), "", data});
  }
  const auto inOld = std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now() -
                                                              std::chrono::hours(24 * 365 * 25));
  for (const Pick& pick : picks) {
    SCOPED_TRACE(pick.destination);
    if (!CanRun(pick.needsTwins, pick.source)) {
      continue;
    }
    fs::create_directories(LongFile(pick.source).parent_path());
    if (!pick.made.empty()) {
      WriteBytes(LongFile(pick.source), pick.made);
    }
    if (pick.oldAndReadOnly) {
      fs::last_write_time(folder_.File(pick.source), inOld);
      fs::permissions(folder_.File(pick.source), fs::perms::owner_write, fs::perm_options::remove);
    }
    if (pick.hiddenSystem && !MadeHiddenAndSystem(folder_.File(pick.source))) {
      // Wine keeps them in user extended attributes, which not every file system has.
      if (kKeepsHiddenAndSystem) {
        notRun_.push_back(pick.source + ": this file system keeps no hidden or system attribute");
      }
      continue;
    }
    std::vector<std::string> arguments{Typed(pick.form, pick.source),
                                       Typed(pick.form, pick.destination)};
    if (pick.extra != nullptr) {
      arguments.push_back(*pick.extra == '/' ? pick.extra : folder_.Name(pick.extra));
    }
    const RunResult finished = RunVantro(arguments, Typed());
    EXPECT_EQ(finished.exitCode, 0);
    EXPECT_EQ(finished.output, Announcement(pick.source, pick.destination));
    EXPECT_TRUE(ReadBytes(LongFile(pick.destination)) == pick.expected) << "the copy differs";
    if (pick.oldAndReadOnly) {
      EXPECT_EQ(fs::last_write_time(folder_.File(pick.destination)), inOld);
      const fs::perms kept = fs::status(folder_.File(pick.destination)).permissions();
      EXPECT_EQ(kept & fs::perms::owner_write, fs::perms::none) << "the copy is not read-only";
    }
    EXPECT_EQ(HiddenAndSystem(folder_.File(pick.destination)), pick.hiddenSystem);
  }
  EXPECT_FALSE(fs::exists(folder_.File("ignored.txt")));
  SkipCasesNotRun();
}

// A tree of four levels: file twins, folder twins, an empty folder, a read-only file, a
// hidden one, a folder of 2001, a path of over 300 units and a link to a folder. Where the
// destination keeps twins apart (the host; Windows in a case-sensitive folder, whose mark
// travels) all of it arrives but the link; where it folds case (Wine) the second twin of
// each pair is refused, and the rest stays whole under the unfinished name.
TEST_F(CliTest, CopiesATreeByExactNames) {
  const std::string deep = std::string(100, 'd') + "\\" + std::string(100, 'e') + "\\" +
                           std::string(100, 'f') + "\\leaf.txt";
  std::vector<std::string> names{"A.txt", "Sub\\x.txt", "ro.txt",           ".hidden",
                                 ".x",    "..x",        "Sub\\2001\\o.txt", deep};
  // More entries than one listing takes.
  for (int file = 0; file < 300; ++file) {
    names.push_back("wide\\" + std::string(120, 'w') + std::to_string(file));
  }
  for (const std::string& name : names) {
    fs::create_directories(folder_.File("tree\\" + name).parent_path());
    WriteBytes(folder_.File("tree\\" + name), name);
  }
  fs::create_directory(folder_.File("tree\\empty"));
  const bool twins =
      folder_.WriteExactly("tree\\a.txt", "a") && folder_.WriteExactly("tree\\sub\\y.txt", "y");
  CanRun(!twins, "a tree with twins");
  fs::permissions(folder_.File("tree\\ro.txt"),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const bool hidden = MadeHiddenAndSystem(folder_.File("tree\\.hidden"));
  MakeFolderOf2001(folder_.File("tree\\Sub\\2001"));
  Snapshot expected = folder_.Scratch().TakeSnapshot("tree");
  const bool link =
      LinuxShellAvailable() &&
      RunLinuxShell("ln -s Sub " + ShellQuoted(LinuxPathOf(folder_.File("tree\\link")))) == 0;
  const bool foldsCase = twins && UnderWine();
  const std::string refused = R"(, Status=c0000035 \((c0000035|0)\)\n)";
  std::string lines = foldsCase ? "Error creating a.txt" + refused : "";
  lines += link ? "Skipped link link\n" : "";
  lines += foldsCase ? "Error creating sub" + refused : "";
  if (foldsCase) {
    expected.erase("a.txt"), expected.erase("sub"), expected.erase("sub/y.txt");
  }
  const std::string folder = std::to_string(static_cast<int>(fs::file_type::directory)) + " ";
  const auto folders = std::count_if(expected.begin(), expected.end(), [&](const auto& entry) {
    return entry.second.starts_with(folder);
  });
  lines += "Copied " + std::to_string(expected.size() - folders) + " files in " +
           std::to_string(folders + 1) + " folders, [0-9.]+ KiB; " + (foldsCase ? "2" : "0") +
           " failed, " + (link ? "1" : "0") + " links skipped.\n";
  const std::string made = foldsCase ? "copy.partial" : "copy";
  if (foldsCase) {
    const std::regex special(R"([\\^$.|?*+()\[\]{}])");
    lines += "The unfinished copy is in " +
             std::regex_replace(folder_.Announced(made), special, R"(\$&)") + "\n" +
             "Names that differ in case alone were refused: [^\n]+\n";
  }

  const RunResult finished = RunTree("tree", "copy");

  EXPECT_EQ(finished.exitCode, foldsCase ? 1 : 0);
  const std::string announcement = Announcement("tree", "copy");
  ASSERT_EQ(finished.output.substr(0, announcement.size()), announcement);
  const std::string printed = finished.output.substr(announcement.size());
  EXPECT_TRUE(std::regex_match(printed, std::regex(lines))) << printed << "wanted:\n" << lines;
  Snapshot copied = folder_.Scratch().TakeSnapshot(made);
  EXPECT_EQ(copied.erase(".vantro-unfinished"), foldsCase ? 1U : 0U)
      << "the unfinished tree's record";
  EXPECT_EQ(copied, expected);
  EXPECT_EQ(fs::last_write_time(folder_.File(made + "\\Sub\\2001")),
            fs::last_write_time(folder_.File("tree\\Sub\\2001")));
  EXPECT_EQ(HiddenAndSystem(folder_.File(made + "\\.hidden")), hidden);
  if (foldsCase) {  // the same command again refuses the same twins, and says why
    const RunResult again = RunTree("tree", "copy");
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_TRUE(std::regex_search(again.output,
                                  std::regex("Continuing [^\n]+\nError creating a.txt" + refused +
                                             "(Skipped link link\n)?Error creating sub" + refused +
                                             "Copied 0 files, [0-9]+ already there, [^\n]+\n"
                                             "The unfinished [^\n]+\nNames that differ")))
        << again.output;
  }
  SkipCasesNotRun();
}

// The same command continues its own unfinished tree: a file whole as its source is now is
// kept, one that differs (as a kill leaves one empty) is copied again, a missing folder made;
// an entry the source lacks is named and left alone, and the tree takes the destination's name
// once it is gone. (Unfinished folders of others are refusals of the next test.)
TEST_F(CliTest, ContinuesItsOwnUnfinishedTree) {
  fs::create_directories(folder_.File("tree\\Sub"));
  for (const char* name : {"tree\\kept.txt", "tree\\changed.txt", "tree\\Sub\\new.txt"}) {
    WriteBytes(folder_.File(name), name);
  }
  WriteRecord("copy.partial", "tree");
  ASSERT_EQ(Run({"tree\\kept.txt", "copy.partial\\kept.txt"}).exitCode, 0);  // its time too
  WriteBytes(folder_.File("copy.partial\\changed.txt"), "");
  WriteBytes(folder_.File("copy.partial\\extra.txt"), "extra");

  const RunResult first = RunTree("tree", "copy");
  EXPECT_EQ(first.exitCode, 1);
  for (const char* line :
       {"\nContinuing the unfinished copy in ", "\nNot in the source extra.txt\n",
        "\nCopied 2 files, 1 already there, in 2 folders, 0.04 KiB; 1 failed",
        "\nRemove what the source does not have"}) {
    EXPECT_NE(first.output.find(line), std::string::npos) << line << " in:\n" << first.output;
  }
  fs::remove(folder_.File("copy.partial\\extra.txt"));
  const RunResult second = RunTree("tree", "copy");
  EXPECT_EQ(second.exitCode, 0) << second.output;
  EXPECT_EQ(folder_.Scratch().TakeSnapshot("copy"), folder_.Scratch().TakeSnapshot("tree"));
}

// After the announcement every refusal is one line and exit 1; no file is added and
// none is changed.
TEST_F(CliTest, RefusalsAfterTheAnnouncement) {
  // What a row needs: Report.TXT and report.txt side by side; /E; Linux links beside the
  // files; its source read by another program, which shares reading only.
  enum { kTwins = 1, kTree = 2, kLinks = 4, kHeld = 8 };
  struct Refusal {
    const char* source;
    const char* destination;
    std::string line;  // a pattern: the create's second field may vary by platform
    int needs = 0;
    // Started by its bare name in this folder, with the source typed relative to it and the
    // destination as a full path: the typed names of each begin at another offset.
    const char* startIn = nullptr;
  };
  const std::string absent = R"(Error openning, Status=c0000034\n)";
  const std::string exists = R"(Error creating, Status=c0000035 \((c0000035|0)\)\n)";
  const std::string noFolder = R"(Error creating, Status=c000003a \((c000003a|0)\)\n)";
  const Refusal refusals[] = {
      {"missing.txt", "out.txt", absent},
      {"REPORT.txt", "out.txt", absent},
      {"Report.TXT", "report.txt", exists, kTwins},
      {"Report.TXT", "Report.TXT", exists},
      {"Report.TXT", "missing\\out.txt", noFolder},
      {"folder", "out.txt", R"(Error openning, Status=c00000ba\n)"},
      // A platform that ignores the case-sensitive lookup (Wine) opens these; the check of
      // the opened name refuses them as one that honours it would.
      {"Sub\\inner.txt", "out.txt", absent},
      {"sub\\Inner.TXT", "out.txt", R"(Error openning, Status=c000003a\n)"},
      // The destination's typed folders are checked alike: a platform that ignores the
      // lookup creates it, the check refuses it and its mark removes it.
      {"Report.TXT", "tw\\DIR\\new.txt", noFolder, kTwins},
      {"Report.TXT", "TW\\dir\\new.txt", noFolder, kTwins},
      {"Dir\\keep.txt", "TW\\dir\\new.txt", noFolder, kTwins, "tw"},
      // The copy shares nothing: another program reading the file holds it off.
      {"Report.TXT", "out.txt", R"(Error openning, Status=c0000043\n)", kHeld},
      // A tree never merges into what exists, never builds inside its source and never takes
      // an unfinished name that exists but is not its own (no record, or another source's);
      // its destination's typed folders are checked.
      {"Sub", "folder", R"(Error creating, Status=c0000035 \(0\)\n)", kTree},
      {"Sub", "Report.TXT", R"(Error creating, Status=c0000035 \(0\)\n)", kTree},
      {"Sub", "Sub\\inner", R"(Error creating, Status=c000000d \(0\)\n)", kTree},
      {"Sub", "kept", R"(Error creating kept.partial, Status=c0000035 \((c0000035|0)\)\n)", kTree},
      {"Sub", "else", R"(Error creating else.partial, Status=c0000035 \((c0000035|0)\)\n)", kTree},
      {"Sub", "missing\\new", R"(Error creating, Status=c000003a \(0\)\n)", kTree},
      {"Sub", "tw\\DIR\\new", R"(Error creating, Status=c000003a \(0\)\n)", kTree | kTwins},
      // Inside the source by another name, whatever the names' case; a destination that is a
      // link, even a dangling one, exists.
      {"Sub", "SUB\\inner", R"(Error creating, Status=c000003a \(0\)\n)", kTree},
      {"Sub", "toSub\\deep\\in", R"(Error creating, Status=c000000d \(0\)\n)", kTree | kLinks},
      {"Sub", "dangling", R"(Error creating, Status=c0000035 \(0\)\n)", kTree | kLinks},
  };
  fs::create_directory(folder_.File("folder"));
  fs::create_directory(folder_.File("kept.partial"));
  WriteRecord("else.partial", "folder");  // a record of another source
  fs::create_directories(folder_.File("Sub\\deep"));
  WriteBytes(folder_.File("Sub\\Inner.TXT"), kUpper);
  const bool links =
      LinuxShellAvailable() &&
      RunLinuxShell("ln -s Sub " + ShellQuoted(LinuxPathOf(folder_.File("toSub"))) +
                    " && ln -s nowhere " + ShellQuoted(LinuxPathOf(folder_.File("dangling")))) == 0;
  const Snapshot before = folder_.Scratch().TakeSnapshot();
  for (const Refusal& refusal : refusals) {
    const std::string name = std::string(refusal.source) + " -> " + refusal.destination;
    SCOPED_TRACE(name);
    if (!CanRun(refusal.needs & kTwins, name)) {
      continue;
    }
    if ((refusal.needs & kLinks) && !links) {
      notRun_.push_back(name + ": no Linux side makes a link");
      continue;
    }
    RunOptions options = Typed();
    std::vector<std::string> arguments = Names({refusal.source, refusal.destination});
    std::string in;
    if (refusal.startIn != nullptr) {
      in = std::string(refusal.startIn) + "\\";
      options.directory = folder_.Root() / refusal.startIn;
      arguments = {refusal.source, folder_.FullName(refusal.destination)};
    }
    if (refusal.needs & kTree) {
      arguments.emplace_back("/E");
    }
    std::shared_ptr<void> holder;
    if (refusal.needs & kHeld) {
      ASSERT_TRUE(holder = HoldOpen(folder_.File(refusal.source)));
    }
    const RunResult finished = RunVantro(arguments, options);
    holder.reset();
    EXPECT_EQ(finished.exitCode, 1);
    const std::string announcement = Announcement(in + refusal.source, refusal.destination);
    ASSERT_EQ(finished.output.substr(0, announcement.size()), announcement);
    const std::string line = finished.output.substr(announcement.size());
    EXPECT_TRUE(std::regex_match(line, std::regex(refusal.line))) << line;
    EXPECT_EQ(folder_.Scratch().TakeSnapshot(), before) << "a refusal changed the folder";
  }
  SkipCasesNotRun();
}

// A tree's destination beside its source, whatever their names share: a name that begins
// like the source's, a one-letter name, a folder differing from the source in case alone.
TEST_F(CliTest, CopiesTreesBesideTheirSource) {
  fs::create_directory(folder_.File("proj"));
  WriteBytes(folder_.File("proj\\keep.txt"), kUpper);
  for (const std::string beside : {"proj-backup", "b", "tw\\dir\\inner"}) {
    const bool twin = beside.starts_with("tw");
    if (CanRun(twin, beside)) {
      const RunResult finished = RunTree(twin ? "tw\\Dir" : "proj", beside);
      EXPECT_EQ(finished.exitCode, 0) << beside << finished.output;
      EXPECT_EQ(ReadBytes(folder_.File(beside + "\\keep.txt")), kUpper) << beside;
    }
  }
  SkipCasesNotRun();
}

// A path that cannot be translated is named as typed, before any file is touched.
TEST_F(CliTest, UnresolvablePathsAreNamedAsTyped) {
  const std::string noDrive = LetterWithoutDrive() + ":\\";
  struct Unresolvable {
    std::vector<std::string> arguments;
    std::string typed;  // the one named
    const char* status;
  };
  const Unresolvable cases[] = {
      {{noDrive + "in.txt", folder_.Name("out.txt")}, noDrive + "in.txt", "c0000034"},
      {{folder_.Name("Report.TXT"), noDrive + "out.txt"}, noDrive + "out.txt", "c0000034"},
      {{folder_.Name("Report.TXT"), "Z:out.txt"}, "Z:out.txt", "c000003b"},
      // No separator after the colon, no share, or the object namespace itself.
      {{"C:", folder_.Name("out.txt")}, "C:", "c000003b"},
      {{folder_.Name("Report.TXT"), "C:foo"}, "C:foo", "c000003b"},
      {{"\\\\", folder_.Name("out.txt")}, "\\\\", "c000003b"},
      {{"\\\\server", folder_.Name("out.txt")}, "\\\\server", "c000003b"},
      {{"\\\\?\\C:\\x", folder_.Name("out.txt")}, "\\\\?\\C:\\x", "c000003b"},
      {{folder_.Name("Report.TXT"), "\\\\.\\C:\\x"}, "\\\\.\\C:\\x", "c000003b"},
  };
  for (const Unresolvable& unresolvable : cases) {
    SCOPED_TRACE(unresolvable.typed);
    const RunResult finished = RunVantro(unresolvable.arguments, Typed());
    EXPECT_EQ(finished.exitCode, 1);
    EXPECT_EQ(finished.output,
              "Error resolving " + unresolvable.typed + ", Status=" + unresolvable.status + "\n");
    EXPECT_EQ(FileCount(), filesBefore_);
  }
  // A native path of 32,767 units, one more than a counted string holds, too long for one
  // message: its start and end around "...", and the status still shows.
  const std::string longName =
      "start" + std::string(32767 - folder_.Announced("").size() - 8, 'n') + "end";
  const RunResult finished = RunVantro({longName, "out.txt"}, Typed());
  EXPECT_EQ(finished.exitCode, 1);
  EXPECT_TRUE(std::regex_match(finished.output, std::regex("Error resolving startn+\\.\\.\\.n+end, "
                                                           "Status=c0000106\n")))
      << finished.output;
  EXPECT_EQ(finished.output.size(), 1023U);
}

// Arguments the platform refuses once they are translated: an empty name, a "." or ".."
// segment, a "/" inside a name, the root of a drive. Each run prints the announcement and one
// line, exits with 1 and leaves every file as it was.
TEST_F(CliTest, NamesThePlatformRefusesAreOneLine) {
  const std::string anyStatus = "c[0-9a-f]{7}";
  struct Refused {
    std::string source;
    std::string destination;
    std::string line;  // a pattern
    bool hostOnly = false;
    bool needsDriveZ = false;  // the POSIX root, which Wine and the stand-in give drive Z:
  };
  const Refused cases[] = {
      {"", folder_.Name("out.txt"), "Error openning, Status=" + anyStatus},
      {folder_.Name("Report.TXT"), "", "Error creating, Status=" + anyStatus + " \\(.*\\)"},
      {folder_.Name("sub/Report.TXT"), folder_.Name("out.txt"), "Error openning, Status=c0000033"},
      {folder_.Name("Report.TXT"), folder_.Name("sub/out.txt"),
       "Error creating, Status=c0000033 \\(.*\\)"},
      {folder_.Name("..\\Report.TXT"), folder_.Name("out.txt"), "Error openning, Status=c0000033"},
      {folder_.FullName("sub\\..\\Report.TXT"), folder_.Name("out.txt"),
       "Error openning, Status=c0000033"},
      {folder_.Name("Report.TXT"), folder_.FullName("..\\out.txt"),
       "Error creating, Status=c0000033 \\(.*\\)"},
      {folder_.Name(".\\Report.TXT"), folder_.Name("out.txt"), "Error openning, Status=c0000033"},
      {"\\", folder_.Name("out.txt"), "Error openning, Status=c00000ba"},
      {folder_.Name("Report.TXT"), "\\", "Error creating, Status=" + anyStatus + " \\(.*\\)"},
      // The stand-in's network link leads to no volume; Wine would look for the server.
      {"\\\\server\\share\\x", folder_.Name("out.txt"), "Error openning, Status=c000003a", true},
      // Through the drive link the platform reports for Z:; Wine cannot open files by the
      // device path it names, and the test's folder has no such file.
      {folder_.Scratch().DrivePath() + "\\absent.txt", folder_.Scratch().DrivePath() + "\\b.txt",
       "Error openning, Status=c0000034", false, true},
  };
  fs::create_directory(folder_.File("sub"));
  for (const Refused& refused : cases) {
    SCOPED_TRACE(refused.source + " -> " + refused.destination);
#ifdef _WIN32
    if (refused.hostOnly || (refused.needsDriveZ && !UnderWine())) {
      continue;
    }
#endif
    const RunResult finished = RunVantro({refused.source, refused.destination}, Typed());
    EXPECT_EQ(finished.exitCode, 1);
    EXPECT_TRUE(std::regex_match(finished.output,
                                 std::regex("src=[^\n]*\ndst=[^\n]*\n\n" + refused.line + "\n")))
        << finished.output;
    EXPECT_EQ(FileCount(), filesBefore_ + 1);
    EXPECT_EQ(ReadBytes(folder_.File("Report.TXT")), kUpper);
  }
}

// Relative arguments are taken against the program's folder when it was started by a path
// (full, or relative with a folder part), and against the current folder when it was
// started by its bare name, wherever the program lies.
TEST_F(CliTest, RelativeArgumentsTakeTheFolderOfTheStart) {
  const fs::path binary = Utf8Path(VantroPath());
  const std::string program = "tools\\" + binary.filename().string();
  fs::create_directory(folder_.File("tools"));
  fs::copy_file(binary, folder_.File(program));
  WriteBytes(folder_.File("in.txt"), "in the current folder\n");
  WriteBytes(folder_.File("tools\\in.txt"), "in the program's folder\n");
#ifdef _WIN32
  const fs::path started = Utf8Path(folder_.FullName(program));  // through the test drive
#else
  const fs::path started = folder_.File(program);
#endif
  struct Start {
    std::string argument0;
    fs::path directory;
    const char* base;  // the folder the arguments are taken in, "" or "tools\"
  };
  const Start starts[] = {
      {folder_.FullName(program), folder_.Root(), "tools\\"},
      {program, folder_.Root(), "tools\\"},
      {"vantro", folder_.Root(), ""},
      {"vantro", folder_.Root() / "tools", "tools\\"},
      {".\\" + binary.filename().string(), folder_.Root(), ""},
      // A forward slash separates nothing: the name is bare.
      {"tools/" + binary.filename().string(), folder_.Root(), ""},
  };
  int run = 0;
  for (const Start& start : starts) {
    SCOPED_TRACE(start.argument0 + " in " + start.directory.string());
    const std::string destination = "out" + std::to_string(++run) + ".txt";
    const RunResult finished =
        RunVantro({"in.txt", destination},
                  {.directory = start.directory, .argument0 = start.argument0, .program = started});
    EXPECT_EQ(finished.exitCode, 0) << finished.output;
    const std::string base = start.base;
    EXPECT_EQ(finished.output, Announcement(base + "in.txt", base + destination));
    EXPECT_EQ(ReadBytes(folder_.File(base + destination)),
              ReadBytes(folder_.File(base + "in.txt")));
  }
}

// A full volume fails the write; the destination begun on it is removed again.
TEST_F(CliTest, FullVolumeIsReportedAndLeavesNothing) {
  if (!LinuxShellAvailable()) {
    GTEST_SKIP() << "a small volume is mounted from the Linux side, which a real Windows lacks";
  }
  fs::create_directory(folder_.File("full"));
  const std::string volume = ShellQuoted(LinuxPathOf(folder_.File("full")));
  std::string printed;
  if (RunLinuxShell("mount -t tmpfs -o size=64k vantro-full " + volume, &printed) != 0) {
    GTEST_SKIP() << "a small tmpfs cannot be mounted here (it needs root): " << printed;
  }
  struct Unmount {
    std::string volume;
    ~Unmount() { RunLinuxShell("umount " + volume); }
  } unmount{volume};
  WriteBytes(folder_.File("Big.bin"), RandomBytes(1 << 20, 4));

  const RunResult finished = Run({"Big.bin", "full\\Big.bin"});

  EXPECT_EQ(finished.exitCode, 1);
  EXPECT_EQ(finished.output,
            Announcement("Big.bin", "full\\Big.bin") + "Error writing, Status=c000007f\n");
  EXPECT_TRUE(fs::is_empty(folder_.File("full")));
  // A tree: the full volume ends the walk at its first failure, one line.
  fs::create_directory(folder_.File("tree"));
  for (const char* name : {"tree\\a.bin", "tree\\b.bin", "tree\\c.bin"}) {
    WriteBytes(folder_.File(name), RandomBytes(40000, 5));
  }
  const RunResult tree = RunTree("tree", "full\\tree");
  EXPECT_EQ(tree.exitCode, 1);
  EXPECT_TRUE(std::regex_search(tree.output,
                                std::regex("\n\n(Error writing [abc].bin, Status=c000007f\n)"
                                           "Copied 1 files in 1 folders, 39.06 KiB; 1 failed")))
      << tree.output;
}

#ifdef _WIN32
// A drive letter of its own under Wine whose link ends in a separator, as `subst X: C:\`
// makes one, names the same files. (A link on the way to the source: rows of the refusals.)
TEST_F(CliTest, DriveLinkEndingInASeparator) {
  if (!UnderWine()) {
    GTEST_SKIP() << "test drives are Wine's";
  }
  fs::create_directory(folder_.File("tree"));
  WriteBytes(folder_.File("tree\\x.txt"), kUpper);
  const TestDrive ending(folder_.Scratch().Path(), true);
  const std::string copy = std::string(1, static_cast<char>(ending.Letter())) + ":\\copy";
  const RunResult finished = RunVantro({folder_.Name("tree"), copy, "/E"});
  EXPECT_EQ(finished.exitCode, 0) << finished.output;
  EXPECT_EQ(ReadBytes(folder_.File("copy\\x.txt")), kUpper);
}
#endif

#ifndef _WIN32
// The host's start-up decodes the UTF-8 command line; what it cannot take is refused,
// never replaced by another name. (Windows hands the program UTF-16.)
TEST_F(CliTest, CommandLineThatCannotBeDecodedIsRefused) {
  const struct {
    std::string source;
    std::string destination;
    const char* reason;
  } cases[] = {
      {"Report.TXT", "out\xff.txt", "argument 2 is not valid UTF-8"},
      {"Report.TXT", "out\xc3.txt", "argument 2 is not valid UTF-8"},    // cut short
      {"\xed\xa0\x80.txt", "out.txt", "argument 1 is not valid UTF-8"},  // a surrogate
      {"\xc0\xae\xc0\xae", "out.txt", "argument 1 is not valid UTF-8"},  // overlong
      {"\xe0\x80\xae.txt", "out.txt", "argument 1 is not valid UTF-8"},  // "." in three bytes
      {"Report.TXT", std::string(40000, 'x'),
       "argument 2 makes the command line longer than 32767"},
  };
  for (const auto& row : cases) {
    const RunResult finished = Run({row.source, row.destination});
    EXPECT_EQ(finished.exitCode, 1);
    EXPECT_TRUE(std::regex_match(finished.output, std::regex("Error[^\n]*\n"))) << finished.output;
    EXPECT_NE(finished.output.find(row.reason), std::string::npos) << finished.output;
    EXPECT_EQ(FileCount(), filesBefore_);
  }
  // Arguments after the second are ignored, decodable or not.
  const RunResult ignored = Run({"Report.TXT", "third.txt", "\xff"});
  EXPECT_EQ(ignored.exitCode, 0) << ignored.output;
}

// A name may hold control characters on the host: the platform gets them as typed, the
// announcement shows each as U+FFFD, so that no name can drive the terminal.
TEST_F(CliTest, AnnouncementShowsNoControlCharacter) {
  WriteBytes(folder_.File("red\x1b[31m\r.txt"), kUpper);
  const RunResult finished = Run({"red\x1b[31m\r.txt", "bell\a.txt"});
  EXPECT_EQ(finished.exitCode, 0);
  EXPECT_EQ(finished.output,
            Announcement("red\xef\xbf\xbd[31m\xef\xbf\xbd.txt", "bell\xef\xbf\xbd.txt"));
  EXPECT_EQ(ReadBytes(folder_.File("bell\a.txt")), kUpper);
}
#endif

}  // namespace
