// The user's consent before a page uses the token: which calls need it and how it is asked.
#pragma once

#include <string>
#include <string_view>

#include "com/method_table.h"

namespace kestrune::agent {

// What a call does to the user's token or certificate, as the user is asked about it; none
// for the calls that only read.
enum class ConsentKind {
  none,
  logIn,              // checkPassword
  changePin,          // setPassword
  personalise,        // makeCard, setSID, setCardSN
  sign,               // sign, signB64, signHash, FEDIMessageSign*
  changeCertificate,  // newCertificate, extendCertificate, revokeCertificate, makeRequestCert
  storeCertificates,  // loadCert*, loadCACert*, loadMultiCertB64
};

// consentKind returns the kind of the method's call, none for the ones without consent.
ConsentKind consentKind(const com::Method& method);

// needsConsent tells whether the method changes the token or the certificate, or signs:
// checkPassword, setPassword, makeCard, setSID, setCardSN, the signing methods (sign, signB64,
// signHash, FEDIMessageSign*), the requests that change the certificate at the authority
// (newCertificate, extendCertificate, revokeCertificate, makeRequestCert) and storing
// certificates (loadCert*, loadCACert*, loadMultiCertB64).
bool needsConsent(const com::Method& method);

// consentQuestion returns the question put to the user: the origin, what it wants and the
// method's name ("https://bank.example wants to sign with your token (FEDIMessageSign). Allow
// for this session?"); never an argument of the call.
std::string consentQuestion(std::string_view origin, const com::Method& method);

enum class Consent { allowed, refused, unavailable };

// askConsent asks the user whether origin may make calls of that kind in this session:
// KESTRUNE_CONSENT=allow|deny when set (for tests; any other value refuses), else the terminal
// when the agent has one, else a desktop prompt; unavailable when none of them can ask (the
// call is then refused). One question at a time: a second caller waits for the first answer.
Consent askConsent(const std::string& origin, const com::Method& method);

}  // namespace kestrune::agent
