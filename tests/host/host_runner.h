// Runs the real kestrune executable as a child process, as scripts and checks do.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kestrune::testing {

struct HostRun {
  int status = -1;  // the exit status; -1 when the child did not exit normally
  std::string out;
  std::string err;
};

struct EnvironmentChange {
  std::string name;
  std::string value;
  bool unset = false;
};

// runHost runs kestrune with args, feeding input on its standard input, and waits for it.
HostRun runHost(const std::vector<std::string>& args, const std::string& input = {},
                const std::vector<EnvironmentChange>& environment = {});
// runProgram does the same for another program, named by its absolute path.
HostRun runProgram(const std::string& program, const std::vector<std::string>& args,
                   const std::string& input = {},
                   const std::vector<EnvironmentChange>& environment = {});

// lines splits text at line feeds; a final line feed ends the last line.
std::vector<std::string> lines(const std::string& text);

// TempDir is a fresh folder, removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace kestrune::testing
