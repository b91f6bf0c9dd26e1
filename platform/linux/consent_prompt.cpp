// The yes-or-no prompts of the agent's consent. Neither reads anything typed before the
// question appeared (a page can't have its question answered by keys meant for something
// else), and neither waits for ever: no answer in time is a "no".
#include "platform/consent_prompt.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "platform/file_descriptor.h"
#include "platform/platform.h"

extern char** environ;

namespace kestrune::platform {
namespace {

constexpr std::chrono::seconds kAnswerTime{120};
constexpr std::size_t kMaxAnswer = 64;

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// readAnswer reads one line of at most kMaxAnswer bytes (a longer one is read to its end and
// is no answer), within kAnswerTime; false when none came.
bool readAnswer(int fd, std::string& answer) {
  const auto deadline = std::chrono::steady_clock::now() + kAnswerTime;
  bool tooLong = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd watched{fd, POLLIN, 0};
    const int ready = ::poll(&watched, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return !tooLong;
    if (answer.size() < kMaxAnswer) {
      answer += c;
    } else {
      tooLong = true;
    }
  }
}

bool isYes(std::string answer) {
  while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back()))) {
    answer.pop_back();
  }
  std::size_t start = 0;
  while (start < answer.size() && std::isspace(static_cast<unsigned char>(answer[start]))) {
    ++start;
  }
  std::string word;
  for (std::size_t i = start; i < answer.size(); ++i) {
    word += static_cast<char>(std::tolower(static_cast<unsigned char>(answer[i])));
  }
  return word == "y" || word == "yes";
}

// runPrompt runs the program (an absolute path) with argv, its input on /dev/null, and waits
// for its exit: 0 is yes, any other end is no.
PromptAnswer runPrompt(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return PromptAnswer::unavailable;
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return PromptAnswer::unavailable;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return PromptAnswer::no;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? PromptAnswer::yes : PromptAnswer::no;
}

}  // namespace

PromptAnswer askOnTerminal(const std::string& question) {
  const FileDescriptor tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (tty.get() < 0 || ::isatty(tty.get()) == 0) return PromptAnswer::unavailable;
  ::tcflush(tty.get(), TCIFLUSH);
  if (!writeAll(tty.get(), "\n" + question + " [y/N] ")) return PromptAnswer::unavailable;
  std::string answer;
  if (!readAnswer(tty.get(), answer)) {
    writeAll(tty.get(), "\n(no answer: refused)\n");
    return PromptAnswer::no;
  }
  return isYes(answer) ? PromptAnswer::yes : PromptAnswer::no;
}

PromptAnswer askOnDesktop(const std::string& title, const std::string& question) {
  if (environmentVariable("DISPLAY").empty() && environmentVariable("WAYLAND_DISPLAY").empty()) {
    return PromptAnswer::unavailable;
  }
  const std::string seconds = std::to_string(kAnswerTime.count());
  // Installed programs at their system paths: a PATH of the user's session is not searched.
  const char* const zenity = "/usr/bin/zenity";
  const char* const kdialog = "/usr/bin/kdialog";
  if (::access(zenity, X_OK) == 0) {
    return runPrompt({zenity, "--question", "--no-markup", "--title", title, "--text", question,
                      "--timeout", seconds});
  }
  if (::access(kdialog, X_OK) == 0) {
    return runPrompt({kdialog, "--title", title, "--yesno", question});
  }
  return PromptAnswer::unavailable;
}

}  // namespace kestrune::platform
