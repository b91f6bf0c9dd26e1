// Keys and certificates made by the openssl command, a tool we didn't write, for the host's
// store and verification tests.
#pragma once

#include <string>

namespace kestrune::testing {

// runOpenssl runs "openssl ARGS" through the shell, its output discarded; true on status 0.
bool runOpenssl(const std::string& args);

struct SelfSigned {
  std::string keyPem;      // the RSA private key, PKCS#8 PEM
  std::string certPem;     // the certificate, PEM
  std::string certDer;     // the same, DER
  std::string thumbprint;  // its SHA-1 as openssl prints it, without colons (uppercase)
};

// makeSelfSigned makes a 1024-bit key and a self-signed certificate for subject (openssl's
// "/CN=.../O=..." form) in dir, the files named after stem; empty paths on failure (the test
// then fails).
SelfSigned makeSelfSigned(const std::string& dir, const std::string& stem,
                          const std::string& subject);

}  // namespace kestrune::testing
