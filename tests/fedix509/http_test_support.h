// Helpers of the CA client's tests: owners of what the client hands back, message boxes caught
// instead of shown, and an environment without proxy settings so requests to 127.0.0.1 go
// straight to the scripted server.
#pragma once

#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include "FEDIX509/fedi_ca_client.h"
#include "platform/platform.h"
#include "tests/support/scripted_http_server.h"

namespace kestrune::fedi::test {

using kestrune::testing::RecordedRequest;
using kestrune::testing::RefusingPort;
using kestrune::testing::ScriptedHttpServer;

struct OwnedResponse {
  NetResponse response{};
  ~OwnedResponse() { net_FreeResponse(&response); }
};

struct OwnedConnection {
  CaConnection connection{};
  ~OwnedConnection() { ca_FreeConnection(&connection); }
};

// A host name that never resolves: the .invalid top-level domain is reserved for that.
inline constexpr const char* kUnresolvableUrl = "http://kestrune-no-such-host.invalid/ca";

// MessageCapture records the message boxes shown while it lives.
class MessageCapture {
 public:
  struct Message {
    std::string text, caption;
  };
  MessageCapture()
      : previous_(platform::setMessageSink([this](std::string_view text, std::string_view caption) {
          messages.push_back({std::string(text), std::string(caption)});
        })) {}
  ~MessageCapture() { platform::setMessageSink(std::move(previous_)); }
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

  std::vector<Message> messages;

 private:
  platform::MessageSink previous_;
};

// withoutProxy clears the proxy variables curl reads, once per process.
inline void withoutProxy() {
  static const bool cleared = [] {
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      unsetenv(name);
    }
    return true;
  }();
  (void)cleared;
}

}  // namespace kestrune::fedi::test
