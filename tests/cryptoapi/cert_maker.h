// Test certificates made with OpenSSL, and the CryptoAPI declarations beside OpenSSL's (the
// structure-type macros X509_NAME and PKCS7_SIGNER_INFO give way to OpenSSL's types).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <openssl/x509.h>

#include "platform/cryptoapi.h"

#undef X509_NAME
#undef PKCS7_SIGNER_INFO

namespace kestrune::test {

inline const LPCSTR kX509NameType = reinterpret_cast<LPCSTR>(7);
inline const LPCSTR kPublicKeyInfoType = reinterpret_cast<LPCSTR>(8);
inline const LPCSTR kSignerInfoType = reinterpret_cast<LPCSTR>(500);
inline constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

using Bytes = std::vector<std::uint8_t>;

// One attribute; value is UTF-8 (turned into UTF-16 for V_ASN1_BMPSTRING), joined to the
// previous attribute's RDN when sameRdn.
struct NameEntry {
  const char* oid;
  int type;
  std::string value;
  bool sameRdn = false;
};

struct CertSpec {
  std::vector<NameEntry> subject{{"2.5.4.3", V_ASN1_UTF8STRING, "Test"}};
  std::vector<NameEntry> issuer;  // empty: self-issued
  std::uint64_t serial = 1;
  long notBeforeDays = -1;
  long notAfterDays = 365;
  std::string keyUsage;  // OpenSSL's config text, e.g. "critical,digitalSignature"; none when empty
};

Bytes makeCert(const CertSpec& spec);
// The key every test certificate holds (and is signed with).
EVP_PKEY* testKey();
Bytes nameDer(const std::vector<NameEntry>& entries);
std::string sha1Hex(const Bytes& der);

// A fresh temporary folder, removed with its content at destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace kestrune::test
