// Files opened beneath a folder, on real files: every kind of way out (links, a second name, a
// pipe, a folder) refused on both resolutions, openat2's and the walk a component at a time;
// the walk also where a seccomp filter takes openat2 away, as some containers do.
#include "platform/file_beneath.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/openat2.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace kestrune::platform {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A test's folder: "outside" beside the folder the files are opened beneath, and in that
// folder a way out of every kind.
class Folders {
 public:
  Folders() {
    std::string pattern = (fs::temp_directory_path() / "kestrune-beneath-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    top_ = pattern;
    const std::string outside = top_ + "/outside";
    fs::create_directories(outside + "/dir");
    std::ofstream(outside + "/secret.txt") << "outside";
    std::ofstream(outside + "/dir/x.cer") << "outside";
    fs::create_directories(root() + "/sub");
    std::ofstream(root() + "/plain.cer") << "plain";
    std::ofstream(root() + "/sub/inner.cer") << "inner";
    fs::create_symlink(outside + "/secret.txt", root() + "/link.cer");
    fs::create_symlink("plain.cer", root() + "/near-link.cer");  // a link that stays inside
    fs::create_symlink(outside + "/new.cer", root() + "/dangling.cer");
    fs::create_directory_symlink(outside + "/dir", root() + "/out");
    fs::create_directory_symlink("sub", root() + "/near-dir");
    fs::create_hard_link(outside + "/secret.txt", root() + "/hard.cer");
    ::mkfifo((root() + "/pipe").c_str(), 0600);
  }
  ~Folders() {
    std::error_code ignored;
    if (!top_.empty()) fs::remove_all(top_, ignored);
  }
  Folders(const Folders&) = delete;
  Folders& operator=(const Folders&) = delete;

  bool made() const { return !top_.empty(); }
  std::string root() const { return top_ + "/root"; }
  std::string outside(const char* name) const { return top_ + "/outside/" + name; }

 private:
  std::string top_;
};

struct Case {
  const char* name;
  BeneathStatus read;
  BeneathStatus write;
};
constexpr Case kCases[] = {
    {"plain.cer", BeneathStatus::ok, BeneathStatus::ok},
    {"sub/inner.cer", BeneathStatus::ok, BeneathStatus::ok},
    {"new.cer", BeneathStatus::missing, BeneathStatus::ok},
    {"missing/new.cer", BeneathStatus::missing, BeneathStatus::missing},
    {"link.cer", BeneathStatus::link, BeneathStatus::link},
    {"near-link.cer", BeneathStatus::link, BeneathStatus::link},
    {"dangling.cer", BeneathStatus::link, BeneathStatus::link},
    {"out/x.cer", BeneathStatus::link, BeneathStatus::link},
    {"near-dir/inner.cer", BeneathStatus::link, BeneathStatus::link},
    {"hard.cer", BeneathStatus::otherNames, BeneathStatus::otherNames},
    {"pipe", BeneathStatus::notRegular, BeneathStatus::notRegular},
    {"sub", BeneathStatus::notRegular, BeneathStatus::notRegular},
    {"plain.cer/x", BeneathStatus::notFolder, BeneathStatus::notFolder},
    {"", BeneathStatus::badName, BeneathStatus::badName},
    {"/etc/passwd", BeneathStatus::badName, BeneathStatus::badName},
    {"../outside/secret.txt", BeneathStatus::badName, BeneathStatus::badName},
    {"sub/../plain.cer", BeneathStatus::badName, BeneathStatus::badName},
    {"./plain.cer", BeneathStatus::badName, BeneathStatus::badName},
    {"sub//inner.cer", BeneathStatus::badName, BeneathStatus::badName},
    {"sub/", BeneathStatus::badName, BeneathStatus::badName},
};

// mismatches opens every case both ways in a fresh set of folders and describes each result
// that differs from the table, and each change outside; empty when all is as it should be.
// Plain text rather than test assertions: a child process under a seccomp filter runs it too.
std::vector<std::string> mismatches() {
  std::vector<std::string> found;
  for (const BeneathAccess access : {BeneathAccess::read, BeneathAccess::write}) {
    const char* accessName = access == BeneathAccess::read ? "read" : "write";
    for (const Case& c : kCases) {
      const Folders folders;  // fresh: a write case changes what it opens
      if (!folders.made()) return {"no temporary folder"};
      const FileDescriptor root = openFolder(folders.root().c_str());
      FileBeneath opened;
      const BeneathStatus want = access == BeneathAccess::read ? c.read : c.write;
      const BeneathStatus got = openBeneath(root, c.name, access, opened);
      const std::string label = std::string(accessName) + " \"" + c.name + "\"";
      if (got != want) {
        found.push_back(label + ": status " + std::to_string(static_cast<int>(got)) +
                        ", expected " + std::to_string(static_cast<int>(want)));
      }
      if (got == BeneathStatus::ok && (!opened.file || !opened.folder)) {
        found.push_back(label + ": opened without its descriptors");
      }
      if (got != BeneathStatus::ok && (opened.file || opened.folder)) {
        found.push_back(label + ": refused but left open");
      }
      if (readAll(folders.outside("secret.txt")) != "outside" ||
          readAll(folders.outside("dir/x.cer")) != "outside" ||
          fs::exists(folders.outside("new.cer"))) {
        found.push_back(label + ": changed a file outside");
      }
    }
  }
  return found;
}

class FileBeneathTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { walkEachComponent(GetParam()); }
  void TearDown() override { walkEachComponent(false); }
};
INSTANTIATE_TEST_SUITE_P(Resolutions, FileBeneathTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Walk" : "Openat2"; });

TEST_P(FileBeneathTest, RefusesEveryWayOutAndOpensPlainFiles) {
  for (const std::string& mismatch : mismatches()) ADD_FAILURE() << mismatch;
}

// The control reads and writes files by name: given the opened file's path, it reaches the
// opened file itself. A new file is the user's alone; an existing one keeps its bytes until it
// is written.
TEST_P(FileBeneathTest, TheDescriptorsPathReachesTheOpenedFile) {
  const Folders folders;
  ASSERT_TRUE(folders.made());
  const FileDescriptor root = openFolder(folders.root().c_str());
  ASSERT_TRUE(root);

  FileBeneath source;
  ASSERT_EQ(BeneathStatus::ok, openBeneath(root, "sub/inner.cer", BeneathAccess::read, source));
  Bytes bytes;
  ASSERT_EQ(FileStatus::ok, readFile(descriptorPath(source.file).c_str(), bytes));
  EXPECT_EQ("inner", std::string(bytes.begin(), bytes.end()));
  EXPECT_FALSE(source.created);

  // A umask that would let others read: the file is made 0600 all the same.
  const mode_t previous = ::umask(022);
  FileBeneath made;
  const BeneathStatus madeStatus = openBeneath(root, "sub/new.cer", BeneathAccess::write, made);
  ::umask(previous);
  ASSERT_EQ(BeneathStatus::ok, madeStatus);
  EXPECT_TRUE(made.created);
  const Bytes written{'n', 'e', 'w', 0};
  ASSERT_EQ(FileStatus::ok, writeFile(descriptorPath(made.file).c_str(), written));
  EXPECT_EQ(std::string("new\0", 4), readAll(folders.root() + "/sub/new.cer"));
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
            fs::status(folders.root() + "/sub/new.cer").permissions());

  FileBeneath existing;
  ASSERT_EQ(BeneathStatus::ok, openBeneath(root, "plain.cer", BeneathAccess::write, existing));
  EXPECT_FALSE(existing.created);
  EXPECT_NE("", readAll(folders.root() + "/plain.cer"));
  ASSERT_EQ(FileStatus::ok, writeFile(descriptorPath(existing.file).c_str(), written));
  EXPECT_EQ(std::string("new\0", 4), readAll(folders.root() + "/plain.cer"));
}

