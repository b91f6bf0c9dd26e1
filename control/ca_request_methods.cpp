// newCertificate, extendCertificate and revokeCertificate: a request signed on the token, sent
// to the authority, and for the first two the certificate it answers with stored on the token.
#include "FEDIX509/fedi_ca_client.h"
#include "FEDIX509/fedi_req.h"
#include "control/ca_exchange_frame.h"
#include "control/control_internal.h"

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

}  // namespace

std::int32_t TVFEDIMiniKeyCrypt::newCertificate(std::u16string_view caUrl,
                                                std::u16string_view key) {
  return codeMethod([&]() -> std::int32_t {
    if (pinVerified == 0) return kPinNotVerified;
    const auto url = argumentText(caUrl);
    if (!url) return kBadText;
    // A pass phrase that can't be converted counts as empty, as in makeRequestCert.
    const std::string pass = toAnsiBuffer(key, kPassPhraseBuffer).value_or(std::string());

    control::CaExchange exchange(*this);
    if (const auto code = exchange.initiate(url->c_str()); code != kOk) return code;
    std::vector<std::uint8_t> der;
    if (const auto code = buildNewRequest(pass.c_str(), der); code != kOk) return code;
    const auto request = decodeRequest(&d2i_FEDIREQ, der);
    if (!request) return kMalformedArgument;
    if (const auto code = exchange.send(&ca_SendNewCertRequest, request.get(), FEDI_CT_NEW_CERT);
        code != kOk) {
      return code;
    }
    return storeUserCertificate(exchange.content<FEDICERT>(), kReplaceCurrent);
  });
}

std::int32_t TVFEDIMiniKeyCrypt::extendCertificate(std::u16string_view caUrl) {
  return codeMethod([&]() -> std::int32_t {
    if (pinVerified == 0) return kPinNotVerified;
    const auto url = argumentText(caUrl);
    if (!url) return kBadText;

    control::CaExchange exchange(*this);
    if (const auto code = exchange.initiate(url->c_str()); code != kOk) return code;
    std::vector<std::uint8_t> der;
    if (const auto code = buildExtendRequest(der); code != kOk) return code;
    const auto request = decodeRequest(&d2i_FEDIEXT, der);
    if (!request) return kMalformedArgument;
    if (const auto code = exchange.send(&ca_SendExtendRequest, request.get(), FEDI_CT_EXT_CERT);
        code != kOk) {
      return code;
    }
    // The renewal waits in "EOICertNew" while the current certificate is in force.
    return storeUserCertificate(exchange.content<FEDICERT>(), kParkWhileInForce);
  });
}

std::int32_t TVFEDIMiniKeyCrypt::revokeCertificate(std::u16string_view caUrl,
                                                   std::u16string_view revokeReason) {
  return codeMethod([&]() -> std::int32_t {
    if (pinVerified == 0) return kPinNotVerified;
    const auto url = argumentText(caUrl);
    if (!url) return kBadText;
    const auto reason = argumentText(revokeReason);
    if (!reason) return kBadText;

    control::CaExchange exchange(*this);
    if (const auto code = exchange.initiate(url->c_str()); code != kOk) return code;
    std::vector<std::uint8_t> der;
    if (const auto code = buildRevokeRequest(reason->c_str(), der); code != kOk) return code;
    const auto request = decodeRequest(&d2i_FEDIREV, der);
    if (!request) return kMalformedArgument;
    // The authority answers with its revocation list; the token keeps its certificate.
    return exchange.send(&ca_SendRevokeRequest, request.get(), FEDI_CT_REV_CRL);
  });
}

}  // namespace kestrune
