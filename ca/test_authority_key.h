// The published test authority's private key (tests/data/test_ca_key.pem, whose public half is
// the built-in test CA record), built into the library for the demo and for an authority made
// with the default key. It is a test key known to everyone, never a production one.
#pragma once

#include "ca/issuing.h"

namespace kestrune::ca {

// testAuthorityKeyPem returns the key as PEM text (an unencrypted PKCS#8 private key). The text
// is static.
const char* testAuthorityKeyPem() noexcept;

// loadTestAuthorityKey returns the key, or null when it cannot be read (memory). The caller
// owns it.
KeyPtr loadTestAuthorityKey() noexcept;

}  // namespace kestrune::ca
