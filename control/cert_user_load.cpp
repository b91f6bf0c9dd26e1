// Loading the user's certificate: one bag from a file or Base64 text, or the holder's own
// certificate picked out of a bundle by the token's key.
#include "control/cert_internal.h"
#include "control/control_internal.h"
#include "token/base64.h"

namespace kestrune {

std::int32_t control::loadUserCertBytes(ControlState& state,
                                        const std::vector<std::uint8_t>& bytes) {
  const unsigned char* position = bytes.data();
  const Ptr<FEDICERT> bag(d2i_FEDICERT(nullptr, &position, static_cast<long>(bytes.size())));
  if (!bag) return +ControlCode::kUndecodable;
  return storeUserCertificate(state, bag.get(), 1);
}

std::int32_t TVFEDIMiniKeyCrypt::loadCert(std::u16string_view certfile) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    if (const auto code = control::connectToken(*this, nullptr); code != +ControlCode::kOk)
      return code;
    const auto path = control::toAnsi(*this, certfile);
    if (!path) return +ControlCode::kBadText;
    std::vector<std::uint8_t> bytes;
    if (const auto code = control::readWholeFile(path->c_str(), bytes); code != +ControlCode::kOk)
      return code;
    return control::loadUserCertBytes(*this, bytes);
  });
}

std::int32_t TVFEDIMiniKeyCrypt::loadCertB64(std::u16string_view certContent) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    if (const auto code = control::connectToken(*this, nullptr); code != +ControlCode::kOk)
      return code;
    const auto text = control::toAnsi(*this, certContent);
    if (!text) return +ControlCode::kBadText;
    std::vector<std::uint8_t> bytes;
    if (!token::text_Base64Decode(*text, bytes)) return +ControlCode::kBase64Failed;
    return control::loadUserCertBytes(*this, bytes);
  });
}

std::int32_t TVFEDIMiniKeyCrypt::loadMultiCertB64(std::u16string_view certContent) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    if (const auto code = control::connectToken(*this, nullptr); code != +ControlCode::kOk)
      return code;
    token::p11_SetPrivateObjects(0);
    const auto text = control::toAnsi(*this, certContent);
    if (!text) return +ControlCode::kBadText;
    std::vector<std::uint8_t> bytes;
    if (!token::text_Base64Decode(*text, bytes)) return +ControlCode::kBase64Failed;

    if (!caCertificate) {
      auto stored = control::readFediCertObject(*this, token::kCaCertLabel);
      if (!stored) return lastErrorCode;
      caCertificate = std::move(stored);
    }
    if (FEDICERT_get_num(caCertificate.get()) != 1) return +ControlCode::kUndecodable;
    const auto caCert = control::firstCertificate(caCertificate.get());
    if (!caCert) return +ControlCode::kBagCount;
    const unsigned char* position = bytes.data();
    const Ptr<FEDICERT> bundle(d2i_FEDICERT(nullptr, &position, static_cast<long>(bytes.size())));
    if (!bundle) return +ControlCode::kUndecodable;
    const Ptr<EVP_PKEY> caKey(FEDI_X509_get_pubkey(caCert.get()));
    if (!caKey) return +ControlCode::kNoPublicKey;

    const auto& linkway = control::kLabelledTypes[control::kLinkway];
    for (int i = 0; i < FEDICERT_get_num(bundle.get()); ++i) {
      fedi::RecordPtr<FEDI_X509> certificate(FEDICERT_get_cert(bundle.get(), i));
      if (!certificate) return +ControlCode::kBagCount;
      if (control::keyMatchesToken(*this, linkway.privateKey, linkway.publicKey,
                                   certificate.get()) != 0) {
        continue;
      }
      if (FEDI_X509_verify(certificate.get(), caKey.get()) != 1)
        return +ControlCode::kSignatureInvalid;
      // The holder's certificate travels on in a bag of its own, stamped as the bundle was.
      const Ptr<FEDICERT> single(FEDICERT_new());
      if (!single || FEDICERT_set_type(single.get(), 1) != 1 ||
          FEDICERT_set_count(single.get(), 1) != 1 ||
          FEDICERT_set_time(single.get(), bundle->time) != 1 ||
          FEDICERT_push_cert(single.get(), certificate.get()) != 1) {
        return +ControlCode::kNoMemory;
      }
      certificate.release();  // the bag holds it now
      std::vector<std::uint8_t> der;
      if (const auto code = control::encodeBag(single.get(), der, +ControlCode::kEncodeFailed);
          code != +ControlCode::kOk) {
        return code;
      }
      return control::storeUserCertificate(*this, single.get(), 0);
    }
    return +ControlCode::kKeyMismatch;
  });
}

}  // namespace kestrune
