// The user's consent before a page uses the token: which calls need it and how it is asked.
#pragma once

#include <string>

#include "com/method_table.h"

namespace kestrune::agent {

// needsConsent tells whether the method changes the token or the certificate, or signs:
// checkPassword, setPassword, makeCard, setSID, setCardSN, the signing methods (sign, signB64,
// signHash, FEDIMessageSign*), the requests that change the certificate at the authority
// (newCertificate, extendCertificate, revokeCertificate, makeRequestCert) and storing
// certificates (loadCert*, loadCACert*, loadMultiCertB64).
bool needsConsent(const com::Method& method);

enum class Consent { allowed, refused, unavailable };

// askConsent asks the user whether origin may make calls of that kind in this session:
// KESTRUNE_CONSENT=allow|deny when set (for tests), else the terminal when the agent has one,
// else a desktop prompt; unavailable when none of them can ask (the call is then refused).
Consent askConsent(const std::string& origin, const com::Method& method);

}  // namespace kestrune::agent
