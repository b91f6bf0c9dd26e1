// Shared set-up of the token layer tests: a private SoftHSM2 token, the layer opened on it
// through a chosen module, and the outside checks (OpenSSL, secret keys written directly).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/softhsm.h"
#include "token/token.h"

namespace kestrune::token::test {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text);

// TokenTest gives each test its own tokens and leaves the layer closed and unloaded.
class TokenTest : public ::testing::Test {
 protected:
  explicit TokenTest(int tokens = 1) : hsm_(tokens) {}
  void TearDown() override;

  // open loads the module and opens the token with the PIN (null: no login); the test fails
  // when the result differs from `want`.
  void open(const char* module, const char* pin = kestrune::testing::kUserPin,
            std::uint32_t want = +TokenCode::kTokenOk);
  void close();

  kestrune::testing::SoftHsm hsm_;
  TokenSession session_;
  bool opened_ = false;
};

// A test whose token lives behind the fault proxy; faults and counters start cleared.
class ProxyTokenTest : public TokenTest {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// createSecretKey writes a DES or triple-DES key with a known value straight into SoftHSM2
// (the layer must not have the module initialised), private, usable for every operation.
void createSecretKey(kestrune::testing::SoftHsm& hsm, std::string_view label, CK_KEY_TYPE type,
                     const Bytes& value);

// The keys used by the cipher tests, with odd parity as DES wants.
const Bytes& desKey();
const Bytes& des3Key();

// loadCipherProviders makes single DES available to OpenSSL and to SoftHSM2 in this process.
void loadCipherProviders();

// opensslCipher runs an OpenSSL cipher by name ("DES-ECB", "DES-EDE3-CBC" ...) with a zero IV;
// returns empty on failure.
Bytes opensslCipher(const char* name, const Bytes& key, const Bytes& data, bool encrypt,
                    bool padding);

// selfSignedCertificate returns a small DER certificate made by OpenSSL, and its encoded
// subject, issuer and serial number (the INTEGER as DER).
struct Certificate {
  Bytes der;
  Bytes subject;
  Bytes issuer;
  Bytes serialNumber;
};
Certificate selfSignedCertificate(const char* commonName);

// verifyWithOpenSsl checks an RSA PKCS#1 v1.5 signature over `message` with the digest named
// (e.g. "MD5"), using a public key built from the modulus and exponent.
bool verifyWithOpenSsl(const Bytes& modulus, const Bytes& exponent, const char* digest,
                       const Bytes& message, const Bytes& signature);

// digestInfo returns the DER DigestInfo of message under the digest named.
Bytes digestInfo(const char* digest, const Bytes& message);

}  // namespace kestrune::token::test
