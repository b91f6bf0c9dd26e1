// The private key the demo's stand-in authority signs with: the published test authority key
// (tests/data/test_ca_key.pem, whose public half is the built-in test CA record), built into
// the host. It is a test key known to everyone, never a production one.
#pragma once

namespace kestrune::host {

// demoAuthorityKeyPem returns the key as PEM text (an unencrypted PKCS#8 private key). The text
// is static.
const char* demoAuthorityKeyPem() noexcept;

}  // namespace kestrune::host
