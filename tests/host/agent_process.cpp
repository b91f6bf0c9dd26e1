#include "tests/host/agent_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

extern char** environ;

namespace kestrune::testing {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

AgentHome::AgentHome() {
  for (const char* origin : {kBank, kShop}) {
    const HostRun run = runHost({"origins", "add", origin}, {}, environment());
    EXPECT_EQ(0, run.status) << run.err;
  }
  const Json agentConfig = {{"modules", {{"softhsm", softHsmModule()}}}};
  std::ofstream(dir_.path() + "/config/kestrune/agent.json") << agentConfig.dump();
}

std::vector<EnvironmentChange> AgentHome::environment() const {
  return {{"XDG_CONFIG_HOME", dir_.path() + "/config"}, {"XDG_DATA_HOME", dir_.path() + "/data"}};
}

AgentProcess::AgentProcess(const AgentHome& home, const char* consent,
                           std::vector<std::string> options) {
  std::vector<std::string> words = {KESTRUNE_HOST_PATH, "serve", "--listen", "127.0.0.1:0"};
  words.insert(words.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
  for (const EnvironmentChange& change : home.environment()) {
    variables.push_back(change.name + "=" + change.value);
  }
  variables.push_back(std::string("KESTRUNE_CONSENT=") + consent);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "no pipe";
    return;
  }
  logPath_ = home.path() + "/agent.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0600);
  const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    pid_ = -1;
    ADD_FAILURE() << "can't start the agent";
    return;
  }
  std::string line;
  char c = 0;
  pollfd ready{out[0], POLLIN, 0};
  while (poll(&ready, 1, 30'000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  const std::string prefix = "http://127.0.0.1:";
  if (line.rfind(prefix, 0) != 0 || line.back() != '/') {
    ADD_FAILURE() << "the agent printed \"" << line << "\"; its log: " << log();
    return;
  }
  port_ = std::stoi(line.substr(prefix.size()));
}

int AgentProcess::stop() {
  if (pid_ <= 0) return status_;
  kill(pid_, SIGTERM);
  int wstatus = 0;
  while (waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return status_;
}

std::size_t AgentProcess::residentBytes() const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  }
  return 0;
}

std::vector<pid_t> workerPids(pid_t agent) {
  std::vector<pid_t> pids;
  std::error_code error;
  const std::string tasks = "/proc/" + std::to_string(agent) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream children(task.path() / "children");
    for (pid_t pid = 0; children >> pid;) pids.push_back(pid);
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

bool processExists(pid_t pid) {
  return std::filesystem::exists("/proc/" + std::to_string(pid));
}

std::optional<std::string> Reply::header(const char* name) const {
  const auto found = headers.find(name);
  return found == headers.end() ? std::nullopt : std::optional(found->second);
}

Reply send(int port, const std::string& method, const std::string& path, const char* origin,
           const std::string& body, httplib::Headers headers) {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(120, 0);
  if (origin != nullptr && *origin != '\0') headers.emplace("Origin", origin);
  httplib::Result result = method == "GET"       ? client.Get(path.c_str(), headers)
                           : method == "OPTIONS" ? client.Options(path.c_str(), headers)
                           : method == "DELETE"
                               ? client.Delete(path.c_str(), headers)
                               : client.Post(path.c_str(), headers, body, "application/json");
  Reply reply;
  if (!result) {
    ADD_FAILURE() << method << " " << path << ": no answer";
    return reply;
  }
  reply.status = result->status;
  reply.headers = result->headers;
  if (!result->body.empty()) reply.body = Json::parse(result->body, nullptr, false);
  return reply;
}

PageSession::PageSession(int port, const char* origin) : port_(port), origin_(origin) {
  const Reply opened = send(port_, "POST", "/v1/session", origin_, "");
  EXPECT_EQ(201, opened.status) << opened.body;
  id_ = opened.body.value("session", "");
  EXPECT_EQ(32u, id_.size());
}

PageSession::~PageSession() {
  if (!id_.empty()) send(port_, "DELETE", "/v1/session/" + id_, origin_);
}

Reply PageSession::call(const std::string& method, Json args) const {
  return send(port_, "POST", "/v1/session/" + id_ + "/call", origin_,
              Json{{"method", method}, {"args", args}}.dump());
}

Json PageSession::result(const std::string& method, Json args) const {
  const Reply reply = call(method, std::move(args));
  EXPECT_EQ(200, reply.status) << method << ": " << reply.body;
  EXPECT_EQ(0, reply.body.value("lastError", -1)) << method << ": " << reply.body;
  return reply.body.value("result", Json());
}

RawConnection::RawConnection(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  const int yes = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawConnection::sendAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

std::string RawConnection::answer(std::chrono::milliseconds most) {
  std::string got;
  const auto until = std::chrono::steady_clock::now() + most;
  for (;;) {
    const std::size_t headEnd = got.find("\r\n\r\n");
    if (headEnd != std::string::npos) {
      const std::size_t length = got.find("\r\nContent-Length: ");
      if (length != std::string::npos && length < headEnd &&
          got.size() >= headEnd + 4 + std::stoul(got.substr(length + 18))) {
        return got;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd ready{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) != 1) return got;
    char buffer[16384];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return got;
    got.append(buffer, static_cast<std::size_t>(n));
  }
}

bool RawConnection::closedByServer(std::chrono::milliseconds most) {
  const auto until = std::chrono::steady_clock::now() + most;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd ready{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) != 1) return false;
    char buffer[16384];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return true;
  }
}

int statusOf(const std::string& answer) {
  if (answer.rfind("HTTP/1.1 ", 0) != 0 || answer.size() < 12) return 0;
  return std::atoi(answer.substr(9, 3).c_str());
}

}  // namespace kestrune::testing
