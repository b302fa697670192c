// The whole translation over the stand-in, as the driver runs it: the invocation path,
// the current directory, both arguments and the drive links' targets come from the
// input. No buffer may be overrun, and the outcome is either two terminated native
// paths that fit a path buffer or a refusal with one of the translation's statuses.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "native/native_services.h"
#include "native/path_functions.h"
#include "pathing/path_text.h"
#include "pathing/translate.h"
#include "standin/internal.h"
#include "standin/test_hooks.h"
#include "tests/fuzz/fuzz_text.h"
#include "tests/fuzz/guarded.h"

namespace {

constexpr std::size_t kMaxLinkFields = 6;

// Current directories to choose from: a drive root, short names holding '%', a
// backslash and text outside the BMP, and long paths up to what Linux takes.
std::vector<std::string> directories;
std::string root;

void MakeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    fuzz::Fail("cannot prepare a current directory");
  }
}

// A directory whose current-directory text ("Z:" and the POSIX path) has `units` units.
std::string DirectoryOfLength(std::size_t units) {
  std::string path = root + "/n" + std::to_string(units);
  MakeDirectory(path);
  for (std::size_t need = units - 2 - path.size(); need > 0; need = units - 2 - path.size()) {
    path += "/" + std::string(need <= 201 ? need - 1 : 150, 'x');
    MakeDirectory(path);
  }
  return path;
}

void PrepareDirectories() {
  const char* temp = std::getenv("TMPDIR");
  std::string pattern = std::string(temp != nullptr ? temp : "/tmp") + "/vantro-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    fuzz::Fail("cannot make the fuzzer's temporary folder");
  }
  root = pattern;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  });
  directories = {"/", root, root + "/with space %s %x", root + "/back\\slash",
                 root + "/\xC3\xBCn\xC3\xAF \xF0\x9F\x98\x80"};
  for (std::size_t at = 2; at < directories.size(); ++at) {
    MakeDirectory(directories[at]);
  }
  for (std::size_t units : {257, 258, 259, 260, 261, 700, 4000}) {
    directories.push_back(DirectoryOfLength(units));
  }
}

// The choice names a prepared directory, or one named by the input under the root.
bool EnterDirectory(std::size_t choice, const std::u16string& name, std::string& made) {
  if (choice < directories.size()) {
    return chdir(directories[choice].c_str()) == 0;
  }
  char posix[256];
  if (standin::Utf16ToUtf8(name.c_str(), name.size(), posix, sizeof posix) <= 0 ||
      std::string(posix).find('/') != std::string::npos || std::string(posix) == "." ||
      std::string(posix) == "..") {
    return false;
  }
  made = root + "/" + posix;
  if (mkdir(made.c_str(), 0700) != 0) {
    made.clear();
    return false;
  }
  return chdir(made.c_str()) == 0;
}

// A link field: its first unit is the drive letter ('*' stands for the network link),
// the rest its target.
void AddLink(const std::u16string& field) {
  if (field.empty()) {
    return;
  }
  std::u16string name =
      field[0] == u'*' ? std::u16string(u"\\??\\UNC") : std::u16string(u"\\??\\") + field[0] + u":";
  standin::AddLink(name.c_str(), field.substr(1).c_str());
}

bool IsDocumentedRefusal(NTSTATUS status) {
  return status == STATUS_NAME_TOO_LONG || status == STATUS_OBJECT_PATH_SYNTAX_BAD ||
         status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_BUFFER_TOO_SMALL ||
         status == STATUS_OBJECT_PATH_NOT_FOUND;
}

// The driver's translation records, with guard units around them.
struct Records {
  BaseDirectory base;
  NativeArgument source;
  NativeArgument destination;
};
// Guarded storage begins 32 bytes into an allocation, aligned for any of these records.
static_assert(alignof(Records) <= 16);

// The units of one buffer up to its terminator; fails when there is none inside it.
template <std::size_t kUnits>
std::u16string Checked(const WCHAR (&buffer)[kUnits], const char* name) {
  const std::u16string whole(buffer, kUnits);
  const std::size_t length = whole.find(u'\0');
  if (length == std::u16string::npos) {
    std::fprintf(stderr, "%s holds no terminator\n", name);
    fuzz::Fail("unterminated buffer");
  }
  return whole.substr(0, length);
}

