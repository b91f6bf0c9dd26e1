// A scripted certification authority for the CA methods' tests: a ScriptedHttpServer that
// answers the initiation with the URL for messages and hands every posted FEDI_MESSAGE to the
// test's answer, with builders for the answers a real authority would give and for those it
// never gives.
#pragma once

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "FEDIX509/fedi_crl.h"
#include "FEDIX509/fedi_message.h"
#include "ca/issuing.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "tests/control/control_test_support.h"
#include "tests/support/scripted_http_server.h"

namespace kestrune::testing {

class ScriptedAuthority {
 public:
  // An answer gets the decoded request (null when the body did not decode) and returns the
  // raw HTTP response. It runs on the server's thread.
  using Answer = std::function<std::string(const FEDI_MESSAGE* request)>;

  ScriptedAuthority();

  // initiationUrl is the caUrl of the methods; messages go to another path of the server.
  std::u16string initiationUrl() const;
  void answer(Answer answer);
  // respond queues a raw response ahead of the scripted ones (the initiation's included).
  void respond(std::string raw) { server_.respond(std::move(raw)); }

  std::vector<RecordedRequest> requests() const { return server_.requests(); }
  // posted decodes the body of every POST so far; a body that doesn't decode gives null.
  std::vector<fedi::MessagePtr> posted() const;

 private:
  ScriptedHttpServer server_;
  mutable std::mutex mutex_;
  Answer answer_;
};

enum class Digest { echo, wrong, none };

// messageResponse is a 200 response carrying a FEDI_MESSAGE of the given type around record
// (still the caller's; null for a message without content), whose digest echoes the request's,
// differs from it in one byte, or is absent.
std::string messageResponse(const FEDI_MESSAGE* request, int type, void* record,
                            Digest digest = Digest::echo);
// statusResponse is the authority's error answer: a type-999 status of code and text.
std::string statusResponse(const FEDI_MESSAGE* request, long code, std::string_view text);

// Helpers for reading what was posted.
// content returns the record of a decoded message when its content is of type, else null.
template <class T>
T* content(const fedi::MessagePtr& message, int type) {
  if (!message || message->content == nullptr || message->content->type != type) return nullptr;
  return static_cast<T*>(message->content->record);
}
// nameText renders a name as "O=...,CN=..." in entry order; "(none)" for null.
std::string nameText(const X509_NAME* name);
// stringText is the bytes of an ASN.1 string.
std::string stringText(const ASN1_STRING* value);
// integerDecimal renders an INTEGER in decimal with OpenSSL's own conversion.
std::string integerDecimal(const ASN1_INTEGER* value);
// decodeBase64 reads Base64 text with line breaks through OpenSSL's decoder; empty when it
// doesn't decode.
std::vector<std::uint8_t> decodeBase64(std::u16string_view text);
// crlListing returns a revocation-list record around a small X.509 CRL, signed by the test
// authority, that lists the given serial numbers.
fedi::CrlPtr crlListing(const std::vector<long>& revokedSerials);

// holderBag returns a bag with the test authority's certificate for the test holder.
ca::BagPtr holderBag();

// The identifiers of the test authority and holder, as the methods take them.
inline constexpr std::u16string_view kCasid1 = u"TESTCA1";
inline constexpr std::u16string_view kCasid2 = u"FEDI Test Certification CA";
inline constexpr std::u16string_view kSid1 = u"TESTUSER01";
inline constexpr std::u16string_view kSid2 = u"12345678";

// ScriptedCaTest runs a control against a scripted authority in the zone Asia/Taipei (UTC+8,
// no daylight saving), with the message boxes recorded.
class ScriptedCaTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  ScriptedAuthority authority;
  MessageRecorder messages;
  TVFEDIMiniKeyCrypt control;
  const std::u16string url = authority.initiationUrl();

 private:
  std::string previousZone_;
  bool hadZone_ = false;
};

}  // namespace kestrune::testing
