#include "fedi_records.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <stdexcept>

namespace kestrune::fedi::test {

std::string testDataPath(const char* name) {
  return std::string(KESTRUNE_TEST_DATA_DIR) + "/" + name;
}

EVP_PKEY* testCaKey() {
  static PkeyPtr key = [] {
    std::FILE* f = std::fopen(testDataPath("test_ca_key.pem").c_str(), "r");
    if (f == nullptr) throw std::runtime_error("test_ca_key.pem missing");
    EVP_PKEY* k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (k == nullptr) throw std::runtime_error("test_ca_key.pem unreadable");
    return PkeyPtr(k);
  }();
  return key.get();
}

EVP_PKEY* holderKey() {
  static PkeyPtr key(EVP_RSA_gen(1024));
  return key.get();
}

Bytes md5WithRsaOid() {
  return hex("06 09 2A 86 48 86 F7 0D 01 01 04");
}
Bytes rsaEncryptionOid() {
  return hex("06 09 2A 86 48 86 F7 0D 01 01 01");
}
Bytes algorithm(const Bytes& oid) {
  return seq({oid, hex("05 00")});
}

Bytes name(std::string_view organization, std::string_view commonName, std::uint8_t stringTag) {
  const Bytes o = tlv(0x31, seq({hex("06 03 55 04 0A"), tlv(stringTag, text(organization))}));
  const Bytes cn = tlv(0x31, seq({hex("06 03 55 04 03"), tlv(stringTag, text(commonName))}));
  return seq({o, cn});
}

Bytes rsaPublicKey(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int length = i2d_PublicKey(key, &der);
  if (length <= 0) throw std::runtime_error("i2d_PublicKey");
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

Bytes subjectPublicKeyInfo(const Bytes& keyAlgorithm, EVP_PKEY* key) {
  return seq({algorithm(keyAlgorithm), tlv(0x03, concat({Bytes{0x00}, rsaPublicKey(key)}))});
}

Bytes body(const BodyFields& f) {
  const Bytes key = f.key.empty() ? subjectPublicKeyInfo(md5WithRsaOid(), holderKey()) : f.key;
  return seq({f.version, f.serial, f.signature, f.issuer, f.validity, f.subject, key, f.trailing});
}

Bytes signedCertificate(const Bytes& signedBody, EVP_PKEY* signer) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  std::size_t length = 0;
  Bytes signature;
  if (EVP_DigestSignInit(ctx, nullptr, EVP_md5(), nullptr, signer) != 1 ||
      EVP_DigestSign(ctx, nullptr, &length, signedBody.data(), signedBody.size()) != 1) {
    EVP_MD_CTX_free(ctx);
    throw std::runtime_error("md5WithRSAEncryption signing");
  }
  signature.resize(length);
  EVP_DigestSign(ctx, signature.data(), &length, signedBody.data(), signedBody.size());
  EVP_MD_CTX_free(ctx);
  signature.resize(length);
  return seq({signedBody, algorithm(md5WithRsaOid()), tlv(0x03, concat({Bytes{0x00}, signature}))});
}

Bytes certificate(const BodyFields& fields) {
  return signedCertificate(body(fields), testCaKey());
}

Bytes bag(std::initializer_list<Bytes> certificates, const Bytes& tag, const Bytes& time) {
  Bytes list;
  for (const auto& c : certificates) list.insert(list.end(), c.begin(), c.end());
  return seq({tag, integer(0), integer(1), time, integer(static_cast<long>(certificates.size())),
              tlv(0x30, list)});
}

}  // namespace kestrune::fedi::test
