// FEDIMessageSign: the token's side of the EDIFACT security envelope: the token type, the
// signer's identity read from the token, and the token's signature.
#include <span>

#include "control/control_internal.h"
#include "control/edifact_envelope.h"
#include "control/identity_internal.h"

namespace kestrune {

std::optional<std::u16string> TVFEDIMiniKeyCrypt::FEDIMessageSign(std::u16string_view SourceData) {
  return control::inFrame(*this, [&]() -> std::optional<std::u16string> {
    const std::int32_t type = control::detectKeyType(*this);
    lastErrorCode = +ControlCode::kNotCompleted;
    if (pinVerified() == 0) {
      lastErrorCode = +ControlCode::kPinNotVerified;
      return std::nullopt;
    }
    control::EnvelopeSigner signer;
    signer.keyType = type;
    // The identifiers are read as getCSN, getSID1 and getSID2 read them; which one failed,
    // and why, isn't reported: any of them missing is 12.
    signer.readIdentity = [&](edifact::SignerIdentity& identity) -> std::int32_t {
      const bool haveCsn = control::readCsn(*this, type, identity.csn) == +ControlCode::kOk;
      control::readSid(*this, 1, type);
      control::readSid(*this, 2, type);
      if (!haveCsn || !sid1Cache || !sid2Cache) return +ControlCode::kReadFailed;
      identity.sid1 = *sid1Cache;
      identity.sid2 = *sid2Cache;
      return +ControlCode::kOk;
    };
    signer.sign = [&](std::string_view data, std::string& hex) -> std::int32_t {
      const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data.data()),
                                                data.size());
      auto signature = control::signDigest(*this, bytes, true, type);
      if (!signature) return lastErrorCode;
      hex = std::move(*signature);
      return +ControlCode::kOk;
    };
    return control::signedEnvelope(*this, SourceData, signer);
  });
}

}  // namespace kestrune
