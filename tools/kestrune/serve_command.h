// kestrune serve: the local agent, through which pages of the allowed origins reach the
// control over HTTP on the loopback address; or, with --install-user-unit, the systemd user
// unit that starts it with the session.
#pragma once

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

namespace kestrune::host {

class ServeCommand {
 public:
  // ServeCommand adds the "serve" command to app.
  explicit ServeCommand(CLI::App& app);
  bool parsed() const { return serve_->parsed(); }
  // run serves until SIGINT or SIGTERM, the base URL as the first line of out once it
  // listens: 0 after a clean stop, 1 when the agent can't start or the unit can't be written,
  // 2 a usage error (an address other than 127.0.0.1 or [::1]); the reason as one line on err.
  int run(std::ostream& out, std::ostream& err) const;

 private:
  int installUserUnit(std::ostream& out, std::ostream& err) const;

  CLI::App* serve_ = nullptr;
  std::string listen_;
  unsigned idleSeconds_ = 600;
  std::size_t maxSessions_ = 8;
  bool installUnit_ = false;
};

// parseListenAddress reads "127.0.0.1:PORT" or "[::1]:PORT" (PORT 0-65535) into host
// ("127.0.0.1", "::1") and port; false for anything else.
bool parseListenAddress(const std::string& text, std::string& host, int& port);

}  // namespace kestrune::host
