// Certificate ::= SEQUENCE { tbsCertificate TBSCertificate, signatureAlgorithm, signature }
// TBSCertificate ::= SEQUENCE { version [0] EXPLICIT OPTIONAL, serialNumber INTEGER,
//   signature AlgorithmIdentifier, issuer Name, validity Validity, subject Name, ... }
#include "platform/linux/cryptoapi/certs/cert_names.h"

#include "platform/linux/cryptoapi/certs/der_tlv.h"

namespace kestrune::cryptoapi {
namespace {

constexpr std::uint8_t kVersionTag = 0xA0;
constexpr der::Lengths kLengths = der::Lengths::indefiniteToo;

// The parts of a certificate the names sit between.
struct CertLayout {
  der::Tlv certificate, tbs, issuer, validity, subject;
};

std::optional<CertLayout> layoutOf(ByteView cert) {
  der::Reader outer(cert, kLengths);
  const auto certificate = outer.next(der::kSequence);
  if (!certificate) return std::nullopt;
  der::Reader certFields(certificate->content, kLengths);
  const auto tbs = certFields.next(der::kSequence);
  if (!tbs) return std::nullopt;
  der::Reader fields(tbs->content, kLengths);
  if (fields.peekTag() == kVersionTag && !fields.next()) return std::nullopt;
  if (!fields.next(der::kInteger) || !fields.next(der::kSequence)) return std::nullopt;
  const auto issuer = fields.next(der::kSequence);
  const auto validity = fields.next(der::kSequence);
  const auto subject = fields.next(der::kSequence);
  if (!issuer || !validity || !subject) return std::nullopt;
  return CertLayout{*certificate, *tbs, *issuer, *validity, *subject};
}

void appendRange(Bytes& out, const std::uint8_t* from, const std::uint8_t* to) {
  out.insert(out.end(), from, to);
}

}  // namespace

std::optional<CertNames> certNamesOf(ByteView cert) {
  const auto layout = layoutOf(cert);
  if (!layout) return std::nullopt;
  return CertNames{layout->issuer.whole, layout->subject.whole};
}

Bytes withEmptyNames(ByteView cert) {
  const auto layout = layoutOf(cert);
  if (!layout) return {};
  const Bytes emptyName{der::kSequence, 0x00};
  const ByteView tbsContent = layout->tbs.content;
  Bytes tbsFields;
  appendRange(tbsFields, tbsContent.data(), layout->issuer.whole.data());
  tbsFields.insert(tbsFields.end(), emptyName.begin(), emptyName.end());
  const ByteView validity = layout->validity.whole;
  tbsFields.insert(tbsFields.end(), validity.begin(), validity.end());
  tbsFields.insert(tbsFields.end(), emptyName.begin(), emptyName.end());
  const ByteView subject = layout->subject.whole;
  appendRange(tbsFields, subject.data() + subject.size(), tbsContent.data() + tbsContent.size());

  Bytes certFields = der::element(der::kSequence, tbsFields);
  const ByteView tbs = layout->tbs.whole;
  const ByteView certContent = layout->certificate.content;
  appendRange(certFields, tbs.data() + tbs.size(), certContent.data() + certContent.size());
  return der::element(der::kSequence, certFields);
}

}  // namespace kestrune::cryptoapi
