// A child process spoken to through its standard input and output, one line at a time: the
// local agent runs each session's control in one, so that no two sessions share a token
// session. Linux only, like the agent.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune::platform {

// selfExecutablePath returns the path of the running program (/proc/self/exe resolved); empty
// when it can't be had.
std::string selfExecutablePath();

// leaveControllingTerminal gives up the calling process's controlling terminal, if it has
// one: a session's process has no user at a terminal, and a prompt there (the certificate
// dialog opens /dev/tty) must find none instead of waiting for an answer.
void leaveControllingTerminal();

class ChildProcess {
 public:
  enum class Status { ok, timedOut, ended, failed };

  ChildProcess() = default;
  // The destructor ends a child still running (SIGTERM, then SIGKILL after a short grace) and
  // reaps it: no path leaves a process or a descriptor behind.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // start runs argv[0] (a path, not searched) with argv, the parent's environment changed by
  // environment (name, value; an empty value removes the name), in workingFolder when not
  // empty. The child gets a session of its own (no controlling terminal), a pipe on each of
  // its standard input and output, its standard error on /dev/null unless keepStderr, and no
  // other descriptor of the parent. False with the reason in why.
  bool start(const std::vector<std::string>& argv,
             const std::vector<std::pair<std::string, std::string>>& environment,
             const std::string& workingFolder, bool keepStderr, std::string& why);

  // writeLine sends text and a '\n' to the child's standard input, whole; the pipe's own copy
  // is the only one left. ended when the child closed its input (no SIGPIPE is raised). It
  // waits while the pipe is full: the child must be reading, or have its output read.
  Status writeLine(std::string_view text);
  // readLine waits at most timeout for one whole line from the child's standard output (the
  // '\n' taken off) of at most maxBytes; failed for a longer line, ended at the end of the
  // stream, timedOut when the time ran out (what arrived so far is kept for the next read).
  Status readLine(std::string& line, std::chrono::milliseconds timeout, std::size_t maxBytes);

  // closeInput closes the child's standard input: a child reading lines sees the end and exits.
  void closeInput();
  // stop ends the child: closes its input, waits up to grace for it to exit, then kills it;
  // always reaps it. Safe to call twice.
  void stop(std::chrono::milliseconds grace);

  bool running() const { return pid_ > 0; }
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string pending_;  // bytes read past the last line
};

}  // namespace kestrune::platform