// A link name keeps its text but for the drive letter, and its terminator.
void CheckLink(const DriveLink& link, const char* name) {
  const std::u16string text = Checked(link.name, name);
  if (text.size() != kLinkNameUnits - 1 || text.substr(0, 4) != u"\\??\\" || text[5] != u':') {
    fuzz::Fail("link name changed beyond its drive letter");
  }
}

void CheckRecords(const Records& records) {
  CheckLink(records.base.link, "base link");
  CheckLink(records.source.link, "source link");
  CheckLink(records.destination.link, "destination link");
}

// A composed path fits its buffer; a relative argument is the base prefix and the
// argument as typed.
void CheckComposed(const NativeArgument& out, const std::u16string& argument,
                   const BaseDirectory& base, const char* name) {
  const std::u16string path = Checked(out.path, name);
  if (path.size() > kPathMaxLength) {
    fuzz::Fail("native path longer than a path buffer holds");
  }
  // The tool sees the argument up to its first zero unit.
  const std::u16string text = argument.substr(0, argument.find(u'\0'));
  if (PathFunctions.PathIsRelativeW(text.c_str())) {
    const std::u16string prefix = Checked(base.prefix, "base prefix");
    if (prefix.empty() || prefix.back() != u'\\' || path != prefix + text) {
      fuzz::Fail("relative argument not joined to the base prefix as typed");
    }
  }
}

void CheckRefusal(NTSTATUS status) {
  if (!IsDocumentedRefusal(status)) {
    std::fprintf(stderr, "status %08x\n", static_cast<unsigned>(status));
    fuzz::Fail("refusal with a status the translation does not document");
  }
}

void Translate(std::u16string invocation, const std::u16string& source,
               const std::u16string& destination) {
  // Kept from input to input: records of path buffers are too large to make for each.
  static fuzz::GuardedBuffer storage(sizeof(Records) / sizeof(char16_t));
  storage.Refill();
  auto& records = *new (storage.data()) Records;  // keeps the guard units it was given
  fuzz::GuardedBuffer invocationPath(invocation.size() + 1);
  std::copy(invocation.begin(), invocation.end(), invocationPath.data());
  invocationPath.data()[invocation.size()] = 0;
  for (DriveLink* link : {&records.base.link, &records.source.link, &records.destination.link}) {
    CopyText(link->name, kLinkNameUnits, kDriveLinkText);
  }
  ComputeBasePrefix(invocationPath.data(), records.base);
  NTSTATUS status = ComposeNativePath(source.c_str(), records.base, records.source);
  if (status == STATUS_SUCCESS) {
    CheckComposed(records.source, source, records.base, "source path");
    status = ComposeNativePath(destination.c_str(), records.base, records.destination);
  }
  invocationPath.CheckGuards("invocation path");
  storage.CheckGuards("translation records");
  CheckRecords(records);
  if (status != STATUS_SUCCESS) {
    CheckRefusal(status);
  } else {
    CheckComposed(records.destination, destination, records.base, "destination path");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  if (BindNativeServices() != nullptr || BindPathFunctions() != nullptr) {
    fuzz::Fail("native services or path functions not bound");
  }
  PrepareDirectories();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FieldReader input(data, size);
  const std::size_t choice = input.Byte() % (directories.size() + 1);
  const std::u16string invocation = input.Field();
  const std::u16string source = input.Field();
  const std::u16string destination = input.Field();
  const std::u16string directoryName = input.Field();
  standin::ResetNamespace();
  for (std::size_t link = 0; link < kMaxLinkFields && !input.AtEnd(); ++link) {
    AddLink(input.Field());
  }
  std::string made;
  if (EnterDirectory(choice, directoryName, made)) {
    Translate(invocation, source, destination);
  }
  if (!made.empty()) {
    static_cast<void>(chdir("/"));
    rmdir(made.c_str());
  }
  return 0;
}
