// The file-name store's reader on arbitrary bytes: a saved store (header, property and
// certificate records), a PKCS#7 bundle, a certificate in DER or PEM. Whatever it accepts
// gives contexts whose names, properties and hashes can be read; nothing leaks or overruns.
#include <cstddef>
#include <cstdint>
#include <vector>

#include <openssl/x509.h>

#include "fuzz/fuzz_require.h"
#include "platform/linux/cryptoapi/certs/store.h"

namespace {

constexpr const char* kTarget = "cryptoapi_store_file_fuzzer";

using kestrune::fuzz::require;
namespace capi = kestrune::cryptoapi;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<capi::CertRecord*> records;
  const DWORD error = capi::readStoreBytes(capi::ByteView(data, size), records);
  require(kTarget, error == 0 || records.empty(), "a failed read left records behind");
  for (capi::CertRecord* record : records) {
    PCCERT_CONTEXT context = &record->context;
    const DWORD length = CertNameToStrA(X509_ASN_ENCODING, &context->pCertInfo->Subject,
                                        CERT_X500_NAME_STR, nullptr, 0);
    require(kTarget, length >= 1, "a name's text has no room for its zero");
    std::vector<char> text(length);
    CertNameToStrA(X509_ASN_ENCODING, &context->pCertInfo->Subject, CERT_X500_NAME_STR, text.data(),
                   length);
    require(kTarget, text[length - 1] == '\0', "a name's text is not terminated");
    DWORD propertySize = 0;
    if (CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                          &propertySize)) {
      std::vector<std::uint64_t> buffer(propertySize / 8 + 1);
      require(kTarget,
              CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(),
                                                &propertySize) == TRUE,
              "a property that reports its size can't be read");
    }
    CertFreeCertificateContext(context);
  }
  return 0;
}
