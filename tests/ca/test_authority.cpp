#include "test_authority.h"

#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "FEDIX509/builtin_ca_records.h"

namespace kestrune::ca::test {

namespace {

// base64Decode reads Base64 text in lines (line feeds are skipped).
std::vector<unsigned char> base64Decode(const char* text) {
  std::string compact;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c != '\n') compact += *c;
  }
  std::vector<unsigned char> bytes(compact.size() / 4 * 3 + 3);
  const int length =
      EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(compact.data()),
                      static_cast<int>(compact.size()));
  if (length < 0) return {};
  std::size_t padding = 0;
  for (auto it = compact.rbegin(); it != compact.rend() && *it == '='; ++it) ++padding;
  bytes.resize(static_cast<std::size_t>(length) - padding);
  return bytes;
}

}  // namespace

std::string testDataPath(const char* name) {
  return std::string(KESTRUNE_TEST_DATA_DIR) + "/" + name;
}

EVP_PKEY* testCaKey() {
  static KeyPtr key = loadPrivateKey(testDataPath("test_ca_key.pem").c_str());
  return key.get();
}

EVP_PKEY* testCaRecordKey() {
  static KeyPtr key = [] {
    const std::vector<unsigned char> der = base64Decode(fedi::builtinCaRecordText(true));
    const unsigned char* pos = der.data();
    fedi::RecordPtr<FEDI_CAPUBKEY> record(
        d2i_FEDI_CAPUBKEY(nullptr, &pos, static_cast<long>(der.size())));
    return KeyPtr(FEDI_CAPUBKEY_get_pkey(record.get()));
  }();
  return key.get();
}

EVP_PKEY* holderKey() {
  static KeyPtr key = generateRsaKey(1024);
  return key.get();
}

CertificateSpec holderSpec() {
  CertificateSpec spec;
  spec.serial = 0x1234567;
  spec.issuer = {fedi::kTestCasid2, fedi::kTestCasid1};
  spec.subject = {"12345678", "TESTUSER01"};
  spec.notBefore = FediTime::utcText("961122000000+0800");
  spec.notAfter = FediTime::utcText("999999999999Z");
  spec.subjectKey = holderKey();
  return spec;
}

CertificateSpec authoritySpec() {
  CertificateSpec spec;
  spec.serial = 1;
  spec.issuer = {fedi::kTestCasid2, fedi::kTestCasid1};
  spec.subject = spec.issuer;
  spec.notBefore = FediTime::utcText("961122000000+0800");
  spec.notAfter = FediTime::utcText("999999999999Z");
  spec.subjectKey = testCaKey();
  return spec;
}

}  // namespace kestrune::ca::test
