// A `kestrune script` child process driven one call at a time: each JSON line goes to its
// standard input and its answer line is read back from its standard output (the host flushes
// every answer), so the next call can depend on what the last one returned.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace kestrune::testing {

class ScriptProcess {
 public:
  ScriptProcess() = default;
  ~ScriptProcess();  // kills and reaps a child still running
  ScriptProcess(const ScriptProcess&) = delete;
  ScriptProcess& operator=(const ScriptProcess&) = delete;

  // start runs `hostPath script -` with SOFTHSM2_CONF set to softHsmConf and its standard
  // error going to errorPath. False, with the reason in why, when the child can't be started.
  bool start(const std::string& hostPath, const std::string& softHsmConf,
             const std::string& errorPath, std::string& why);

  // call sends one call and returns its answer line parsed; nullopt, with the reason in why,
  // when the child ends, stays silent for timeout, or answers with something that isn't JSON.
  std::optional<nlohmann::json> call(const nlohmann::json& line, std::chrono::milliseconds timeout,
                                     std::string& why);

  // finish ends the input and returns the child's exit status once it has gone; -1 when it did
  // not end by itself within timeout (it is then killed) or did not exit normally.
  int finish(std::chrono::milliseconds timeout);

 private:
  bool sendAll(const std::string& text, std::string& why);
  std::optional<std::string> readLine(std::chrono::steady_clock::time_point deadline,
                                      std::string& why);
  void reap(bool kill);

  pid_t child_ = -1;
  int socket_ = -1;      // our end of the socket pair that is the child's standard input and output
  std::string pending_;  // bytes read past the last line
};

}  // namespace kestrune::testing
