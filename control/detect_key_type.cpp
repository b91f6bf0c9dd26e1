// Deciding a token's type, and with it the label of its signing key.
#include <vector>

#include "control/control_codes.h"
#include "control/key_type.h"
#include "control/session_internal.h"
#include "token/token.h"

namespace kestrune {

std::int32_t control::detectKeyType(ControlState& state) {
  if (const auto code = connectToken(state, nullptr); code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return control::kNoTokenType;
  }
  token::p11_SetPrivateObjects(0);

  const auto labelled = [&state](std::int32_t type) {
    state.keyLabel.assign(control::kLabelledTypes[type].privateKey);
    return type;
  };
  if (state.tokenType >= control::kLinkway && state.tokenType <= control::kTaiOne)
    return labelled(state.tokenType);
  if (state.tokenType < 0) {
    for (std::int32_t type = control::kLinkway; type <= control::kTaiOne; ++type) {
      if (token::p11_ObjectExists(state.session(), control::kLabelledTypes[type].publicKey) ==
          +token::TokenCode::kTokenOk) {
        return labelled(type);
      }
    }
  }

  std::vector<token::TokenObjectRecord> certificates;
  if (token::p11_ListObjects(state.session(), token::kKindCertificate, certificates) !=
          +token::TokenCode::kTokenOk ||
      certificates.empty()) {
    return control::kNoTokenType;
  }
  const auto& label = certificates.front().label;
  if (label.size() > decltype(state.keyLabel)::kMaxLength) return control::kNoTokenType;
  state.keyLabel.assign(label);
  state.certLabel.assign(label);
  return control::kZrml;
}

}  // namespace kestrune
