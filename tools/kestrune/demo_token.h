// The demo's SoftHSM2 token: a token folder of its own, set up once and reused.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::host {

inline constexpr const char* kDemoUserPin = "123456";
inline constexpr const char* kDemoSoPin = "12345678";
inline constexpr const char* kDemoTokenLabel = "Kestrune demo";

struct DemoToken {
  std::string configPath;  // the softhsm2.conf that SOFTHSM2_CONF now names
  bool created = false;    // false: the folder held an initialised token already
};

// prepareDemoToken writes dir/softhsm2.conf (tokens in dir/tokens), points SOFTHSM2_CONF at
// it and, when no token there is initialised yet, initialises the free slot's token through
// PKCS#11 with kDemoSoPin and the user PIN kDemoUserPin. The module is finalised and unloaded
// again before it returns. Returns false with the reason in why.
bool prepareDemoToken(const std::string& dir, const std::string& modulePath, DemoToken& token,
                      std::string& why);

// The public key of a key pair on the token, as big-endian magnitudes.
struct TokenPublicKey {
  std::vector<std::uint8_t> modulus;
  std::vector<std::uint8_t> exponent;
};
// CertificateIssuer returns the DER of a certificate for the key, or nothing with the reason.
using CertificateIssuer =
    std::function<std::vector<std::uint8_t>(const TokenPublicKey& key, std::string& why)>;

// placeCertificateBesideKey logs in to the demo token with kDemoUserPin, finds the private key
// labelled keyLabel, has issue make a certificate for its public key, and stores it on the
// token as an X.509 certificate object with the key's CKA_ID, as a card issuer places a
// card's certificate (one left there by an earlier run is replaced). Returns false with the
// reason in why.
bool placeCertificateBesideKey(const std::string& modulePath, std::string_view keyLabel,
                               const CertificateIssuer& issue, std::vector<std::uint8_t>& der,
                               std::string& why);

}  // namespace kestrune::host
