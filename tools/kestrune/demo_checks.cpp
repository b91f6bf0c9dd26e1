#include "tools/kestrune/demo_checks.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "FEDIX509/fedi_crl.h"
#include "FEDIX509/fedi_x509.h"
#include "ca/issuing.h"
#include "common/ptr.h"
#include "platform/platform.h"
#include "token/base64.h"

namespace kestrune::host {
namespace {

constexpr std::int64_t kSecondsPerDay = 24 * 3600;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::optional<std::string> decimalOf(const ASN1_INTEGER* number) {
  const Ptr<BIGNUM> value(ASN1_INTEGER_to_BN(number, nullptr));
  const Ptr<char> text(value ? BN_bn2dec(value.get()) : nullptr);
  if (!text) return std::nullopt;
  return std::string(text.get());
}

// secondsOf measures a time from 1970 with OpenSSL's own calendar arithmetic.
std::optional<std::int64_t> secondsOf(const ASN1_TIME* time) {
  const Ptr<ASN1_TIME> epoch(ASN1_TIME_set(nullptr, 0));
  int days = 0;
  int seconds = 0;
  if (time == nullptr || !epoch || ASN1_TIME_diff(&days, &seconds, epoch.get(), time) != 1) {
    return std::nullopt;
  }
  return std::int64_t{days} * kSecondsPerDay + seconds;
}

std::optional<std::vector<std::uint8_t>> decodedBase64(std::string_view base64) {
  std::vector<std::uint8_t> der;
  if (!token::text_Base64Decode(base64, der) || der.empty()) return std::nullopt;
  return der;
}

}  // namespace

std::string pathIn(const std::string& dir, std::string_view name) {
  return dir + "/" + std::string(name);
}

bool readBagFacts(std::string_view base64, CertificateFacts& facts, std::string& why) {
  auto der = decodedBase64(base64);
  if (!der) {
    why = "the text is not Base64 of a certificate bag";
    return false;
  }
  const unsigned char* position = der->data();
  const fedi::RecordPtr<FEDICERT> bag(
      d2i_FEDICERT(nullptr, &position, static_cast<long>(der->size())));
  const auto length = static_cast<std::size_t>(position - der->data());
  if (!bag || !std::all_of(der->begin() + static_cast<std::ptrdiff_t>(length), der->end(),
                           [](std::uint8_t byte) { return byte == 0; })) {
    why = "the text is not Base64 of a certificate bag";
    return false;
  }
  if (FEDICERT_get_num(bag.get()) != 1) {
    why = "the bag does not hold exactly one certificate";
    return false;
  }
  const fedi::RecordPtr<FEDI_X509> certificate(FEDICERT_get_cert(bag.get(), 0));
  if (!certificate) {
    why = "the bag's certificate cannot be had";
    return false;
  }
  const auto serial = decimalOf(FEDI_X509_get_serialNumber(certificate.get()));
  const auto notBefore = secondsOf(FEDI_X509_get_notBefore(certificate.get()));
  const auto notAfter = secondsOf(FEDI_X509_get_notAfter(certificate.get()));
  facts.certificateDer = ca::toDer(*certificate);
  if (!serial || !notBefore || !notAfter || facts.certificateDer.empty()) {
    why = "the certificate's serial number or validity cannot be read";
    return false;
  }
  der->resize(length);
  facts.bagDer = std::move(*der);
  facts.serial = *serial;
  facts.notBefore = *notBefore;
  facts.notAfter = *notAfter;
  return true;
}

bool readRevokedSerials(std::string_view base64, std::vector<std::string>& serials,
                        std::string& why) {
  const auto der = decodedBase64(base64);
  const unsigned char* position = der ? der->data() : nullptr;
  const fedi::CrlPtr list(der ? d2i_FEDICRL(nullptr, &position, static_cast<long>(der->size()))
                              : nullptr);
  if (!list || position != der->data() + der->size() || list->crl == nullptr) {
    why = "the text is not Base64 of a revocation list";
    return false;
  }
  serials.clear();
  const STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(list->crl);
  for (int i = 0; i < sk_X509_REVOKED_num(revoked); ++i) {
    const auto serial =
        decimalOf(X509_REVOKED_get0_serialNumber(sk_X509_REVOKED_value(revoked, i)));
    if (!serial) {
      why = "a revoked serial number cannot be read";
      return false;
    }
    serials.push_back(*serial);
  }
  return true;
}

std::optional<std::int64_t> utcSeconds(std::string_view digits) {
  if (digits.size() != 14 || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  // As a GeneralizedTime, which OpenSSL checks field by field.
  const std::string text = std::string(digits) + "Z";
  const Ptr<ASN1_TIME> time(ASN1_TIME_new());
  if (!time || ASN1_TIME_set_string(time.get(), text.c_str()) != 1) return std::nullopt;
  return secondsOf(time.get());
}

bool writeSignedFiles(const std::string& dir, std::u16string_view message,
                      std::span<const std::uint8_t> bagDer, std::string& why) {
  std::string text;
  if (!platform::toCodePage950(message, text)) {
    why = "the signed message does not convert to code page 950";
    return false;
  }
  for (const auto& [name, bytes] :
       {std::pair{kSignedMessageFile, bytesOf(text)}, std::pair{kUserBagFile, bagDer}}) {
    const std::string path = pathIn(dir, name);
    if (platform::writeFile(path.c_str(), bytes) != platform::FileStatus::ok) {
      why = "cannot write " + path;
      return false;
    }
  }
  return true;
}

edifact::VerifyStatus verifySignedFiles(const std::string& dir, edifact::VerifyReport& report) {
  report = edifact::VerifyReport{};
  std::vector<std::uint8_t> message;
  std::vector<std::uint8_t> bagDer;
  for (const auto& [name, bytes] :
       {std::pair{kSignedMessageFile, &message}, std::pair{kUserBagFile, &bagDer}}) {
    const std::string path = pathIn(dir, name);
    if (platform::readFile(path.c_str(), *bytes) != platform::FileStatus::ok) {
      report.message = "cannot read " + path;
      return report.status = edifact::VerifyStatus::failed;
    }
  }
  const unsigned char* position = bagDer.data();
  const fedi::RecordPtr<FEDICERT> bag(
      d2i_FEDICERT(nullptr, &position, static_cast<long>(bagDer.size())));
  if (!bag) {
    report.message = pathIn(dir, kUserBagFile) + " is not a FEDI certificate bag";
    return report.status = edifact::VerifyStatus::failed;
  }
  const std::string_view text(reinterpret_cast<const char*>(message.data()), message.size());
  return edifact::verifyEdifactMessage(text, bag.get(), report);
}

}  // namespace kestrune::host
