// makeCard and setSID: writing a user's identifiers (and, for makeCard, a fresh key pair) in
// the Linkway layout.
#include "control/control_internal.h"
#include "control/identity_objects.h"
#include "token/labels.h"

namespace kestrune {
namespace {

// Identifiers travel through 1024-byte buffers of code page 950.
constexpr std::size_t kIdentifierBuffer = 1024;
constexpr std::uint32_t kCardKeyBits = 512;

// writeIdentifiers writes "EOISID1", then "EOISID2", as public objects; both old ones are
// already deleted, so a failure never leaves an old identifier beside a new one.
std::int32_t writeIdentifiers(token::TokenSession* session, const std::string& sid1,
                              const std::string& sid2) {
  if (const auto code = control::writeText(session, token::kSid1Label, sid1);
      code != +ControlCode::kOk)
    return code;
  return control::writeText(session, token::kSid2Label, sid2);
}

}  // namespace

std::int32_t TVFEDIMiniKeyCrypt::makeCard(std::u16string_view UserID, std::u16string_view OrgID) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    if (pinVerified() == 0) return +ControlCode::kPinNotVerified;
    userCertificate.reset();
    sid1Cache.reset();
    sid2Cache.reset();
    const auto sid1 = control::toAnsiBuffer(*this, UserID, kIdentifierBuffer);
    if (!sid1) return lastErrorCode;
    const auto sid2 = control::toAnsiBuffer(*this, OrgID, kIdentifierBuffer);
    if (!sid2) return lastErrorCode;

    // The old credential goes first: identifiers, public key and certificates. The CA
    // certificate and the card serial number stay.
    token::p11_SetPrivateObjects(0);
    for (const std::string_view label :
         {token::kSid1Label, token::kSid2Label, token::kLinkwayPublicKeyLabel,
          token::kUserCertLabel, token::kNewCertLabel}) {
      if (const auto code = control::deleteIfPresent(session(), label); code != +ControlCode::kOk) {
        return code;
      }
    }
    if (const auto code = writeIdentifiers(session(), *sid1, *sid2); code != +ControlCode::kOk)
      return code;

    token::p11_SetPrivateObjects(1);
    for (const std::string_view label :
         {token::kLinkwayPublicKeyLabel, token::kLinkwayPrivateKeyLabel}) {
      if (const auto code = control::deleteIfPresent(session(), label); code != +ControlCode::kOk) {
        return code;
      }
    }
    if (token::p11_GenerateKeyPair(session(), token::kLinkwayPublicKeyLabel,
                                   token::kLinkwayPrivateKeyLabel,
                                   kCardKeyBits) != +token::TokenCode::kTokenOk) {
      return token::p11_GetLastRV() == CKR_DEVICE_MEMORY ? +ControlCode::kTokenMemoryFull
                                                         : +ControlCode::kKeyGenerationFailed;
    }
    return +ControlCode::kOk;
  });
}

// setSID works on the session opened before: it neither connects nor asks for the PIN.
std::int32_t TVFEDIMiniKeyCrypt::setSID(std::u16string_view UserID, std::u16string_view OrgID) {
  return control::codeMethod(*this, [&]() -> std::int32_t {
    sid1Cache.reset();
    sid2Cache.reset();
    const auto sid1 = control::toAnsiBuffer(*this, UserID, kIdentifierBuffer);
    if (!sid1) return lastErrorCode;
    const auto sid2 = control::toAnsiBuffer(*this, OrgID, kIdentifierBuffer);
    if (!sid2) return lastErrorCode;
    // Without a session nothing can be written; the token isn't touched at all.
    if (session() == nullptr) return +ControlCode::kWriteFailed;

    token::p11_SetPrivateObjects(0);
    for (const std::string_view label : {token::kSid1Label, token::kSid2Label}) {
      if (const auto code = control::deleteIfPresent(session(), label); code != +ControlCode::kOk) {
        return code;
      }
    }
    return writeIdentifiers(session(), *sid1, *sid2);
  });
}

}  // namespace kestrune
