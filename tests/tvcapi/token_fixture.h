// A provider backed by a private SoftHSM2 token that holds an RSA key ("card-key") and its
// certificate, as a card issuer writes them: named "Card" in the provider file, and "Proxied"
// through the PKCS#11 fault proxy in front of the same token.
#pragma once

#include <memory>

#include "tests/support/softhsm.h"
#include "tests/tvcapi/core_fixture.h"

namespace kestrune::testing::tvcapi_core {

class TokenCoreTest : public CoreTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  const Bytes& certificate() const { return certificate_; }
  // The key's PEM (PKCS#8) and the certificate's PEM, for the openssl command.
  std::string keyPem() const { return dir() + "/key8.pem"; }
  std::string certificatePem() const { return dir() + "/cert.pem"; }
  // The certificate handles of a store handle's first store, in the store's order.
  std::vector<TVCAPIHandle*> certificatesOf(TVCAPIHandle* store);

 private:
  std::unique_ptr<SoftHsm> hsm_;
  Bytes certificate_;
};

// The key-provider property of a certificate handle: container, provider, key spec.
struct KeyHome {
  std::wstring container;
  std::wstring provider;
  DWORD keySpec = 0;
};
KeyHome keyHomeOf(TVCAPIHandle* cert);

}  // namespace kestrune::testing::tvcapi_core
