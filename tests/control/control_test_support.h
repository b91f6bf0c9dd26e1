// Helpers shared by the control's tests: UTF-16 texts, a message-box recorder, a command runner
// for the cross-checks with the openssl tool, and a small self-signed X.509 certificate for ZRML
// token layouts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrune::testing {

// u16 widens an ASCII or Latin-1 text.
std::u16string u16(std::string_view text);

struct ShownMessage {
  std::string text;
  std::string caption;
};

// MessageRecorder collects every message box shown while it lives.
class MessageRecorder {
 public:
  MessageRecorder();
  ~MessageRecorder();
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;

  const std::vector<ShownMessage>& shown() const { return shown_; }

 private:
  std::vector<ShownMessage> shown_;
  platform::MessageSink previous_;
};

// runCommand runs a shell command (the openssl tool, mostly) with its standard error joined to
// its output; status is pclose's wait status, -1 when the command could not be started.
struct CommandResult {
  int status = -1;
  std::string out;
};
CommandResult runCommand(const std::string& command);

// selfSignedCertificate returns the DER of a fresh self-signed RSA certificate whose subject
// and issuer are CN=commonName.
std::vector<std::uint8_t> selfSignedCertificate(std::string_view commonName);

}  // namespace kestrune::testing
