// Issuing on the FEDI certification authority's side: FEDI certificates signed with the
// authority's key, the certificate bags ("CeRtIfIc") that carry them, their DER, and the RSA
// keys involved. The issuing functions never throw: they report failure through a null or empty
// result and, when asked, a Status.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "FEDIX509/fedi_x509.h"
#include "common/ptr.h"

namespace kestrune::ca {

using KeyPtr = Ptr<EVP_PKEY>;
using CertificatePtr = fedi::RecordPtr<FEDI_X509>;
using BagPtr = fedi::RecordPtr<FEDICERT>;

enum class Status {
  ok,
  badName,        // an empty text, or one its string type cannot carry
  badTime,        // a time the FEDI time rule refuses, or a year past 9999
  badSubjectKey,  // missing, not RSA, or a zero (or empty) modulus or exponent
  badCaKey,       // missing or not an RSA private key
  cannotRead,     // the key file could not be opened or read
  badPem,         // no private key in the file, or a wrong or missing passphrase
  failed,         // OpenSSL refused (signing, encoding), or makeBag was given a null certificate
  noMemory,
};

// A certificate serial number: an unsigned big-endian magnitude of any length. Leading zero
// bytes are not significant; no bytes is 0.
class SerialNumber {
 public:
  SerialNumber() = default;
  SerialNumber(std::uint64_t value);  // implicit, so that spec.serial = 42 reads naturally
  static SerialNumber fromBytes(std::span<const std::uint8_t> bigEndian);
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// A FEDI time: a moment, written as UTCTime for 1950-2049 and GeneralizedTime otherwise, or a
// UTCTime text written exactly as given, such as the never-expiring "999999999999Z" or the
// local "961122000000+0800". A text must pass the FEDI UTCTime rule when it is written.
class FediTime {
 public:
  FediTime(std::time_t moment) : value_(static_cast<std::int64_t>(moment)) {}  // implicit
  static FediTime utcText(std::string text);
  // now is the current time of the platform clock (the one a test may install).
  static FediTime now();

  const std::variant<std::int64_t, std::string>& value() const { return value_; }

 private:
  explicit FediTime(std::string text) : value_(std::move(text)) {}
  std::variant<std::int64_t, std::string> value_;
};

enum class StringKind { printable, utf8 };

// A FEDI name: entry 0 is O, entry 1 is CN. For the authority these are CASID2 and CASID1, for
// the holder SID2 and SID1. Both texts are UTF-8 and must not be empty.
struct FediName {
  std::string organization;  // O: CASID2 / SID2
  std::string commonName;    // CN: CASID1 / SID1
  StringKind kind = StringKind::printable;
};

// The holder's RSA public key as big-endian magnitudes.
struct RsaPublicParts {
  std::vector<std::uint8_t> modulus;
  std::vector<std::uint8_t> exponent;
};

// The algorithm named in the subject public key info. FEDI names the signature algorithm
// there; rsaEncryption gives a certificate whose key the FEDI decoder declines to extract.
enum class KeyAlgorithm { md5WithRsa, rsaEncryption };
enum class SignatureAlgorithm { md5WithRsa, sha1WithRsa };

struct CertificateSpec {
  long version = 0;  // FEDI writes it as a bare INTEGER; every FEDI record starts at 0
  SerialNumber serial;
  FediName issuer;
  FediName subject;
  std::optional<FediTime> notBefore;  // both are required
  std::optional<FediTime> notAfter;
  // An RSA key (only its public half is written; the caller keeps ownership and the key must
  // live through issueCertificate), or the key's modulus and exponent.
  std::variant<std::monostate, EVP_PKEY*, RsaPublicParts> subjectKey;
  KeyAlgorithm keyAlgorithm = KeyAlgorithm::md5WithRsa;
  SignatureAlgorithm signatureAlgorithm = SignatureAlgorithm::md5WithRsa;
};

// issueCertificate returns a new certificate made of spec and signed over the DER of its body
// with caKey (an RSA private key), or null with status set. The caller owns the certificate.
CertificatePtr issueCertificate(const CertificateSpec& spec, EVP_PKEY* caKey,
                                Status* status = nullptr) noexcept;

// The bag type the authority gives a certificate reply, and the one the control gives a bag
// it builds.
inline constexpr long kCertificateBagType = 1;

// makeBag returns a new bag "CeRtIfIc", version 0, of the given type and time, whose count is
// the number of certificates and which holds a reference of its own to each certificate in
// order; null with status set on failure. The caller owns the bag.
BagPtr makeBag(std::span<FEDI_X509* const> certificates, long type = kCertificateBagType,
               const FediTime& time = FediTime::now(), Status* status = nullptr) noexcept;

// toDer returns the record's DER, or no bytes when it cannot be encoded.
std::vector<std::uint8_t> toDer(const FEDI_X509& certificate) noexcept;
std::vector<std::uint8_t> toDer(const FEDICERT& bag) noexcept;

// loadPrivateKey returns the private key of a PEM file, or null with status set (cannotRead,
// badPem). An encrypted key needs its passphrase; without one it fails, never prompts.
KeyPtr loadPrivateKey(const char* pemPath, const char* passphrase = nullptr,
                      Status* status = nullptr) noexcept;

// generateRsaKey returns a new RSA key pair of the given size with exponent 65537, or null.
KeyPtr generateRsaKey(unsigned bits) noexcept;

}  // namespace kestrune::ca
