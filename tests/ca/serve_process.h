// A `fedi-ca` child process: commands run to their end, and `serve` kept running with its
// standard output read through a pipe, so that tests meet the authority as an integrator runs
// it and can read what it costs (its peak resident memory).
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

namespace kestrune::ca::test {

struct CommandRun {
  int status = -1;
  std::string output;  // standard output only
};

// fediCa runs `fedi-ca ARGUMENTS` through the shell and waits for it.
CommandRun fediCa(const std::string& arguments);

class ServeProcess {
 public:
  // Starts `fedi-ca serve --dir DIR --listen LISTEN` with extra arguments; its standard error
  // goes to errorFile when one is named.
  explicit ServeProcess(const std::string& dir, const std::vector<std::string>& extra = {},
                        const std::string& listen = "127.0.0.1:0",
                        const std::string& errorFile = {});
  ~ServeProcess();
  ServeProcess(const ServeProcess&) = delete;
  ServeProcess& operator=(const ServeProcess&) = delete;

  // firstLine reads the first line of standard output (the initiation URL); empty on failure.
  std::string firstLine();
  // port is the port of the URL firstLine read, 0 before.
  int port() const { return port_; }
  // peakResidentKiB returns the child's peak resident memory (VmHWM), -1 when unknown.
  long peakResidentKiB() const;
  // terminate sends SIGTERM and returns the exit status, or -1 when the child does not end
  // within five seconds (it is then killed).
  int terminate();

 private:
  pid_t pid_ = -1;
  std::FILE* output_ = nullptr;
  int port_ = 0;
};

}  // namespace kestrune::ca::test
