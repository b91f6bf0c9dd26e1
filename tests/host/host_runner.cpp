#include "tests/host/host_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace kestrune::testing {
namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> childEnvironment(const std::vector<EnvironmentChange>& changes) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool changed = false;
    for (const EnvironmentChange& change : changes) changed = changed || change.name == name;
    if (!changed) entries.push_back(text);
  }
  for (const EnvironmentChange& change : changes) {
    if (!change.unset) entries.push_back(change.name + "=" + change.value);
  }
  return entries;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrune-host-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << pattern;
    return;
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  if (!path_.empty()) std::filesystem::remove_all(path_, error);
}

HostRun runHost(const std::vector<std::string>& args, const std::string& input,
                const std::vector<EnvironmentChange>& environment) {
  return runProgram(KESTRUNE_HOST_PATH, args, input, environment);
}

HostRun runProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::string& input, const std::vector<EnvironmentChange>& environment) {
  HostRun run;
  TempDir io;
  const std::string inPath = io.path() + "/in";
  const std::string outPath = io.path() + "/out";
  const std::string errPath = io.path() + "/err";
  std::ofstream(inPath, std::ios::binary) << input;

  std::vector<std::string> argumentTexts = {program};
  argumentTexts.insert(argumentTexts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& text : argumentTexts) argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<std::string> environmentTexts = childEnvironment(environment);
  std::vector<char*> envp;
  for (std::string& text : environmentTexts) envp.push_back(text.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << argv[0] << ": errno " << spawned;
    return run;
  }
  int wstatus = 0;
  while (waitpid(child, &wstatus, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  run.out = readAll(outPath);
  run.err = readAll(errPath);
  return run;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

}  // namespace kestrune::testing
