// The CA queries: a certificate by serial number or by holder, the revocation list, and the
// authority's own key (current, by key serial number or by date). Only queryCertificate
// touches the token; the others return what the authority sent as Base64 text.
#include <utility>

#include "FEDIX509/fedi_ca_client.h"
#include "FEDIX509/fedi_crl.h"
#include "common/der.h"
#include "control/ca_exchange_frame.h"
#include "control/ca_internal.h"
#include "control/ca_query_fields.h"
#include "control/cert_internal.h"
#include "control/control_internal.h"
#include "control/request_builders.h"
#include "token/base64.h"

namespace kestrune {
namespace {

// placeName hands name over to *field, freeing what was there. A name built for one query is
// not copied: a copy encodes the name again and makes its canonical form, which costs about as
// much as encoding the whole message.
void placeName(X509_NAME** field, Ptr<X509_NAME> name) {
  X509_NAME_free(*field);
  *field = name.release();
}

// encodeCrl fills der with the revocation list's encoding: 0, 500 when it encodes to nothing,
// 2 when memory runs out.
std::int32_t encodeCrl(const FEDICRL* crl, std::vector<std::uint8_t>& der) {
  return toDer(crl, i2d_FEDICRL, der) ? +ControlCode::kOk : +ControlCode::kEncodeFailed;
}

}  // namespace

std::int32_t control::queryBySerial(ControlState& state, control::CaExchange& exchange,
                                    std::u16string_view caUrl, std::u16string_view casid1,
                                    std::u16string_view casid2, std::u16string_view csn) {
  const auto url = argumentText(state, caUrl);
  if (!url) return +ControlCode::kBadText;
  const auto serial = argumentText(state, csn);
  if (!serial) return +ControlCode::kBadText;
  Ptr<X509_NAME> issuer;
  if (const auto code = buildAuthorityName(state, casid1, casid2, issuer);
      code != +ControlCode::kOk)
    return code;

  Ptr<FEDI_QUERY> query(FEDI_QUERY_new(control::kCertificateQueryTag, FEDI_CT_GET_CERT));
  if (!query) return +ControlCode::kNoMemory;
  FEDI_GETCERT_BODY* body = query->getCert;
  placeName(&body->issuer, std::move(issuer));
  X509_NAME_free(body->subject);
  body->subject = nullptr;
  if (const auto code = control::setSerialFromText(&body->serialNumber, *serial);
      code != +ControlCode::kOk) {
    return code;
  }
  return exchange.run(url->c_str(), &ca_QueryCertificate, query.get(), FEDI_CT_GET_CERT_ANS);
}

std::int32_t control::askCaKey(ControlState& state, control::CaExchange& exchange,
                               std::u16string_view caUrl, std::u16string_view casid1,
                               std::u16string_view casid2, const std::u16string_view* psn,
                               const std::u16string_view* date) {
  const auto url = argumentText(state, caUrl);
  if (!url) return +ControlCode::kBadText;
  std::optional<std::string> serial;
  if (psn != nullptr && !(serial = argumentText(state, *psn))) return +ControlCode::kBadText;
  std::optional<std::string> dateText;
  if (date != nullptr && !(dateText = argumentText(state, *date))) return +ControlCode::kBadText;
  Ptr<X509_NAME> issuer;
  if (const auto code = buildAuthorityName(state, casid1, casid2, issuer);
      code != +ControlCode::kOk)
    return code;

  Ptr<FEDI_QUERY> query(FEDI_QUERY_new(control::kCaKeyQueryTag, FEDI_CT_GET_CAPK));
  if (!query) return +ControlCode::kNoMemory;
  FEDI_GETCAPK_BODY* body = query->getCaPk;
  placeName(&body->issuer, std::move(issuer));
  if (serial) {
    if (const auto code = control::setSerialFromText(&body->psn, *serial);
        code != +ControlCode::kOk) {
      return code;
    }
  }
  if (dateText) {
    if (const auto code = control::setTimeFromDate(&body->date, *dateText);
        code != +ControlCode::kOk) {
      return code;
    }
  }
  return exchange.run(url->c_str(), &ca_QueryCaPublicKey, query.get(), FEDI_CT_GET_CAPK_ANS);
}

std::optional<std::u16string> control::queryCaKey(ControlState& state, std::u16string_view caUrl,
                                                  std::u16string_view casid1,
                                                  std::u16string_view casid2,
                                                  const std::u16string_view* psn,
                                                  const std::u16string_view* date) {
  return textMethod(state, [&]() -> std::optional<std::u16string> {
    control::CaExchange exchange(state);
    state.lastErrorCode = askCaKey(state, exchange, caUrl, casid1, casid2, psn, date);
    if (state.lastErrorCode != +ControlCode::kOk) return std::nullopt;
    return bagText(state, exchange.content<FEDICERT>());
  });
}

std::optional<std::u16string> control::bagText(ControlState& state, FEDICERT* bag) {
  std::vector<std::uint8_t> der;
  if (const auto code = control::encodeBag(bag, der, +ControlCode::kUndecodable);
      code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return std::nullopt;
  }
  return base64Text(state, der);
}

std::optional<std::u16string> control::base64Text(ControlState& state,
                                                  const std::vector<std::uint8_t>& der) {
  std::string text;
  if (!token::text_Base64Encode(der, text)) {
    state.lastErrorCode = +ControlCode::kBase64Failed;
    return std::nullopt;
  }
  auto result = toBstr(state, text);
  if (result) state.lastErrorCode = +ControlCode::kOk;
  return result;
}

std::int32_t TVFEDIMiniKeyCrypt::queryCertificate(std::u16string_view caUrl,
                                                  std::u16string_view casid1,
                                                  std::u16string_view casid2,
                                                  std::u16string_view csn) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    if (const auto code = control::connectToken(*this, nullptr); code != +ControlCode::kOk)
      return code;
    control::CaExchange exchange(*this);
    if (const auto code = control::queryBySerial(*this, exchange, caUrl, casid1, casid2, csn);
        code != +ControlCode::kOk) {
      return code;
    }
    // Stored only when it verifies with the CA and is the token's key pair's (else 10008).
    return control::storeUserCertificate(*this, exchange.content<FEDICERT>(), 0);
  });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::queryB64Certificate(std::u16string_view caUrl,
                                                                      std::u16string_view casid1,
                                                                      std::u16string_view casid2,
                                                                      std::u16string_view csn) {
  return control::textMethod(*this, [&]() -> std::optional<std::u16string> {
    control::CaExchange exchange(*this);
    lastErrorCode = control::queryBySerial(*this, exchange, caUrl, casid1, casid2, csn);
    if (lastErrorCode != +ControlCode::kOk) return std::nullopt;
    return control::bagText(*this, exchange.content<FEDICERT>());
  });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::queryMultipleCertificate(
    std::u16string_view caUrl, std::u16string_view casid1, std::u16string_view casid2,
    std::u16string_view sid1, std::u16string_view sid2, std::u16string_view date) {
  return control::textMethod(*this, [&]() -> std::optional<std::u16string> {
    control::CaExchange exchange(*this);
    lastErrorCode = [&]() -> std::int32_t {
      const auto url = control::argumentText(*this, caUrl);
      if (!url) return +ControlCode::kBadText;
      // A date that can't be converted counts as none: the query then asks for every date.
      const std::string dateText = control::toAnsi(*this, date).value_or(std::string());
      Ptr<X509_NAME> issuer;
      if (const auto code = control::buildAuthorityName(*this, casid1, casid2, issuer);
          code != +ControlCode::kOk)
        return code;
      Ptr<X509_NAME> subject;
      if (const auto code = control::buildAuthorityName(*this, sid1, sid2, subject);
          code != +ControlCode::kOk)
        return code;

      Ptr<FEDI_QUERY> query(FEDI_QUERY_new(control::kCertificateQueryTag, FEDI_CT_GET_CERT));
      if (!query) return +ControlCode::kNoMemory;
      FEDI_GETCERT_BODY* body = query->getCert;
      placeName(&body->issuer, std::move(issuer));
      placeName(&body->subject, std::move(subject));
      if (dateText.empty()) {
        ASN1_TIME_free(body->date);
        body->date = nullptr;
      } else if (const auto code = control::setTimeFromDate(&body->date, dateText);
                 code != +ControlCode::kOk) {
        return code;
      }
      return exchange.run(url->c_str(), &ca_QueryCertificate, query.get(), FEDI_CT_GET_CERT_ANS);
    }();
    if (lastErrorCode != +ControlCode::kOk) return std::nullopt;
    return control::bagText(*this, exchange.content<FEDICERT>());
  });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::queryCRL(std::u16string_view caUrl,
                                                           std::u16string_view casid1,
                                                           std::u16string_view casid2) {
  return control::textMethod(*this, [&]() -> std::optional<std::u16string> {
    control::CaExchange exchange(*this);
    lastErrorCode = [&]() -> std::int32_t {
      const auto url = control::argumentText(*this, caUrl);
      if (!url) return +ControlCode::kBadText;
      Ptr<X509_NAME> issuer;
      if (const auto code = control::buildAuthorityName(*this, casid1, casid2, issuer);
          code != +ControlCode::kOk)
        return code;
      Ptr<FEDI_QUERY> query(FEDI_QUERY_new(control::kCrlQueryTag, FEDI_CT_GET_CRL));
      if (!query) return +ControlCode::kNoMemory;
      placeName(&query->getCrl->issuer, std::move(issuer));
      return exchange.run(url->c_str(), &ca_QueryCrl, query.get(), FEDI_CT_GET_CRL_ANS);
    }();
    if (lastErrorCode != +ControlCode::kOk) return std::nullopt;
    std::vector<std::uint8_t> der;
    lastErrorCode = encodeCrl(exchange.content<FEDICRL>(), der);
    if (lastErrorCode != +ControlCode::kOk) return std::nullopt;
    return control::base64Text(*this, der);
  });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::queryCaPublicKey(std::u16string_view caUrl,
                                                                   std::u16string_view casid1,
                                                                   std::u16string_view casid2) {
  return control::queryCaKey(*this, caUrl, casid1, casid2, nullptr, nullptr);
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::queryPSNCaPublicKey(std::u16string_view caUrl,
                                                                      std::u16string_view casid1,
                                                                      std::u16string_view casid2,
                                                                      std::u16string_view psn) {
  return control::queryCaKey(*this, caUrl, casid1, casid2, &psn, nullptr);
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::queryDateCaPublicKey(std::u16string_view caUrl,
                                                                       std::u16string_view casid1,
                                                                       std::u16string_view casid2,
                                                                       std::u16string_view date) {
  return control::queryCaKey(*this, caUrl, casid1, casid2, nullptr, &date);
}

}  // namespace kestrune
