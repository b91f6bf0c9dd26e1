// The local agent as the host tests run it: a user's folders, the real `kestrune serve`
// process, and pages' requests over HTTP, through httplib's client or byte for byte.
#pragma once

#include <sys/types.h>

#include <httplib.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/host/host_runner.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {

using Json = nlohmann::json;

inline constexpr const char* kBank = "https://bank.example";
inline constexpr const char* kShop = "http://127.0.0.1:8080";
inline constexpr const char* kEvil = "https://evil.example";

std::string readAll(const std::string& path);

// AgentHome is a user's folders for the agent: the allow-list (kBank and kShop, written by
// `kestrune origins add`) and agent.json naming the SoftHSM2 module "softhsm".
class AgentHome {
 public:
  AgentHome();
  std::vector<EnvironmentChange> environment() const;
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
};

// AgentProcess runs `kestrune serve --listen 127.0.0.1:0` with the home's folders and a preset
// consent, and reads the URL it prints first.
class AgentProcess {
 public:
  AgentProcess(const AgentHome& home, const char* consent, std::vector<std::string> options);
  ~AgentProcess() { stop(); }
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // stop ends the agent as the service manager does; its exit status.
  int stop();
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string log() const { return readAll(logPath_); }
  // residentBytes returns the agent's resident memory (VmRSS), 0 when it can't be read.
  std::size_t residentBytes() const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int status_ = -1;
  std::string logPath_;
};

// workerPids returns the agent's child processes, as Linux lists each thread's children.
std::vector<pid_t> workerPids(pid_t agent);
bool processExists(pid_t pid);

struct Reply {
  int status = 0;
  Json body;
  httplib::Headers headers;
  std::optional<std::string> header(const char* name) const;
};

// send makes one request as a page of origin would (no Origin header for an empty one).
Reply send(int port, const std::string& method, const std::string& path, const char* origin,
           const std::string& body = {}, httplib::Headers headers = {});

// A page's session on the agent.
class PageSession {
 public:
  PageSession(int port, const char* origin);
  ~PageSession();
  PageSession(const PageSession&) = delete;
  PageSession& operator=(const PageSession&) = delete;
  Reply call(const std::string& method, Json args = Json::array()) const;
  // result calls and expects the control's answer: its result, or null with lastError.
  Json result(const std::string& method, Json args = Json::array()) const;
  const std::string& id() const { return id_; }
  // forget leaves the session to the agent (one that has stopped).
  void forget() { id_.clear(); }

 private:
  int port_;
  const char* origin_;
  std::string id_;
};

// A token and an agent shared by a group's tests; each test closes its sessions.
class SharedAgent {
 public:
  SharedAgent(const char* consent, const std::vector<std::string>& options)
      : agent_(home_, consent, options) {}
  AgentProcess& agent() { return agent_; }
  const AgentHome& home() const { return home_; }

 private:
  SoftHsm token_{1};
  AgentHome home_;
  AgentProcess agent_;
};

// RawConnection is a client socket to the agent that sends exactly the bytes it is given.
class RawConnection {
 public:
  explicit RawConnection(int port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  bool connected() const { return fd_ >= 0; }
  // sendAll sends bytes; false once the server has closed or reset the connection.
  bool sendAll(std::string_view bytes);
  // answer reads until the server closes or a whole answer (head and Content-Length body) is
  // in, waiting at most most; empty when nothing came.
  std::string answer(std::chrono::milliseconds most = std::chrono::seconds(30));
  // closedByServer waits at most most for the server to close the connection.
  bool closedByServer(std::chrono::milliseconds most);

 private:
  int fd_ = -1;
};

// statusOf returns the status of a raw answer ("HTTP/1.1 413 ..."), 0 when there is none.
int statusOf(const std::string& answer);

}  // namespace kestrune::testing
