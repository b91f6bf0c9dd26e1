// Fixtures by name, and certificate contexts made of them.
#include <cstdio>
#include <cstdlib>

#include "tests/cryptoapi_compare/probe.h"

namespace probe {

const Bytes& fixture(std::string_view fileName) {
  for (const auto& f : fixtures())
    if (f.name == fileName) return f.bytes;
  std::fprintf(stderr, "probe: no fixture %.*s\n", static_cast<int>(fileName.size()),
               fileName.data());
  std::exit(2);
}

bool isCertificate(const Fixture& f) {
  return f.name.size() > 4 && f.name.substr(f.name.size() - 4) == ".der";
}

std::string stem(const Fixture& f) {
  return std::string(f.name.substr(0, f.name.size() - 4));
}

Context contextOf(const Bytes& der) {
  return Context(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                              static_cast<DWORD>(der.size())));
}

}  // namespace probe
