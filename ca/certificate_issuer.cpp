// issueCertificate: a FEDI certificate body built field by field from a spec, then signed by
// the authority over the body's DER.
//   body ::= SEQUENCE { version INTEGER, serialNumber INTEGER, signature AlgorithmIdentifier,
//                       issuer Name (O, CN), validity SEQUENCE { notBefore, notAfter },
//                       subject Name (O, CN), subjectPublicKeyInfo }
#include <openssl/core_names.h>
#include <openssl/objects.h>

#include <algorithm>
#include <climits>
#include <new>

#include "ca/issuing_parts.h"

namespace kestrune::ca {

namespace {

std::vector<std::uint8_t> withoutLeadingZeros(std::span<const std::uint8_t> bigEndian) {
  const auto first =
      std::find_if(bigEndian.begin(), bigEndian.end(), [](std::uint8_t byte) { return byte != 0; });
  return {first, bigEndian.end()};
}

// isRsaPrivateKey: the authority signs with an RSA key whose private exponent it holds.
bool isRsaPrivateKey(const EVP_PKEY* key) {
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return false;
  BIGNUM* privateExponent = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_D, &privateExponent) != 1) return false;
  BN_clear_free(privateExponent);
  return true;
}

int keyAlgorithmNid(KeyAlgorithm algorithm) {
  return algorithm == KeyAlgorithm::rsaEncryption ? NID_rsaEncryption : NID_md5WithRSAEncryption;
}

const EVP_MD* signatureDigest(SignatureAlgorithm algorithm) {
  return algorithm == SignatureAlgorithm::sha1WithRsa ? EVP_sha1() : EVP_md5();
}

// The CertificateSpec fields as OpenSSL objects, all checked before a certificate is made.
struct BodyParts {
  Ptr<ASN1_INTEGER> serial;
  Ptr<X509_NAME> issuer;
  Ptr<X509_NAME> subject;
  Ptr<ASN1_TIME> notBefore;
  Ptr<ASN1_TIME> notAfter;
  KeyPtr subjectKey;
};

bool makeParts(const CertificateSpec& spec, BodyParts& parts, Status& status) {
  if (!spec.notBefore || !spec.notAfter) {
    status = Status::badTime;
    return false;
  }
  if (!(parts.issuer = detail::makeName(spec.issuer, status)) ||
      !(parts.subject = detail::makeName(spec.subject, status)) ||
      !(parts.notBefore = detail::makeTime(*spec.notBefore, status)) ||
      !(parts.notAfter = detail::makeTime(*spec.notAfter, status)) ||
      !(parts.subjectKey = detail::publicHalf(spec.subjectKey, status))) {
    return false;
  }
  if (!(parts.serial = detail::makeSerial(spec.serial))) {
    status = Status::noMemory;
    return false;
  }
  return true;
}

CertificatePtr buildCertificate(const CertificateSpec& spec, EVP_PKEY* caKey, Status& status) {
  if (!isRsaPrivateKey(caKey)) {
    status = Status::badCaKey;
    return nullptr;
  }
  BodyParts parts;
  if (!makeParts(spec, parts, status)) return nullptr;
  CertificatePtr certificate(FEDI_X509_new());
  if (!certificate) {
    status = Status::noMemory;
    return nullptr;
  }
  FEDI_X509* cert = certificate.get();
  if (FEDI_X509_set_version(cert, spec.version) != 1 ||
      FEDI_X509_set_serialNumber(cert, parts.serial.get()) != 1 ||
      FEDI_X509_set_issuer_name(cert, parts.issuer.get()) != 1 ||
      FEDI_X509_set_notBefore(cert, parts.notBefore.get()) != 1 ||
      FEDI_X509_set_notAfter(cert, parts.notAfter.get()) != 1 ||
      FEDI_X509_set_subject_name(cert, parts.subject.get()) != 1 ||
      FEDI_X509_PUBKEY_set_rsa(FEDI_X509_get_X509_PUBKEY(cert), keyAlgorithmNid(spec.keyAlgorithm),
                               parts.subjectKey.get()) != 1) {
    status = Status::noMemory;
    return nullptr;
  }
  // Sets the body's and the outer signature algorithm, then signs the body's DER.
  if (FEDI_X509_sign(cert, caKey, signatureDigest(spec.signatureAlgorithm)) <= 0) {
    status = Status::failed;
    return nullptr;
  }
  return certificate;
}

}  // namespace

SerialNumber::SerialNumber(std::uint64_t value) {
  std::uint8_t bigEndian[8];
  for (int i = 7; i >= 0; --i, value >>= 8) bigEndian[i] = static_cast<std::uint8_t>(value);
  bytes_ = withoutLeadingZeros(bigEndian);
}

SerialNumber SerialNumber::fromBytes(std::span<const std::uint8_t> bigEndian) {
  SerialNumber serial;
  serial.bytes_ = withoutLeadingZeros(bigEndian);
  return serial;
}

namespace detail {

Ptr<ASN1_INTEGER> makeSerial(const SerialNumber& serial) {
  const auto& bytes = serial.bytes();
  if (bytes.size() > INT_MAX) return nullptr;
  Ptr<BIGNUM> number(
      bytes.empty() ? BN_new() : BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
  if (!number) return nullptr;
  return Ptr<ASN1_INTEGER>(BN_to_ASN1_INTEGER(number.get(), nullptr));
}

}  // namespace detail

CertificatePtr issueCertificate(const CertificateSpec& spec, EVP_PKEY* caKey,
                                Status* status) noexcept {
  try {
    Status result = Status::ok;
    CertificatePtr certificate = buildCertificate(spec, caKey, result);
    if (!certificate && result == Status::ok) result = Status::failed;
    detail::reportStatus(status, certificate ? Status::ok : result);
    return certificate;
  } catch (const std::bad_alloc&) {
    detail::reportStatus(status, Status::noMemory);
    return nullptr;
  }
}

}  // namespace kestrune::ca
