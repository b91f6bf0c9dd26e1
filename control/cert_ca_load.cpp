// Loading the CA's certificate bag onto the token ("EOICAert"), from a file or Base64 text,
// and the built-in CA public-key record decoded on first use.
#include "FEDIX509/builtin_ca_records.h"
#include "control/cert_internal.h"
#include "control/control_internal.h"
#include "token/base64.h"

namespace kestrune {

std::int32_t control::caPublicKeyRecord(ControlState& state) {
  if (state.caKeyRecord) return +ControlCode::kOk;
  const bool test = control::selectedCaRecord() == control::CaRecordSelection::test;
  std::vector<std::uint8_t> der;
  if (!token::text_Base64Decode(fedi::builtinCaRecordText(test), der))
    return +ControlCode::kBase64Failed;
  const unsigned char* position = der.data();
  state.caKeyRecord.reset(d2i_FEDI_CAPUBKEY(nullptr, &position, static_cast<long>(der.size())));
  return state.caKeyRecord ? +ControlCode::kOk : +ControlCode::kCaRecordUndecodable;
}

std::int32_t control::loadCACertBytes(ControlState& state, const std::vector<std::uint8_t>& bytes) {
  const unsigned char* position = bytes.data();
  Ptr<FEDICERT> bag(d2i_FEDICERT(nullptr, &position, static_cast<long>(bytes.size())));
  if (!bag) return +ControlCode::kUndecodable;
  if (!control::firstCertificate(bag.get())) return +ControlCode::kBagCount;
  if (const auto code = caPublicKeyRecord(state); code != +ControlCode::kOk) return code;
  if (!Ptr<EVP_PKEY>(FEDI_CAPUBKEY_get_pkey(state.caKeyRecord.get()))) {
    return +ControlCode::kNoPublicKey;
  }

  token::p11_SetPrivateObjects(0);
  const bool exists =
      token::p11_ObjectExists(state.session(), token::kCaCertLabel) == +token::TokenCode::kTokenOk;
  if (const auto code =
          control::writeCertificateObject(state.session(), token::kCaCertLabel, bytes, exists);
      code != +ControlCode::kOk) {
    return code;
  }
  state.caCertificate = std::move(bag);
  return +ControlCode::kOk;
}

std::int32_t TVFEDIMiniKeyCrypt::loadCACert(std::u16string_view cafile) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    caCertificate.reset();
    if (const auto code = control::connectToken(*this, nullptr); code != +ControlCode::kOk)
      return code;
    token::p11_SetPrivateObjects(0);
    const auto path = control::toAnsi(*this, cafile);
    if (!path) return +ControlCode::kBadText;
    std::vector<std::uint8_t> bytes;
    if (const auto code = control::readWholeFile(path->c_str(), bytes); code != +ControlCode::kOk)
      return code;
    return control::loadCACertBytes(*this, bytes);
  });
}

std::int32_t TVFEDIMiniKeyCrypt::loadCACertB64(std::u16string_view certContent) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    caCertificate.reset();
    if (const auto code = control::connectToken(*this, nullptr); code != +ControlCode::kOk)
      return code;
    token::p11_SetPrivateObjects(0);
    const auto text = control::toAnsi(*this, certContent);
    if (!text) return +ControlCode::kBadText;
    std::vector<std::uint8_t> bytes;
    if (!token::text_Base64Decode(*text, bytes)) return +ControlCode::kBase64Failed;
    return control::loadCACertBytes(*this, bytes);
  });
}

}  // namespace kestrune