// A write that never happened leaves no file behind; anything else is left alone.
TEST_P(FileBeneathTest, RemovesOnlyAFileItCreatedThatIsStillEmptyAndStillThere) {
  const Folders folders;
  ASSERT_TRUE(folders.made());
  const FileDescriptor root = openFolder(folders.root().c_str());
  const std::string where = folders.root();

  FileBeneath unwritten;
  ASSERT_EQ(BeneathStatus::ok, openBeneath(root, "sub/a.cer", BeneathAccess::write, unwritten));
  EXPECT_TRUE(removeIfUnwritten(unwritten));
  EXPECT_FALSE(fs::exists(where + "/sub/a.cer"));

  FileBeneath written;
  ASSERT_EQ(BeneathStatus::ok, openBeneath(root, "b.cer", BeneathAccess::write, written));
  ASSERT_EQ(FileStatus::ok, writeFile(descriptorPath(written.file).c_str(), Bytes{1}));
  EXPECT_FALSE(removeIfUnwritten(written));
  EXPECT_TRUE(fs::exists(where + "/b.cer"));

  FileBeneath existing;  // there before: not this open's to remove
  ASSERT_EQ(BeneathStatus::ok, openBeneath(root, "plain.cer", BeneathAccess::write, existing));
  EXPECT_FALSE(removeIfUnwritten(existing));
  EXPECT_TRUE(fs::exists(where + "/plain.cer"));

  FileBeneath replaced;  // its name now leads to another, empty file
  ASSERT_EQ(BeneathStatus::ok, openBeneath(root, "c.cer", BeneathAccess::write, replaced));
  fs::remove(where + "/c.cer");
  std::ofstream(where + "/c.cer").close();
  EXPECT_FALSE(removeIfUnwritten(replaced));
  EXPECT_TRUE(fs::exists(where + "/c.cer"));
}

// A seccomp filter that answers openat2 with an error, as container runtimes do for calls
// they don't know: EPERM (Docker's older profiles) or ENOSYS.
bool refuseOpenat2(int error) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & 0xFFFF)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// In a child of its own: the filter stays with the process that installed it.
int walkUnderFilter(int error) {
  if (!refuseOpenat2(error)) {
    std::cerr << "no seccomp filter: " << std::strerror(errno) << "\n";
    return 2;
  }
  open_how how{};
  how.flags = O_PATH;
  if (::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how) >= 0 || errno != error) {
    std::cerr << "the filter let openat2 through\n";
    return 3;
  }
  const auto found = mismatches();
  for (const std::string& mismatch : found) std::cerr << mismatch << "\n";
  return found.empty() ? 0 : 1;
}

TEST(FileBeneath, WalksWhereAFilterTakesOpenat2Away) {
#ifndef __x86_64__
  GTEST_SKIP() << "the filter is written for x86-64";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const int error : {EPERM, ENOSYS}) {
    SCOPED_TRACE(error);
    EXPECT_EXIT(::_exit(walkUnderFilter(error)), ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
}  // namespace kestrune::platform
