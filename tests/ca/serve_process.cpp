#include "serve_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

extern char** environ;

namespace kestrune::ca::test {

CommandRun fediCa(const std::string& arguments) {
  CommandRun result;
  if (FILE* pipe = popen((std::string(FEDI_CA_PATH) + " " + arguments).c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) result.output += line;
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return result;
}

ServeProcess::ServeProcess(const std::string& dir, const std::vector<std::string>& extra,
                           const std::string& listen, const std::string& errorFile) {
  int fds[2];
  if (pipe(fds) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  if (!errorFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  std::vector<std::string> arguments = {FEDI_CA_PATH, "serve", "--dir", dir, "--listen", listen};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, FEDI_CA_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  output_ = fdopen(fds[0], "r");
}

ServeProcess::~ServeProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (output_ != nullptr) std::fclose(output_);
}

std::string ServeProcess::firstLine() {
  char line[512] = {};
  if (output_ == nullptr || std::fgets(line, sizeof line, output_) == nullptr) return {};
  std::string text(line);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  const auto colon = text.rfind(':');
  if (colon != std::string::npos) port_ = std::atoi(text.c_str() + colon + 1);
  return text;
}

long ServeProcess::peakResidentKiB() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      long kib = -1;
      status >> kib;
      return kib;
    }
  }
  return -1;
}

int ServeProcess::terminate() {
  kill(pid_, SIGTERM);
  for (int i = 0; i < 500; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

}  // namespace kestrune::ca::test
