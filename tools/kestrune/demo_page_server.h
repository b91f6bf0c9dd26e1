// The browser demo's page server: the demo page, the settings the page needs, and a check of
// the message the page signed, on the loopback address.
#pragma once

#include <memory>
#include <string>

namespace kestrune::host {

// What /demo.json tells the page: the agent, the demo's authority and its holder, and the
// demo token's PIN (a demo token's, never a real one).
struct DemoPageSettings {
  int agentPort = 0;
  std::string module;  // the name loadLib takes, as agent.json lists it
  std::string pin;
  std::string caUrl;
  std::string caBag;
  std::string passPhrase;
  std::string userId;
  std::string orgId;
};

class DemoPageServer {
 public:
  // dir: the demo's folder, where /verify writes the message it checks and its certificate.
  explicit DemoPageServer(std::string dir);
  ~DemoPageServer();  // stops serving
  DemoPageServer(const DemoPageServer&) = delete;
  DemoPageServer& operator=(const DemoPageServer&) = delete;

  // listen binds 127.0.0.1 at a free port; false with the reason.
  bool listen(std::string& why);
  int port() const;
  std::string origin() const;  // "http://127.0.0.1:PORT", the page's origin
  // serve answers requests on a thread of its own until stop; the settings are set first
  // (the agent's port is known only after the page's origin is on the allow-list).
  void serve(DemoPageSettings settings);
  void stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kestrune::host
