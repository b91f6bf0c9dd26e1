#include "tests/tvcapi/token_fixture.h"

#include "TVCAPI/tvcapi_internal.h"
#include "tests/support/cryptoki_use.h"

namespace kestrune::testing::tvcapi_core {

void TokenCoreTest::SetUp() {
  CoreTest::SetUp();
  hsm_ = std::make_unique<SoftHsm>(1);
  const std::string d = dir();
  ASSERT_TRUE(
      run("openssl genrsa -out " + d + "/key.pem 1024 && openssl pkcs8 -topk8 -nocrypt -in " + d +
          "/key.pem -out " + keyPem() + " && openssl req -x509 -new -key " + d +
          "/key.pem -subj /O=Card\\ Issuer/CN=card -days 30 -outform DER -out " + d +
          "/cert.der && openssl x509 -inform DER -in " + d + "/cert.der -out " + certificatePem()));
  ASSERT_TRUE(run("softhsm2-util --import " + keyPem() +
                  " --token token0 --label card-key --id 0a0b --pin " + kUserPin));
  certificate_ = readFile(d + "/cert.der");
  hsm_->createCertificate(0, "card-cert", certificate_, {0x0A, 0x0B});
  writeProviders(std::string("{\"Card\": {\"pkcs11\": \"") + softHsmModule() +
                 "\", \"token\": \"token0\"}, \"Proxied\": {\"pkcs11\": \"" + proxyModule() +
                 "\", \"token\": \"token0\"}}");
}

void TokenCoreTest::TearDown() {
  setProxyFaults("");
  CoreTest::TearDown();
  hsm_.reset();
}

std::vector<TVCAPIHandle*> TokenCoreTest::certificatesOf(TVCAPIHandle* store) {
  std::vector<TVCAPIHandle*> handles;
  const auto* list = static_cast<const StoreList*>(store->data);
  if (list->count == 0) return handles;
  for (PCCERT_CONTEXT c = nullptr;
       (c = CertEnumCertificatesInStore(list->stores[0], c)) != nullptr;) {
    TVCAPIHandle* handle = nullptr;
    EXPECT_EQ(0, tvxCAPICreateHandle(&handle, TVCAPI_CERTIFICATE,
                                     const_cast<CERT_CONTEXT*>(CertDuplicateCertificateContext(c)),
                                     &tvxCAPICertificateCoder, nullptr));
    handles.push_back(handle);
  }
  return handles;
}

KeyHome keyHomeOf(TVCAPIHandle* cert) {
  const auto* context = static_cast<PCCERT_CONTEXT>(cert->data);
  DWORD size = 0;
  KeyHome home;
  if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
    return home;
  std::vector<std::uint8_t> buffer(size);
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
  if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, info, &size))
    return home;
  home.container = info->pwszContainerName != nullptr ? info->pwszContainerName : L"";
  home.provider = info->pwszProvName != nullptr ? info->pwszProvName : L"";
  home.keySpec = info->dwKeySpec;
  return home;
}

}  // namespace kestrune::testing::tvcapi_core
