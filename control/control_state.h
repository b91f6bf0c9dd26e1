// ControlState: the fields of the control, in the order of its record, and the process-wide
// session that every instance shares. The control's internal operations are free functions
// over this state, declared by area (cert_internal.h, identity_internal.h, ...), so a new
// area adds its own header instead of growing the class.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "TVCAPI/tvcapi_ptr.h"
#include "common/ptr.h"
#include "control/control_codes.h"
#include "control/fixed_text.h"

// Records of the FEDI layer (their Free<T> in FEDIX509/fedi_x509.h, which the control's
// sources include).
struct FEDI_CAPUBKEY;
struct FEDICERT;

namespace kestrune {

namespace token {
struct TokenSession;
}

namespace control {

struct ControlState {
  // session is the process-wide token session, null while none is open. The session and
  // the PIN-verified flag are read where they live, so every instance sees the logins and
  // closings of the others at once.
  token::TokenSession* session() const noexcept;
  // pinVerified is 1 once checkPassword has logged in on the open session; closing the
  // session clears it.
  std::int32_t pinVerified() const noexcept;
  void setPinVerified(std::int32_t verified) noexcept;

  std::int32_t lastErrorCode = +ControlCode::kOk;
  FixedText<256> libraryName;
  std::int32_t tokenType = -1;
  std::int32_t showDebug = 0;
  Ptr<FEDI_CAPUBKEY> caKeyRecord;
  Ptr<FEDICERT> caCertificate;
  Ptr<FEDICERT> userCertificate;
  std::optional<std::string> sid1Cache;
  std::optional<std::string> sid2Cache;
  FixedText<256> keyLabel;
  FixedText<256> certLabel;
  // The CryptoAPI signing session: the signer's key and certificate, held from
  // FEDIMessageSignWithCSP_Init to _Final.
  Ptr<TVCAPIHandle> cspPrivateKey;
  Ptr<TVCAPIHandle> cspCertificate;
};

}  // namespace control
}  // namespace kestrune
