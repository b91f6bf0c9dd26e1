// Construction and destruction of the control.
#include "control/TVFEDIMiniKeyCrypt.h"

#include "FEDIX509/fedi_x509.h"
#include "control/crypto_registration.h"
#include "control/csp_internal.h"
#include "control/method_frame.h"
#include "control/session_internal.h"
#include "token/token.h"

namespace kestrune {

TVFEDIMiniKeyCrypt::TVFEDIMiniKeyCrypt() {
  control::registerCryptoOnce();
}

// Destroying any instance ends the token work of all of them: the shared session is closed
// and every PKCS#11 library unloaded.
TVFEDIMiniKeyCrypt::~TVFEDIMiniKeyCrypt() {
  control::inFrame(*this, [this] {
    control::closeSession(*this);
    caKeyRecord.reset();
    caCertificate.reset();
    userCertificate.reset();
    sid1Cache.reset();
    sid2Cache.reset();
  });
  token::p11_UnloadAll();
  // A CryptoAPI session left open ends with its key's provider context and PIN.
  control::endCspSession(*this);
}

}  // namespace kestrune
