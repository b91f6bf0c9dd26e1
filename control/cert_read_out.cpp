// Reading the user's certificate bag out of the token as stored: to a file, or as Base64.
#include "control/cert_internal.h"
#include "control/control_internal.h"
#include "token/base64.h"

namespace kestrune {
namespace {

// The caller's path goes through a buffer of this size.
constexpr std::size_t kPathBuffer = 1024;

}  // namespace

std::int32_t TVFEDIMiniKeyCrypt::writeCertObject(std::u16string_view outFile,
                                                 std::string_view label) {
  if (const auto code = connectToken(nullptr); code != kOk) return code;
  token::p11_SetPrivateObjects(0);
  const auto path = toAnsiBuffer(outFile, kPathBuffer);
  if (!path) return kTextBufferFailed;
  // Reading the current certificate first promotes a renewal whose time has come.
  if (const auto code = loadUserCertificate(); code != kOk) return code;
  token::Bytes value;
  if (token::p11_ReadDataValue(tokenSession, label, value) != token::kTokenOk) return kReadFailed;
  // The value is written as long as the token reports it, trailing zero byte included.
  return control::writeWholeFile(path->c_str(), value);
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::certObjectB64(std::string_view label) {
  lastErrorCode = kNotCompleted;
  if (const auto code = connectToken(nullptr); code != kOk) {
    lastErrorCode = code;
    return std::nullopt;
  }
  token::p11_SetPrivateObjects(0);
  if (const auto code = loadUserCertificate(); code != kOk) {
    lastErrorCode = code;
    return std::nullopt;
  }
  token::Bytes value;
  if (token::p11_ReadDataValue(tokenSession, label, value) != token::kTokenOk) {
    lastErrorCode = kReadFailed;
    return std::nullopt;
  }
  std::string text;
  if (!token::text_Base64Encode(value, text)) {
    lastErrorCode = kBase64Failed;
    return std::nullopt;
  }
  auto result = toBstr(text);
  if (result) lastErrorCode = kOk;
  return result;
}

std::int32_t TVFEDIMiniKeyCrypt::getCert(std::u16string_view outFile) {
  return codeMethod([&] { return writeCertObject(outFile, control::kUserCertLabel); });
}

std::int32_t TVFEDIMiniKeyCrypt::getNewCert(std::u16string_view outFile) {
  return codeMethod([&] { return writeCertObject(outFile, control::kNewCertLabel); });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getCertB64() {
  return inFrame([this] { return certObjectB64(control::kUserCertLabel); });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getNewCertB64() {
  return inFrame([this] { return certObjectB64(control::kNewCertLabel); });
}

}  // namespace kestrune
