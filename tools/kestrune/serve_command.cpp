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

// unitPath quotes an absolute path for a unit's path list or an Environment= assignment (after
// prefix, such as "XDG_DATA_HOME="): in double quotes, '%' doubled. Those settings keep a
// backslash as it stands and refuse ".." components, so a path that would need an escape or
// that systemd would read as another path is refused: false.
bool unitPath(std::string_view prefix, std::string_view path, std::string& word) {
  if (path.empty() || path.front() != '/') return false;
  const std::string text = std::string(path) + "/";
  if (text.find("/../") != std::string::npos) return false;
  word = "\"" + std::string(prefix);
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\'' || c == '\\') return false;
    if (c == '%') word += '%';
    word += c;
  }
  word += '"';
  return true;
}

// The folders the agent writes in, made writable in a file system that is read-only for it
// otherwise, and the XDG bases it finds them under, pinned in the unit so that the service
// uses the folders the unit opens whatever the user manager's own environment says.
struct UnitFolders {
  std::string configHome;  // $XDG_CONFIG_HOME
  std::string dataHome;    // $XDG_DATA_HOME
  std::string config;      // configHome/kestrune
  std::string data;        // dataHome/kestrune
};

// unitFolders finds the folders; false when neither the XDG variables nor HOME name them.
bool unitFolders(UnitFolders& folders) {
  folders.config = platform::configFilePath("");
  folders.data = platform::dataFolderPath("");
  constexpr std::string_view kOwn = "/kestrune";
  if (folders.config.size() <= kOwn.size() || folders.data.size() <= kOwn.size()) return false;
  folders.configHome = folders.config.substr(0, folders.config.size() - kOwn.size());
  folders.dataHome = folders.data.substr(0, folders.data.size() - kOwn.size());
  return true;
}

// The resources of the agent and its sessions, each session a process with a PKCS#11 module
// loaded (and, while it asks, a consent dialog): a bound on what a page can make it use.
constexpr std::size_t kAgentTasks = 64;
constexpr std::size_t kTasksPerSession = 16;
constexpr std::size_t kAgentMegabytes = 512;
constexpr std::size_t kMegabytesPerSession = 64;

// The fence around the agent. The file system is read-only but for the folders added to it;
// /proc/net stays readable (the owner of a connection is looked up there when netlink is
// refused); /dev stays, for USB tokens that a module reaches without pcscd.
constexpr char kSandbox[] = R"(NoNewPrivileges=yes
# A user manager sets up the file system protections below inside a user namespace.
PrivateUsers=yes
ProtectSystem=strict
PrivateTmp=yes
ProtectKernelTunables=yes
ProtectKernelModules=yes
ProtectKernelLogs=yes
ProtectControlGroups=yes
ProtectHostname=yes
# UNIX sockets for pcscd and the display, IP for the loopback listener and network tokens,
# netlink to find the user behind each connection.
RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK
RestrictNamespaces=yes
RestrictRealtime=yes
RestrictSUIDSGID=yes
LockPersonality=yes
SystemCallArchitectures=native
SystemCallFilter=@system-service
SystemCallErrorNumber=EPERM
KeyringMode=private
UMask=0077
# No core file of a process that held a PIN.
LimitCORE=0
)";

// serviceSettings returns the [Service] lines that bound and fence the agent in, given the
// quoted words of its XDG bases (environment) and of its folders (writable).
std::string serviceSettings(std::size_t sessions, const std::string& environment,
                            const std::string& writable) {
  std::string text = "Environment=" + environment + "\n";
  text += "MemoryMax=" + std::to_string(kAgentMegabytes + kMegabytesPerSession * sessions) + "M\n";
  text += "TasksMax=" + std::to_string(kAgentTasks + kTasksPerSession * sessions) + "\n";
  text += kSandbox;
  text += "ReadWritePaths=" + writable + "\n";
  return text;
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
  UnitFolders folders;
  if (!unitFolders(folders)) {
    err << "kestrune serve: no HOME or XDG folders for the agent's files\n";
    return kFailed;
  }
  std::string configHome, dataHome, config, data;
  if (!unitPath("XDG_CONFIG_HOME=", folders.configHome, configHome) ||
      !unitPath("XDG_DATA_HOME=", folders.dataHome, dataHome) ||
      !unitPath("", folders.config, config) || !unitPath("", folders.data, data)) {
    // The paths themselves stay out of the message: they may hold control characters.
    err << "kestrune serve: the XDG folders for the agent's files can't be written in a unit "
           "(a relative path, \"..\", a quote, a backslash or a control character)\n";
    return kFailed;
  }
  // A path in ReadWritePaths= that is missing fails the service's start.
  for (const std::string& own : {folders.config, folders.data}) {
    if (!platform::makeOwnerFolder(own)) {
      err << "kestrune serve: can't make the folder " << own << "\n";
      return kFailed;
    }
  }
  std::string command = unitWord(self) + " serve";
  if (!listen_.empty()) command += " --listen " + listen_;
  command += " --idle-timeout " + std::to_string(idleSeconds_);
  command += " --max-sessions " + std::to_string(maxSessions_);
  // The consent dialog needs the desktop's display: the unit lives and dies with the
  // graphical session, whose start has put DISPLAY or WAYLAND_DISPLAY in the user manager.
  const std::string unit =
      "[Unit]\n"
      "Description=Kestrune local agent: pages of allowed origins reach the token\n"
      "PartOf=graphical-session.target\n"
      "After=graphical-session.target\n"
      "\n"
      "[Service]\n"
      "ExecStart=" +
      command +
      "\n"
      "Restart=on-failure\n" +
      serviceSettings(maxSessions_, configHome + " " + dataHome, config + " " + data) +
      "\n"
      "[Install]\n"
      "WantedBy=graphical-session.target\n";
  const std::string path = folder + "/kestrune.service";
  if (const int error = platform::replaceConfigFile(path, unit); error != 0) {
    err << "kestrune serve: can't write " << path << ": " << std::strerror(error) << "\n";
    return kFailed;
  }
  out << "Wrote " << path << "\n"
      << "To start the agent now and with every graphical session:\n"
      << "  systemctl --user daemon-reload\n"
      << "  systemctl --user enable --now kestrune.service\n"
      << "To check it:\n"
      << "  systemctl --user status kestrune.service\n"
      << "  systemd-analyze --user security kestrune.service\n"
      << "The consent dialog needs the display in the service's environment; see it with\n"
      << "  systemctl --user show-environment | grep -E '^(DISPLAY|WAYLAND_DISPLAY|XAUTHORITY)='\n"
      << "and, when the desktop doesn't import it, run in the desktop's session:\n"
      << "  dbus-update-activation-environment --systemd DISPLAY WAYLAND_DISPLAY XAUTHORITY\n"
      << "Where the desktop starts no graphical-session.target, start the agent after login:\n"
      << "  systemctl --user start kestrune.service\n"
      << "The agent may write only in " << folders.config << " and " << folders.data
      << "; a PKCS#11 module that keeps its tokens elsewhere needs that folder added\n"
      << "(ReadWritePaths=) with systemctl --user edit kestrune.service\n";
  return kDone;
}

}  // namespace kestrune::host
