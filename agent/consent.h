// The user's consent before a page uses the token: which calls need it (from what the method
// table says each call does), the question put to the user, and the agent's gate in front of
// every call.
#pragma once

#include <string>
#include <string_view>

#include "com/method_table.h"

namespace kestrune::agent {

struct Session;

// What a call does to the user's token or certificate, as the user is asked about it; none
// for the calls that need no consent. A session's allows and an origin's refusals are kept
// per kind.
enum class ConsentKind {
  none,
  logIn,
  changePin,
  personalise,
  sign,
  changeCertificate,
  storeCertificates,
};

// consentKind returns the kind of a call with these effects: everything that changes the
// token, changes the certificate at the authority, signs or takes a PIN needs consent; reading,
// settings, files in the origin's folder and queries that only return what the authority sent
// don't (none). Of several effects the weightiest decides: a new certificate, signed and
// stored, is a change of the certificate.
ConsentKind consentKind(com::Effects effects);
// consentKind of a method is that of its row's effects.
ConsentKind consentKind(const com::Method& method);
bool needsConsent(const com::Method& method);

// consentKindText says what a kind lets an origin do: "sign with the user's key".
std::string_view consentKindText(ConsentKind kind);

// consentQuestion returns the question put to the user: the origin, what the call does (from
// its effects), the method's name and, when not empty, the stakes (callStakes):
//   "https://bank.example wants to sign with your key (FEDIMessageSign): message INVOIC,
//    reference 1, 120 bytes. Allow for this session?"
// The origin and the stakes are made printable and bounded here as well.
std::string consentQuestion(std::string_view origin, const com::Method& method,
                            std::string_view stakes);

enum class Consent { allowed, refused, unavailable };

// askConsent puts the question to the user: KESTRUNE_CONSENT=allow|deny when set (for tests;
// any other value refuses), else the terminal when the agent has one, else a desktop prompt;
// unavailable when none of them can ask. One question at a time: a second caller waits for
// the first answer.
Consent askConsent(const std::string& question);

struct ConsentDecision {
  bool allowed = false;
  std::string text;  // why not, for the page: never an argument of the call
};

// checkConsent is the agent's gate before a session's call: allowed at once for a call that
// needs no consent or whose kind the user allowed in this session; refused without a question
// while the user's last refusal of the kind for the session's origin lasts (ConsentGate);
// otherwise the user is asked, with the stakes. The caller holds session.callMutex. Safe to
// call from any number of threads; the refusals are the agent process's.
ConsentDecision checkConsent(Session& session, const com::Method& method, std::string_view stakes);

}  // namespace kestrune::agent
