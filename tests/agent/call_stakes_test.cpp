// What a consent question says is at stake: from the call's arguments as a page sent them,
// printable, bounded, and never a secret.
#include "agent/call_stakes.h"

#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kestrune::agent {
namespace {

using Json = nlohmann::ordered_json;

// sha256Begins is OpenSSL's SHA-256 of text, its first eight bytes in hexadecimal.
std::string sha256Begins(const std::string& text) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  std::string hex;
  char pair[3];
  for (int i = 0; i < 8; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

std::string stakes(const char* name, const Json& args) {
  const com::Method* method = com::findMethod(name);
  EXPECT_NE(nullptr, method) << name;
  const auto& items = args.get_ref<const Json::array_t&>();
  return callStakes(*method, items);
}

TEST(CallStakes, MessageTypeAndReferenceFromTheUnhSegment) {
  const std::string invoice =
      "UNB+UNOA:2+SENDER+RECEIVER+050331:1556+7'UNH+42+INVOIC:D:96A:UN'"
      "BGM+380+12345'UNT+3+42'UNZ+1+7'";
  struct Case {
    const char* name;
    std::string message;
    std::string want;
  };
  const Case cases[] = {
      {"an invoice", invoice,
       "message INVOIC, reference 42, " + std::to_string(invoice.size()) + " bytes"},
      {"released separators", "UNH+4?+2?'+INV?:X:D'UNT+1+4?+2'",
       "message INV:X, reference 4+2', 31 bytes"},
      {"the first UNH counts", "UNH+1+ORDERS:D'UNH+2+INVOIC:D'",
       "message ORDERS, reference 1, 30 bytes"},
      {"no UNH", "BGM+380'", "a text of 8 bytes without a UNH segment"},
      {"an unended UNH", "UNH+1+INVOIC:D", "a text of 14 bytes without a UNH segment"},
      {"a UNH ended by a released terminator only", "UNH+1+INVOIC?'",
       "a text of 14 bytes without a UNH segment"},
      {"no reference", "UNH++INVOIC'",
       "a text of 12 bytes whose UNH segment names no message type and reference"},
      {"no type", "UNH+1'",
       "a text of 6 bytes whose UNH segment names no message type and "
       "reference"},
      {"an empty message", "", "a text of 0 bytes without a UNH segment"},
      {"control sequences", "UNH+\x1b[2J+INVOIC\r\n'",
       "message INVOIC??, reference ?[2J, 18 bytes"},
      {"a reference past the bound", "UNH+" + std::string(100, 'R') + "+" + "INVOIC'",
       "message INVOIC, reference " + std::string(35, 'R') + "..., 112 bytes"},
      {"UTF-8", "UNH+\xc3\xa9+INVOIC'", "message INVOIC, reference ??, 14 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.want, stakes("FEDIMessageSign", {c.message}));
    EXPECT_EQ(c.want, stakes("FEDIMessageSignWithCSP_Update", {c.message}));
  }
}

TEST(CallStakes, SignedDataBySizeAndDigest) {
  const std::string abc = sha256Begins("abc");
  EXPECT_EQ("e3b0c44298fc1c14", sha256Begins(""));  // the known digest of nothing
  struct Case {
    const char* method;
    Json args;
    std::string want;
  };
  const std::string large(100000, 'z');
  const Case cases[] = {
      {"sign", {"abc"}, "a text of 3 bytes, SHA-256 begins " + abc},
      {"sign", {""}, "a text of 0 bytes, SHA-256 begins e3b0c44298fc1c14"},
      {"sign", {"\xc3\xa9"}, "a text of 2 bytes, SHA-256 begins " + sha256Begins("\xc3\xa9")},
      {"sign", {large}, "a text of 100000 bytes, SHA-256 begins " + sha256Begins(large)},
      {"signB64", {"YWJj"}, "data of 3 bytes, SHA-256 begins " + abc},
      {"signB64", {"YW\nJj"}, "data of 3 bytes, SHA-256 begins " + abc},
      {"signB64", {"YWJj!"}, "a text of 5 bytes that is not Base64"},
      {"signHash",
       {"900150983cd24fb0d6963f7d28e17f72"},
       "the hash 900150983cd24fb0d6963f7d28e17f72"},
      {"signHash",
       {"90\x1b[0m\n" + std::string(100, 'f')},
       "the hash 90?[0m?" + std::string(57, 'f') + "..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.method << " " << c.want);
    EXPECT_EQ(c.want, stakes(c.method, c.args));
  }
}

TEST(CallStakes, AuthorityHostFromTheUrl) {
  struct Case {
    const char* method;
    Json args;
    const char* want;
  };
  const Case cases[] = {
      {"newCertificate",
       {"https://ca.example:8443/fedi/init", "pass phrase"},
       "the authority at ca.example:8443"},
      {"extendCertificate", {"HTTP://CA.Example/x?y=1"}, "the authority at ca.example"},
      {"revokeCertificate",
       {"http://[::1]:8080/", "key compromise"},
       "the authority at [::1]:8080"},
      {"queryCertificate",
       {"https://ca.example#x", "CA1", "FEDI", "12"},
       "the authority at ca.example"},
      {"queryCRL", {"https://ca.example", "CA1", "FEDI"}, "the authority at ca.example"},
      {"newCertificate",
       {"https://ca.bank.example@evil.example/", "pass phrase"},
       "the authority at an address that names no plain host: "
       "https://ca.bank.example@evil.example/"},
      {"newCertificate",
       {"https://ca.bank.example\\@evil.example/", "pass phrase"},
       "the authority at an address that names no plain host: "
       "https://ca.bank.example\\@evil.example/"},
      {"extendCertificate",
       {"https://ca%2eexample/"},
       "the authority at an address that names no plain host: https://ca%2eexample/"},
      {"extendCertificate",
       {"ftp://ca.example/"},
       "the authority at an address that names no plain host: ftp://ca.example/"},
      {"extendCertificate",
       {"https://"},
       "the authority at an address that names no plain host: https://"},
      {"extendCertificate",
       {"https://ca.example\x1b]0;x\a/"},
       "the authority at an address that names no plain host: https://ca.example?]0;x?/"},
      {"extendCertificate",
       {"https://b\xc3\xa4nk.example/"},
       "the authority at an address that names no plain host: https://b??nk.example/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(c.want, stakes(c.method, c.args));
  }
  const std::string longUrl = "https://" + std::string(300, 'a') + ".example/";
  EXPECT_EQ("the authority at " + std::string(100, 'a') + "...",
            stakes("extendCertificate", {longUrl}));
}

TEST(CallStakes, RequestsAndFiles) {
  struct Case {
    const char* method;
    Json args;
    const char* want;
  };
  const Case cases[] = {
      {"makeRequestCert",
       {1, "new.der", "pass phrase"},
       "a request for a new certificate, file new.der"},
      {"makeRequestCert",
       {2, "renew.der", ""},
       "a request to renew the certificate, file renew.der"},
      {"makeRequestCert",
       {3, "revoke.der", "key compromise"},
       "a request to revoke the certificate, file revoke.der"},
      {"makeRequestCert", {9, "x.der", ""}, "a request of unknown type 9, file x.der"},
      {"loadCert", {"../../etc/passwd"}, "file ../../etc/passwd"},
      {"loadCACert", {"ca\n.der"}, "file ca?.der"},
      {"getCert", {"out.der"}, "file out.der"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(c.want, stakes(c.method, c.args));
  }
}

// Nothing to add, or nothing that can be read: the secrets are never among what is read.
TEST(CallStakes, NothingFromSecretsMissingOrMistypedArguments) {
  const char* const secret = "SECRET-778899";
  struct Case {
    const char* method;
    Json args;
    const char* want;
  };
  const Case cases[] = {
      {"checkPassword", {secret}, ""},
      {"setPassword", {secret, secret}, ""},
      {"FEDIMessageSignWithCSP_Init", {"CN=me", "CN=ca", "", secret, 0, 0}, ""},
      {"FEDIMessageSignWithCSP",
       {"UNH+1+INVOIC'", "CN=me", "CN=ca", "", secret, 0, 0},
       "message INVOIC, reference 1, 13 bytes"},
      {"newCertificate", {"https://ca.example/", secret}, "the authority at ca.example"},
      {"makeRequestCert", {1, "req.der", secret}, "a request for a new certificate, file req.der"},
      {"getSID1", Json::array(), ""},
      {"sign", Json::array(), ""},
      {"sign", {5}, ""},
      {"signHash", {Json::array()}, ""},
      {"makeRequestCert", {"1", 2, secret}, ""},
      {"newCertificate", {7, secret}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    const std::string got = stakes(c.method, c.args);
    EXPECT_EQ(c.want, got);
    EXPECT_EQ(std::string::npos, got.find("SECRET"));
  }
}

}  // namespace
}  // namespace kestrune::agent
