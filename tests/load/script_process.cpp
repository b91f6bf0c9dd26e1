#include "tests/load/script_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace kestrune::testing {
namespace {

constexpr std::string_view kConfName = "SOFTHSM2_CONF";
constexpr std::size_t kReadChunk = 64 * 1024;

// childEnvironment is this process's environment with SOFTHSM2_CONF pointing at conf.
std::vector<std::string> childEnvironment(const std::string& conf) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    if (text.substr(0, text.find('=')) != kConfName) entries.emplace_back(text);
  }
  entries.push_back(std::string(kConfName) + "=" + conf);
  return entries;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

ScriptProcess::~ScriptProcess() {
  reap(true);
}

bool ScriptProcess::start(const std::string& hostPath, const std::string& softHsmConf,
                          const std::string& errorPath, std::string& why) {
  int ends[2] = {-1, -1};
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    why = std::string("socketpair: ") + std::strerror(errno);
    return false;
  }
  socket_ = ends[0];
  std::vector<std::string> arguments = {hostPath, "script", "-"};
  std::vector<std::string> environment = childEnvironment(softHsmConf);
  std::vector<char*> argv = pointers(arguments);
  std::vector<char*> envp = pointers(environment);

  // The child's end becomes its standard input and output (dup2 clears close-on-exec there).
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  const int spawned = posix_spawn(&child_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  if (spawned != 0) {
    child_ = -1;
    why = "cannot start " + hostPath + ": " + std::strerror(spawned);
    return false;
  }
  return true;
}

bool ScriptProcess::sendAll(const std::string& text, std::string& why) {
  for (std::size_t sent = 0; sent < text.size();) {
    // MSG_NOSIGNAL: a child that has gone is a failed call, not a SIGPIPE for the test.
    const ssize_t n = send(socket_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = std::string("cannot write to the host: ") + std::strerror(errno);
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> ScriptProcess::readLine(std::chrono::steady_clock::time_point deadline,
                                                   std::string& why) {
  for (;;) {
    if (const auto end = pending_.find('\n'); end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      why = "no answer from the host in time";
      return std::nullopt;
    }
    pollfd ready{socket_, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) {
      why = std::string("poll: ") + std::strerror(errno);
      return std::nullopt;
    }
    if (polled == 0) continue;
    char buffer[kReadChunk];
    const ssize_t n = recv(socket_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = n == 0 ? "the host ended" : std::string("recv: ") + std::strerror(errno);
      return std::nullopt;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<nlohmann::json> ScriptProcess::call(const nlohmann::json& line,
                                                  std::chrono::milliseconds timeout,
                                                  std::string& why) {
  if (socket_ < 0) {
    why = "the host is not running";
    return std::nullopt;
  }
  if (!sendAll(line.dump() + "\n", why)) return std::nullopt;
  const std::optional<std::string> answer =
      readLine(std::chrono::steady_clock::now() + timeout, why);
  if (!answer) return std::nullopt;
  nlohmann::json parsed = nlohmann::json::parse(*answer, nullptr, false);
  if (parsed.is_discarded()) {
    why = "not JSON: " + *answer;
    return std::nullopt;
  }
  return parsed;
}

int ScriptProcess::finish(std::chrono::milliseconds timeout) {
  if (child_ < 0) return -1;
  shutdown(socket_, SHUT_WR);  // the end of the script
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child_, &status, WNOHANG);
    if (done == child_) break;
    if (done < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      reap(true);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  child_ = -1;
  reap(false);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ScriptProcess::reap(bool killChild) {
  if (child_ > 0) {
    if (killChild) kill(child_, SIGKILL);
    while (waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
  }
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
}

}  // namespace kestrune::testing
