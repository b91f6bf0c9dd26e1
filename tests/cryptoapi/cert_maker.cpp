#include "tests/cryptoapi/cert_maker.h"

#include <cstdlib>
#include <filesystem>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include "common/der.h"
#include "common/ptr.h"

namespace kestrune::test {
namespace {

EVP_PKEY* signingKey() {
  static EVP_PKEY* key = EVP_EC_gen("P-256");
  return key;
}

std::string utf16be(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (utf8[i + k] & 0x3F);
    out.push_back(static_cast<char>(c >> 8));
    out.push_back(static_cast<char>(c & 0xFF));
    i += n;
  }
  return out;
}

Ptr<X509_NAME> nameOf(const std::vector<NameEntry>& entries) {
  Ptr<X509_NAME> name(X509_NAME_new());
  for (const auto& e : entries) {
    Ptr<ASN1_OBJECT> oid(OBJ_txt2obj(e.oid, 1));
    const std::string value = e.type == V_ASN1_BMPSTRING ? utf16be(e.value) : e.value;
    X509_NAME_add_entry_by_OBJ(name.get(), oid.get(), e.type,
                               reinterpret_cast<const unsigned char*>(value.data()),
                               static_cast<int>(value.size()), -1, e.sameRdn ? -1 : 0);
  }
  return name;
}

}  // namespace

Bytes nameDer(const std::vector<NameEntry>& entries) {
  return toDer(nameOf(entries).get(), i2d_X509_NAME);
}

Bytes makeCert(const CertSpec& spec) {
  Ptr<X509> cert(X509_new());
  X509_set_version(cert.get(), X509_VERSION_3);
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), spec.serial);
  X509_set_subject_name(cert.get(), nameOf(spec.subject).get());
  X509_set_issuer_name(cert.get(), nameOf(spec.issuer.empty() ? spec.subject : spec.issuer).get());
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), spec.notBeforeDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), spec.notAfterDays * 86400L);
  X509_set_pubkey(cert.get(), signingKey());
  if (!spec.keyUsage.empty()) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_key_usage, spec.keyUsage.c_str());
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(cert.get(), signingKey(), EVP_sha256());
  return toDer(cert.get(), i2d_X509);
}

EVP_PKEY* testKey() {
  return signingKey();
}

std::string sha1Hex(const Bytes& der) {
  unsigned char digest[20];
  unsigned int length = 0;
  EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha1(), nullptr);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 15]);
  }
  return text;
}

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "capi-certs-XXXXXX").string();
  path_ = mkdtemp(pattern.data());
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored))
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace kestrune::test
