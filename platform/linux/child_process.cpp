// The child is started with posix_spawn: the server that starts it has threads, and between a
// fork and an exec only async-signal-safe calls are allowed; glibc's posix_spawn runs every
// step (new session, working folder, descriptors, signals) in the child for us and reports a
// failed one (a missing program, a folder that isn't there) as its result.
#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

extern char** environ;

namespace kestrune::platform {
namespace {

void closeDescriptor(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string errorText(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

// A pipe's end kept at 3 or above: dup2 onto the standard descriptors then always makes a new
// descriptor, and the new one carries no close-on-exec flag.
bool aboveStandard(int& fd) {
  if (fd > 2) return true;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  fd = moved;
  return fd >= 0;
}

struct Pipe {
  int read = -1;
  int write = -1;
  ~Pipe() {
    closeDescriptor(read);
    closeDescriptor(write);
  }
  bool open() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    read = ends[0];
    write = ends[1];
    return aboveStandard(read) && aboveStandard(write);
  }
};

// The parent's environment changed by the list, as "NAME=value" lines.
std::vector<std::string> changedEnvironment(
    const std::vector<std::pair<std::string, std::string>>& changes) {
  std::set<std::string> changed;
  for (const auto& change : changes) changed.insert(change.first);
  std::vector<std::string> lines;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view line = *entry;
    const auto equals = line.find('=');
    if (equals != std::string_view::npos && changed.count(std::string(line.substr(0, equals)))) {
      continue;
    }
    lines.emplace_back(line);
  }
  for (const auto& [name, value] : changes) {
    if (!value.empty()) lines.push_back(name + "=" + value);
  }
  return lines;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  bool ready = posix_spawn_file_actions_init(&actions) == 0;
  ~SpawnActions() {
    if (ready) posix_spawn_file_actions_destroy(&actions);
  }
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  bool ready = posix_spawnattr_init(&attributes) == 0;
  ~SpawnAttributes() {
    if (ready) posix_spawnattr_destroy(&attributes);
  }
};

// The child starts with no signal blocked and the default action for every signal a server
// typically ignores or handles (an ignored SIGPIPE would otherwise survive the exec).
int prepareAttributes(posix_spawnattr_t& attributes) {
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGQUIT, SIGUSR1, SIGUSR2}) {
    sigaddset(&defaults, signal);
  }
  int error = posix_spawnattr_setflags(
      &attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (error == 0) error = posix_spawnattr_setsigmask(&attributes, &none);
  if (error == 0) error = posix_spawnattr_setsigdefault(&attributes, &defaults);
  return error;
}

int prepareActions(posix_spawn_file_actions_t& actions, const Pipe& input, const Pipe& output,
                   const std::string& workingFolder, bool keepStderr) {
  int error = posix_spawn_file_actions_adddup2(&actions, input.read, STDIN_FILENO);
  if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, output.write, STDOUT_FILENO);
  if (error == 0 && !keepStderr) {
    error = posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  // Every other descriptor goes, not only the close-on-exec ones: another thread's socket
  // opened without the flag must not reach a session's process.
  if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  if (error == 0 && !workingFolder.empty()) {
    error = posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
  }
  return error;
}

// SigpipeBlocked keeps a write to a pipe whose reader has gone from killing the process: the
// write fails with EPIPE instead, and the SIGPIPE it raised for this thread is taken back.
class SigpipeBlocked {
 public:
  SigpipeBlocked() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
  }
  SigpipeBlocked(const SigpipeBlocked&) = delete;
  SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;
  ~SigpipeBlocked() {
    if (raised && !wasPending_) {
      const timespec now{0, 0};
      while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  bool raised = false;

 private:
  sigset_t pipe_;
  sigset_t previous_;
  bool wasPending_ = false;
};

std::int64_t nowMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sleepMilliseconds(long milliseconds) {
  timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// reapWithin waits up to timeout for the child to exit; true once it has been reaped.
bool reapWithin(int pid, std::chrono::milliseconds timeout) {
  const std::int64_t deadline = nowMilliseconds() + timeout.count();
  while (true) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) return true;
    if (done < 0 && errno != EINTR) return true;
    const std::int64_t left = deadline - nowMilliseconds();
    if (left <= 0) return false;
    sleepMilliseconds(static_cast<long>(std::min<std::int64_t>(left, 10)));
  }
}

}  // namespace

std::string selfExecutablePath() {
  std::string path(256, '\0');
  while (path.size() <= 65536) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      return path;
    }
    path.resize(path.size() * 2);
  }
  return {};
}

