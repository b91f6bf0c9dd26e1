// newCertificate, extendCertificate and revokeCertificate: a request signed on the token, sent
// to the authority, and for the first two the certificate it answers with stored on the token.
#include "FEDIX509/fedi_ca_client.h"
#include "FEDIX509/fedi_req.h"
#include "control/ca_exchange_frame.h"
#include "control/cert_internal.h"
#include "control/control_internal.h"
#include "control/request_internal.h"
#include "control/secret_text.h"

namespace kestrune {
namespace {

// The pass phrase goes through the same 1024-byte buffer as in makeRequestCert.
constexpr std::size_t kPassPhraseBuffer = 1024;

// Modes of storeUserCertificate.
constexpr std::int32_t kReplaceCurrent = 0;
constexpr std::int32_t kParkWhileInForce = 1;

// decodeRequest reads back the request a builder encoded, as the record the entry point sends.
template <class T>
fedi::RequestPtr<T> decodeRequest(T* (*d2i)(T**, const unsigned char**, long),
                                  const std::vector<std::uint8_t>& der) {
  const unsigned char* position = der.data();
  return fedi::RequestPtr<T>(d2i(nullptr, &position, static_cast<long>(der.size())));
}

// sendBuiltRequest initiates the exchange, has build encode the request on the token and
// sends it through entryPoint, expecting an answer of expectedType. The initiation comes
// first, so an unreachable authority costs no signature.
template <class T, class Build>
std::int32_t sendBuiltRequest(control::CaExchange& exchange, const std::string& url, Build build,
                              T* (*d2i)(T**, const unsigned char**, long),
                              int (*entryPoint)(CaConnection*, T*), int expectedType) {
  if (const auto code = exchange.initiate(url.c_str()); code != +ControlCode::kOk) return code;
  std::vector<std::uint8_t> der;
  if (const std::int32_t code = build(der); code != +ControlCode::kOk) return code;
  const auto request = decodeRequest(d2i, der);
  if (!request) return +ControlCode::kMalformedArgument;
  return exchange.send(entryPoint, request.get(), expectedType);
}

}  // namespace

std::int32_t TVFEDIMiniKeyCrypt::newCertificate(std::u16string_view caUrl,
                                                std::u16string_view key) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    if (pinVerified() == 0) return +ControlCode::kPinNotVerified;
    const auto url = control::argumentText(*this, caUrl);
    if (!url) return +ControlCode::kBadText;
    // A pass phrase that can't be converted counts as empty, as in makeRequestCert.
    control::SecretText pass;
    control::secretText(key, pass, kPassPhraseBuffer);

    control::CaExchange exchange(*this);
    const auto build = [&](std::vector<std::uint8_t>& der) {
      return control::buildNewRequest(*this, pass.c_str(), der);
    };
    if (const auto code = sendBuiltRequest(exchange, *url, build, &d2i_FEDIREQ,
                                           &ca_SendNewCertRequest, FEDI_CT_NEW_CERT);
        code != +ControlCode::kOk) {
      return code;
    }
    return control::storeUserCertificate(*this, exchange.content<FEDICERT>(), kReplaceCurrent);
  });
}

std::int32_t TVFEDIMiniKeyCrypt::extendCertificate(std::u16string_view caUrl) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    if (pinVerified() == 0) return +ControlCode::kPinNotVerified;
    const auto url = control::argumentText(*this, caUrl);
    if (!url) return +ControlCode::kBadText;

    control::CaExchange exchange(*this);
    const auto build = [&](std::vector<std::uint8_t>& der) {
      return control::buildExtendRequest(*this, der);
    };
    if (const auto code = sendBuiltRequest(exchange, *url, build, &d2i_FEDIEXT,
                                           &ca_SendExtendRequest, FEDI_CT_EXT_CERT);
        code != +ControlCode::kOk) {
      return code;
    }
    // The renewal waits in "EOICertNew" while the current certificate is in force.
    return control::storeUserCertificate(*this, exchange.content<FEDICERT>(), kParkWhileInForce);
  });
}

std::int32_t TVFEDIMiniKeyCrypt::revokeCertificate(std::u16string_view caUrl,
                                                   std::u16string_view revokeReason) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    if (pinVerified() == 0) return +ControlCode::kPinNotVerified;
    const auto url = control::argumentText(*this, caUrl);
    if (!url) return +ControlCode::kBadText;
    const auto reason = control::argumentText(*this, revokeReason);
    if (!reason) return +ControlCode::kBadText;

    control::CaExchange exchange(*this);
    const auto build = [&](std::vector<std::uint8_t>& der) {
      return control::buildRevokeRequest(*this, reason->c_str(), der);
    };
    // The authority answers with its revocation list; the token keeps its certificate.
    return sendBuiltRequest(exchange, *url, build, &d2i_FEDIREV, &ca_SendRevokeRequest,
                            FEDI_CT_REV_CRL);
  });
}

}  // namespace kestrune
