#include "tools/kestrune/demo_authority.h"

#include <openssl/bio.h>
#include <openssl/pem.h>

#include <ctime>
#include <memory>
#include <utility>

#include "FEDIX509/builtin_ca_records.h"
#include "tools/kestrune/demo_ca_key.h"

namespace kestrune::host {
namespace {

struct BioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};

std::string statusText(ca::Status status) {
  switch (status) {
    case ca::Status::ok:
      return "ok";
    case ca::Status::badName:
      return "a name the certificate cannot carry";
    case ca::Status::badTime:
      return "a validity time the FEDI rule refuses";
    case ca::Status::badSubjectKey:
      return "the subject's key is not a usable RSA key";
    case ca::Status::badCaKey:
      return "the authority's key is not an RSA private key";
    case ca::Status::cannotRead:
    case ca::Status::badPem:
      return "the authority's key cannot be read";
    case ca::Status::failed:
      return "OpenSSL refused to sign or encode";
    case ca::Status::noMemory:
      return "out of memory";
  }
  return "an unknown failure";
}

ca::FediName authorityName() {
  return {fedi::kTestCasid2, fedi::kTestCasid1};
}

bool issue(const ca::CertificateSpec& spec, EVP_PKEY* authorityKey, std::int64_t issuedAt,
           IssuedBag& issued, std::string& why) {
  ca::Status status = ca::Status::ok;
  issued.certificate = ca::issueCertificate(spec, authorityKey, &status);
  if (issued.certificate) {
    FEDI_X509* const certificates[] = {issued.certificate.get()};
    issued.bag = ca::makeBag(certificates, ca::kCertificateBagType,
                             static_cast<std::time_t>(issuedAt), &status);
  }
  if (issued.bag) issued.der = ca::toDer(*issued.bag);
  if (!issued.bag || issued.der.empty()) {
    why = "issuing failed: " + statusText(issued.bag ? ca::Status::failed : status);
    return false;
  }
  return true;
}

}  // namespace

ca::KeyPtr loadDemoAuthorityKey(std::string& why) {
  const std::unique_ptr<BIO, BioFree> pem(BIO_new_mem_buf(demoAuthorityKeyPem(), -1));
  ca::KeyPtr key(pem ? PEM_read_bio_PrivateKey(pem.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) why = "the built-in test authority key cannot be read";
  return key;
}

bool issueDemoCaBag(EVP_PKEY* authorityKey, std::int64_t from, IssuedBag& issued,
                    std::string& why) {
  ca::CertificateSpec spec;
  spec.serial = 1;
  spec.issuer = authorityName();
  spec.subject = authorityName();
  spec.notBefore = static_cast<std::time_t>(from);
  spec.notAfter = static_cast<std::time_t>(from + kDemoCaValidity);
  spec.subjectKey = authorityKey;
  return issue(spec, authorityKey, from, issued, why);
}

bool issueDemoUserBag(EVP_PKEY* authorityKey, const ca::RsaPublicParts& tokenKey, std::int64_t from,
                      IssuedBag& issued, std::string& why) {
  ca::CertificateSpec spec;
  spec.serial = kDemoSerial;
  spec.issuer = authorityName();
  spec.subject = {kDemoOrgId, kDemoUserId};
  spec.notBefore = static_cast<std::time_t>(from);
  spec.notAfter = static_cast<std::time_t>(from + kDemoUserValidity);
  spec.subjectKey = tokenKey;
  return issue(spec, authorityKey, from, issued, why);
}

}  // namespace kestrune::host