void leaveControllingTerminal() {
  const int terminal = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0) return;
  ::ioctl(terminal, TIOCNOTTY);
  ::close(terminal);
}

ChildProcess::~ChildProcess() {
  stop(std::chrono::milliseconds(1000));
}

bool ChildProcess::start(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& environment,
                         const std::string& workingFolder, bool keepStderr, std::string& why) {
  if (running()) {
    why = "a child is already running";
    return false;
  }
  if (argv.empty() || argv.front().empty()) {
    why = "no program to run";
    return false;
  }
  for (const auto& change : environment) {
    if (change.first.empty() || change.first.find('=') != std::string::npos) {
      why = "not an environment variable's name: " + change.first;
      return false;
    }
  }
  // Everything the child needs is built before it exists.
  std::vector<std::string> arguments = argv;
  std::vector<char*> argumentPointers = pointersTo(arguments);
  std::vector<std::string> variables = changedEnvironment(environment);
  std::vector<char*> variablePointers = pointersTo(variables);

  Pipe input;
  Pipe output;
  if (!input.open() || !output.open()) {
    why = errorText("cannot make a pipe", errno);
    return false;
  }
  SpawnActions actions;
  SpawnAttributes attributes;
  if (!actions.ready || !attributes.ready) {
    why = "cannot prepare the child";
    return false;
  }
  int error = prepareAttributes(attributes.attributes);
  if (error == 0) {
    error = prepareActions(actions.actions, input, output, workingFolder, keepStderr);
  }
  if (error != 0) {
    why = errorText("cannot prepare the child", error);
    return false;
  }
  pid_t pid = -1;
  error = posix_spawn(&pid, arguments.front().c_str(), &actions.actions, &attributes.attributes,
                      argumentPointers.data(), variablePointers.data());
  if (error != 0) {
    why = errorText(("cannot start " + arguments.front()).c_str(), error);
    return false;
  }
  pid_ = pid;
  toChild_ = std::exchange(input.write, -1);
  fromChild_ = std::exchange(output.read, -1);
  pending_.clear();
  return true;
}

ChildProcess::Status ChildProcess::writeLine(std::string_view text) {
  if (toChild_ < 0) return Status::ended;
  char newline = '\n';
  iovec parts[2] = {{const_cast<char*>(text.data()), text.size()}, {&newline, 1}};
  std::size_t first = 0;
  SigpipeBlocked guard;
  while (first < 2) {
    const ssize_t written = ::writev(toChild_, parts + first, static_cast<int>(2 - first));
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EPIPE) {
        guard.raised = true;
        return Status::ended;
      }
      return Status::failed;
    }
    auto left = static_cast<std::size_t>(written);
    while (first < 2 && left >= parts[first].iov_len) {
      left -= parts[first].iov_len;
      ++first;
    }
    if (first < 2) {
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  return Status::ok;
}

ChildProcess::Status ChildProcess::readLine(std::string& line, std::chrono::milliseconds timeout,
                                            std::size_t maxBytes) {
  const std::int64_t deadline = nowMilliseconds() + timeout.count();
  std::size_t searched = 0;
  while (true) {
    const auto end = pending_.find('\n', searched);
    if (end != std::string::npos) {
      if (end > maxBytes) return Status::failed;
      line.assign(pending_, 0, end);
      pending_.erase(0, end + 1);
      return Status::ok;
    }
    if (pending_.size() > maxBytes) return Status::failed;
    searched = pending_.size();
    if (fromChild_ < 0) return Status::ended;

    const std::int64_t left = deadline - nowMilliseconds();
    if (left <= 0) return Status::timedOut;
    pollfd wait{fromChild_, POLLIN, 0};
    const int ready = ::poll(&wait, 1, static_cast<int>(std::min<std::int64_t>(left, 1 << 30)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Status::failed;
    if (ready == 0) return Status::timedOut;

    char buffer[65536];
    const ssize_t got = ::read(fromChild_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Status::failed;
    if (got == 0) {
      closeDescriptor(fromChild_);
      return Status::ended;
    }
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
}

void ChildProcess::closeInput() {
  closeDescriptor(toChild_);
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
  closeInput();
  if (pid_ > 0) {
    // The child leads its own process group (its own session): whatever it started goes too.
    if (!reapWithin(pid_, grace)) {
      ::kill(-pid_, SIGTERM);
      if (!reapWithin(pid_, grace)) {
        ::kill(-pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
      }
    }
    pid_ = -1;
  }
  closeDescriptor(fromChild_);
  pending_.clear();
}

}  // namespace kestrune::platform
