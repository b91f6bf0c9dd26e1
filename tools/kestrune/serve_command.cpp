#include "tools/kestrune/serve_command.h"

#include <charconv>
#include <cstring>
#include <iostream>
#include <vector>

#include "agent/agent_config.h"
#include "agent/agent_server.h"
#include "platform/child_process.h"
#include "platform/config_files.h"
#include "platform/stop_signal.h"

namespace kestrune::host {
namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

// unitWord quotes a word of an ExecStart line: systemd's quoting, and '%' doubled so that no
// specifier is expanded in it.
std::string unitWord(const std::string& word) {
  std::string quoted = "\"";
  for (const char c : word) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + "\"";
}

// userUnitFolder returns $XDG_CONFIG_HOME/systemd/user (else $HOME/.config/...): the config
// home is the folder above the one Kestrune's own files live in.
std::string userUnitFolder() {
  const std::string ownFile = platform::configFilePath("kestrune.service");
  constexpr std::string_view kOwnPart = "kestrune/kestrune.service";
  if (ownFile.size() <= kOwnPart.size()) return {};
  return ownFile.substr(0, ownFile.size() - kOwnPart.size()) + "systemd/user";
}

}  // namespace

bool parseListenAddress(const std::string& text, std::string& host, int& port) {
  std::string_view portText;
  if (text.rfind("127.0.0.1:", 0) == 0) {
    host = "127.0.0.1";
    portText = std::string_view(text).substr(10);
  } else if (text.rfind("[::1]:", 0) == 0) {
    host = "::1";
    portText = std::string_view(text).substr(6);
  } else {
    return false;
  }
  int value = -1;
  const auto [end, error] =
      std::from_chars(portText.data(), portText.data() + portText.size(), value);
  if (portText.empty() || portText.size() > 5 || error != std::errc() ||
      end != portText.data() + portText.size() || value < 0 || value > 65535) {
    return false;
  }
  port = value;
  return true;
}

ServeCommand::ServeCommand(CLI::App& app) {
  serve_ = app.add_subcommand(
      "serve",
      "Run the local agent: pages of the origins on the allow-list (kestrune origins) reach the "
      "control over HTTP on the loopback address. Prints the base URL first, runs until "
      "interrupted");
  serve_->add_option("--listen", listen_,
                     "127.0.0.1:PORT or [::1]:PORT (default 127.0.0.1:" +
                         std::to_string(agent::kDefaultPort) + "; port 0: a free one)");
  serve_->add_option("--idle-timeout", idleSeconds_, "seconds after which an unused session ends")
      ->capture_default_str()
      ->check(CLI::Range(1u, 7u * 24 * 3600));
  serve_->add_option("--max-sessions", maxSessions_, "sessions open at once, each a process")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{256}));
  serve_->add_flag("--install-user-unit", installUnit_,
                   "write the systemd user unit that runs this agent (kestrune.service) and "
                   "print the commands that enable it; enables nothing");
}

int ServeCommand::run(std::ostream& out, std::ostream& err) const {
  agent::AgentOptions options;
  if (!listen_.empty() && !parseListenAddress(listen_, options.host, options.port)) {
    err << "kestrune serve: --listen takes 127.0.0.1:PORT or [::1]:PORT, nothing else\n";
    return kUsageError;
  }
  if (installUnit_) return installUserUnit(out, err);
  options.idleTimeout = std::chrono::seconds(idleSeconds_);
  options.maxSessions = maxSessions_;
  const std::string self = platform::selfExecutablePath();
  options.workerCommand = {self, "agent-worker"};
  options.originsFile = agent::originsFilePath();
  options.agentConfig = agent::agentConfigPath();
  options.originsDataDir = platform::dataFolderPath("origins");
  if (self.empty() || options.originsFile.empty() || options.originsDataDir.empty()) {
    err << "kestrune serve: no HOME or XDG folders for the allow-list and the origins' files\n";
    return kFailed;
  }
  std::string why;
  if (!platform::watchStopSignals(why)) {
    err << "kestrune serve: " << why << "\n";
    return kFailed;
  }
  agent::AgentServer server(options);
  if (!server.start(why)) {
    err << "kestrune serve: " << why << "\n";
    return kFailed;
  }
  out << server.baseUrl() << std::endl;
  platform::waitForStopSignal();
  server.stop();
  return kDone;
}

int ServeCommand::installUserUnit(std::ostream& out, std::ostream& err) const {
  const std::string self = platform::selfExecutablePath();
  const std::string folder = userUnitFolder();
  if (self.empty() || folder.empty()) {
    err << "kestrune serve: no HOME or XDG_CONFIG_HOME for the user unit\n";
    return kFailed;
  }
  if (self.find_first_of("\n\r") != std::string::npos) {
    err << "kestrune serve: this program's path can't be written in a unit\n";
    return kFailed;
  }
  std::string command = unitWord(self) + " serve";
  if (!listen_.empty()) command += " --listen " + listen_;
  command += " --idle-timeout " + std::to_string(idleSeconds_);
  command += " --max-sessions " + std::to_string(maxSessions_);
  const std::string unit =
      "[Unit]\n"
      "Description=Kestrune local agent: pages of allowed origins reach the token\n"
      "\n"
      "[Service]\n"
      "ExecStart=" +
      command +
      "\n"
      "Restart=on-failure\n"
      "\n"
      "[Install]\n"
      "WantedBy=default.target\n";
  const std::string path = folder + "/kestrune.service";
  if (const int error = platform::replaceConfigFile(path, unit); error != 0) {
    err << "kestrune serve: can't write " << path << ": " << std::strerror(error) << "\n";
    return kFailed;
  }
  out << "Wrote " << path << "\n"
      << "To start the agent now and with every session:\n"
      << "  systemctl --user daemon-reload\n"
      << "  systemctl --user enable --now kestrune.service\n";
  return kDone;
}

}  // namespace kestrune::host
