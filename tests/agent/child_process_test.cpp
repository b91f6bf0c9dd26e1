#include "platform/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace kestrune::platform {
namespace {

using Status = ChildProcess::Status;
using std::chrono::milliseconds;

constexpr milliseconds kPatience{10000};
constexpr std::size_t kMaxLine = 4096;

std::string shell(ChildProcess& child, const std::string& script,
                  const std::vector<std::pair<std::string, std::string>>& environment = {},
                  const std::string& folder = {}) {
  std::string why;
  if (!child.start({"/bin/sh", "-c", script}, environment, folder, false, why)) return why;
  return {};
}

std::string readOne(ChildProcess& child) {
  std::string line;
  const Status status = child.readLine(line, kPatience, kMaxLine);
  return status == Status::ok ? line : "(status " + std::to_string(static_cast<int>(status)) + ")";
}

std::set<std::string> descriptorsOf(int pid) {
  std::set<std::string> names;
  DIR* folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (folder == nullptr) return names;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  closedir(folder);
  return names;
}

TEST(ChildProcess, EchoesLinesAndEndsWhenItsInputCloses) {
  ChildProcess child;
  std::string why;
  ASSERT_TRUE(child.start({"/bin/cat"}, {}, {}, false, why)) << why;
  ASSERT_EQ(Status::ok, child.writeLine("first"));
  ASSERT_EQ(Status::ok, child.writeLine(""));
  ASSERT_EQ(Status::ok, child.writeLine(std::string(60000, 'x')));
  EXPECT_EQ("first", readOne(child));
  EXPECT_EQ("", readOne(child));
  std::string line;
  EXPECT_EQ(Status::ok, child.readLine(line, kPatience, 60000));
  EXPECT_EQ(60000u, line.size());
  child.closeInput();
  EXPECT_EQ(Status::ended, child.readLine(line, kPatience, kMaxLine));
  child.stop(kPatience);
  EXPECT_FALSE(child.running());
}

TEST(ChildProcess, KeepsWhatArrivedWhenTheTimeRunsOut) {
  ChildProcess child;
  ASSERT_EQ("", shell(child, "printf part; read go; echo rest"));
  std::string line;
  EXPECT_EQ(Status::timedOut, child.readLine(line, milliseconds(50), kMaxLine));
  ASSERT_EQ(Status::ok, child.writeLine("go"));
  EXPECT_EQ("partrest", readOne(child));
}

TEST(ChildProcess, RefusesALineLongerThanAllowed) {
  ChildProcess child;
  ASSERT_EQ("", shell(child, "printf 'short\\n0123456789ABCDEF\\n'"));
  std::string line;
  EXPECT_EQ(Status::ok, child.readLine(line, kPatience, 10));
  EXPECT_EQ(Status::failed, child.readLine(line, kPatience, 10));
}

TEST(ChildProcess, ReportsAChildThatDiedAsEndedWithoutASignal) {
  ChildProcess child;
  ASSERT_EQ("", shell(child, "exit 3"));
  std::string line;
  EXPECT_EQ(Status::ended, child.readLine(line, kPatience, kMaxLine));
  // Its input has no reader any more: the write fails instead of raising SIGPIPE here.
  EXPECT_EQ(Status::ended, child.writeLine(std::string(100000, 'y')));
  child.stop(kPatience);
  EXPECT_FALSE(child.running());
}

TEST(ChildProcess, KillsAChildThatIgnoresTermination) {
  ChildProcess child;
  ASSERT_EQ("", shell(child, "trap '' TERM; echo ready; while :; do sleep 1; done"));
  ASSERT_EQ("ready", readOne(child));
  const int pid = child.pid();
  child.stop(milliseconds(100));
  EXPECT_FALSE(child.running());
  EXPECT_EQ(-1, ::kill(pid, 0));
  EXPECT_EQ(ESRCH, errno);
}

TEST(ChildProcess, GetsItsOwnSessionAndNoOtherDescriptor) {
  const int inherited = ::open("/dev/null", O_RDONLY);  // without close-on-exec on purpose
  ASSERT_GE(inherited, 0);
  ChildProcess child;
  std::string why;
  ASSERT_TRUE(child.start({"/bin/sleep", "30"}, {}, {}, false, why)) << why;
  ::close(inherited);
  EXPECT_EQ(child.pid(), ::getsid(child.pid()));
  // sleep opens its locale files as it starts: look until it has settled (2 s at most).
  const std::set<std::string> standard{"0", "1", "2"};
  std::set<std::string> seen = descriptorsOf(child.pid());
  for (int i = 0; i < 100 && seen != standard; ++i) {
    std::this_thread::sleep_for(milliseconds(20));
    seen = descriptorsOf(child.pid());
  }
  EXPECT_EQ(standard, seen);
  child.stop(milliseconds(100));
}

TEST(ChildProcess, ChangesAndRemovesEnvironmentVariables) {
  ASSERT_EQ(0, ::setenv("KESTRUNE_TEST_KEPT", "kept", 1));
  ASSERT_EQ(0, ::setenv("KESTRUNE_TEST_GONE", "gone", 1));
  ASSERT_EQ(0, ::setenv("KESTRUNE_TEST_CHANGED", "old", 1));
  ChildProcess child;
  ASSERT_EQ("", shell(child,
                      "echo \"$KESTRUNE_TEST_KEPT|${KESTRUNE_TEST_GONE-unset}|"
                      "$KESTRUNE_TEST_CHANGED|$KESTRUNE_TEST_NEW\"",
                      {{"KESTRUNE_TEST_GONE", ""},
                       {"KESTRUNE_TEST_CHANGED", "new"},
                       {"KESTRUNE_TEST_NEW", "added"}}));
  EXPECT_EQ("kept|unset|new|added", readOne(child));
}

TEST(ChildProcess, RunsInTheFolderGiven) {
  ChildProcess child;
  ASSERT_EQ("", shell(child, "pwd", {}, "/"));
  EXPECT_EQ("/", readOne(child));
}

TEST(ChildProcess, SaysWhyItCannotStart) {
  struct Case {
    std::vector<std::string> argv;
    std::string folder;
  };
  const Case cases[] = {
      {{"/nonexistent/program"}, ""},
      {{"/bin/cat"}, "/nonexistent/folder"},
      {{}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv.empty() ? "(no argv)" : c.argv.front() + " in " + c.folder);
    ChildProcess child;
    std::string why;
    EXPECT_FALSE(child.start(c.argv, {}, c.folder, false, why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(child.running());
  }
}

// The child's half runs in a copy of this program started by the test below.
TEST(ChildProcess, AnswerOutputChildHalf) {
  if (std::getenv("KESTRUNE_TEST_ANSWER_CHILD") == nullptr) GTEST_SKIP() << "run by the next test";
  AnswerOutput answers;
  std::printf("noise from a library\n");
  std::fflush(stdout);
  answers.stream() << "the answer" << std::endl;
}

TEST(ChildProcess, AnswerOutputKeepsOthersOutOfTheAnswers) {
  ChildProcess child;
  std::string why;
  ASSERT_TRUE(
      child.start({selfExecutablePath(), "--gtest_filter=ChildProcess.AnswerOutputChildHalf"},
                  {{"KESTRUNE_TEST_ANSWER_CHILD", "1"}}, {}, false, why))
      << why;
  // The test framework's own lines come first, while standard output is still the pipe.
  std::vector<std::string> lines;
  std::string line;
  while (child.readLine(line, kPatience, kMaxLine) == Status::ok) lines.push_back(line);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("the answer", lines.back());
  for (const std::string& seen : lines) EXPECT_NE("noise from a library", seen);
}

TEST(ChildProcess, KnowsItsOwnProgram) {
  const std::string path = selfExecutablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ('/', path.front());
  EXPECT_NE(std::string::npos, path.find("agent_tests"));
}

}  // namespace
}  // namespace kestrune::platform
