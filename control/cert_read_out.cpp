// Reading the user's certificate bag out of the token as stored: to a file, or as Base64.
#include "control/cert_internal.h"
#include "control/control_internal.h"
#include "token/base64.h"

namespace kestrune {
namespace {

// The caller's path goes through a buffer of this size.
constexpr std::size_t kPathBuffer = 1024;

}  // namespace

std::int32_t control::writeCertObject(ControlState& state, std::u16string_view outFile,
                                      std::string_view label) {
  if (const auto code = connectToken(state, nullptr); code != +ControlCode::kOk) return code;
  token::p11_SetPrivateObjects(0);
  const auto path = toAnsiBuffer(state, outFile, kPathBuffer);
  if (!path) return +ControlCode::kTextBufferFailed;
  // Reading the current certificate first promotes a renewal whose time has come.
  if (const auto code = loadUserCertificate(state); code != +ControlCode::kOk) return code;
  token::Bytes value;
  if (token::p11_ReadDataValue(state.session(), label, value) != +token::TokenCode::kTokenOk)
    return +ControlCode::kReadFailed;
  // The value is written as long as the token reports it, trailing zero byte included.
  return control::writeWholeFile(path->c_str(), value);
}

std::optional<std::u16string> control::certObjectB64(ControlState& state, std::string_view label) {
  state.lastErrorCode = +ControlCode::kNotCompleted;
  if (const auto code = connectToken(state, nullptr); code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return std::nullopt;
  }
  token::p11_SetPrivateObjects(0);
  if (const auto code = loadUserCertificate(state); code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return std::nullopt;
  }
  token::Bytes value;
  if (token::p11_ReadDataValue(state.session(), label, value) != +token::TokenCode::kTokenOk) {
    state.lastErrorCode = +ControlCode::kReadFailed;
    return std::nullopt;
  }
  std::string text;
  if (!token::text_Base64Encode(value, text)) {
    state.lastErrorCode = +ControlCode::kBase64Failed;
    return std::nullopt;
  }
  auto result = toBstr(state, text);
  if (result) state.lastErrorCode = +ControlCode::kOk;
  return result;
}

std::int32_t TVFEDIMiniKeyCrypt::getCert(std::u16string_view outFile) {
  return control::codeMethod(
      *this, [&] { return control::writeCertObject(*this, outFile, token::kUserCertLabel); });
}

std::int32_t TVFEDIMiniKeyCrypt::getNewCert(std::u16string_view outFile) {
  return control::codeMethod(
      *this, [&] { return control::writeCertObject(*this, outFile, token::kNewCertLabel); });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getCertB64() {
  return control::inFrame(*this,
                          [this] { return control::certObjectB64(*this, token::kUserCertLabel); });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getNewCertB64() {
  return control::inFrame(*this,
                          [this] { return control::certObjectB64(*this, token::kNewCertLabel); });
}

}  // namespace kestrune
