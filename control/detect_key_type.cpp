// Deciding a token's type, and with it the label of its signing key.
#include <vector>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/key_type.h"
#include "token/token.h"

namespace kestrune {

std::int32_t TVFEDIMiniKeyCrypt::detectKeyType() {
  if (const auto code = connectToken(nullptr); code != kOk) {
    lastErrorCode = code;
    return control::kNoTokenType;
  }
  token::p11_SetPrivateObjects(0);

  const auto labelled = [this](std::int32_t type) {
    keyLabel.assign(control::kLabelledTypes[type].privateKey);
    return type;
  };
  if (tokenType >= control::kLinkway && tokenType <= control::kTaiOne) return labelled(tokenType);
  if (tokenType < 0) {
    for (std::int32_t type = control::kLinkway; type <= control::kTaiOne; ++type) {
      if (token::p11_ObjectExists(tokenSession, control::kLabelledTypes[type].publicKey) ==
          token::kTokenOk) {
        return labelled(type);
      }
    }
  }

  std::vector<token::TokenObjectRecord> certificates;
  if (token::p11_ListObjects(tokenSession, token::kKindCertificate, certificates) !=
          token::kTokenOk ||
      certificates.empty()) {
    return control::kNoTokenType;
  }
  const auto& label = certificates.front().label;
  if (label.size() > decltype(keyLabel)::kMaxLength) return control::kNoTokenType;
  keyLabel.assign(label);
  certLabel.assign(label);
  return control::kZrml;
}

}  // namespace kestrune
