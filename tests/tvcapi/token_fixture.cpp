#include "tests/tvcapi/token_fixture.h"

#include "TVCAPI/tvcapi_internal.h"
#include "common/der.h"
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
  {
    detail::ModuleUse module(softHsmModule(), "certificate");
    detail::Session session(module, hsm_->slots()[0], "certificate");
    ASSERT_TRUE(session.open() && session.login(CKU_USER, kUserPin));
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    std::uint8_t id[] = {0x0A, 0x0B};
    const unsigned char* p = certificate_.data();
    Ptr<X509> x509(d2i_X509(nullptr, &p, static_cast<long>(certificate_.size())));
    ASSERT_TRUE(x509);
    Bytes subject = toDer(X509_get_subject_name(x509.get()), i2d_X509_NAME);
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                           {CKA_TOKEN, &yes, sizeof yes},
                           {CKA_PRIVATE, &no, sizeof no},
                           {CKA_ID, id, sizeof id},
                           {CKA_VALUE, certificate_.data(), certificate_.size()},
                           {CKA_SUBJECT, subject.data(), subject.size()}};
    CK_OBJECT_HANDLE object = 0;
    ASSERT_EQ(CKR_OK,
              session.functions().C_CreateObject(session.handle(), tmpl, std::size(tmpl), &object));
  }
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
