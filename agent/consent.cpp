#include "agent/consent.h"

#include <mutex>
#include <vector>

#include "agent/consent_gate.h"
#include "agent/printable_text.h"
#include "agent/sessions.h"
#include "platform/consent_prompt.h"
#include "platform/platform.h"

namespace kestrune::agent {
namespace {

using enum com::Effect;

constexpr std::size_t kMaxOrigin = 200;
constexpr std::size_t kMaxStakes = 400;

// effectText says what an effect does, as part of "wants to ..."; empty for one not worth a
// word in a question (ending a login).
std::string_view effectText(com::Effect effect) {
  switch (effect) {
    case reads:
      return "read your token";
    case readsFile:
      return "read a file";
    case configures:
      return "change the control's settings";
    case logsIn:
      return "log in with your PIN";
    case logsOut:
      return {};
    case changesPin:
      return "change your token's PIN";
    case writesIdentity:
      return "write your identity on your token";
    case makesKey:
      return "make a new key pair on your token, deleting the old one and its certificates";
    case talksToUrl:
      return "contact a certification authority";
    case signs:
      return "sign with your key";
    case changesCertificate:
      return "change your certificate at the certification authority";
    case storesOnToken:
      return "store a certificate on your token";
    case writesFile:
      return "write a file";
  }
  return {};
}

// wants joins the effects' texts: "to A, B and C".
std::string wants(com::Effects effects) {
  std::vector<std::string_view> parts;
  for (std::size_t i = 0; i < com::kEffectCount; ++i) {
    const auto effect = static_cast<com::Effect>(i);
    if (effects.has(effect) && !effectText(effect).empty()) parts.push_back(effectText(effect));
  }
  if (parts.empty()) return "to use your token";
  std::string text = "to ";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += i + 1 == parts.size() ? " and " : ", ";
    text += parts[i];
  }
  return text;
}

// The terminal and the desktop are one user: a second question waits for the first answer
// instead of two prompts racing for the same keyboard.
std::mutex promptMutex;

}  // namespace

ConsentKind consentKind(com::Effects effects) {
  if (effects.has(changesPin)) return ConsentKind::changePin;
  if (effects.hasAnyOf(com::Effects(writesIdentity, makesKey))) return ConsentKind::personalise;
  if (effects.has(changesCertificate)) return ConsentKind::changeCertificate;
  if (effects.has(signs)) return ConsentKind::sign;
  if (effects.has(storesOnToken)) return ConsentKind::storeCertificates;
  if (effects.has(logsIn)) return ConsentKind::logIn;
  return ConsentKind::none;
}

ConsentKind consentKind(const com::Method& method) {
  return consentKind(method.effects);
}

bool needsConsent(const com::Method& method) {
  return consentKind(method) != ConsentKind::none;
}

std::string_view consentKindText(ConsentKind kind) {
  switch (kind) {
    case ConsentKind::logIn:
      return "log in to the token";
    case ConsentKind::changePin:
      return "change the token's PIN";
    case ConsentKind::personalise:
      return "write the user's identity on the token";
    case ConsentKind::sign:
      return "sign with the user's key";
    case ConsentKind::changeCertificate:
      return "change the certificate at the certification authority";
    case ConsentKind::storeCertificates:
      return "store certificates on the token";
    case ConsentKind::none:
      break;
  }
  return "use the token";
}

std::string consentQuestion(std::string_view origin, const com::Method& method,
                            std::string_view stakes) {
  std::string question = printable(origin, kMaxOrigin);
  question += " wants ";
  question += wants(method.effects);
  question += " (";
  question += method.name;
  question += ")";
  if (!stakes.empty()) {
    question += ": ";
    question += printable(stakes, kMaxStakes);
  }
  question += ". Allow for this session?";
  return question;
}

Consent askConsent(const std::string& question) {
  const std::string preset = platform::environmentVariable("KESTRUNE_CONSENT");
  if (!preset.empty()) return preset == "allow" ? Consent::allowed : Consent::refused;
  const std::lock_guard lock(promptMutex);
  platform::PromptAnswer answer = platform::askOnTerminal(question);
  if (answer == platform::PromptAnswer::unavailable) {
    answer = platform::askOnDesktop("Kestrune", question);
  }
  switch (answer) {
    case platform::PromptAnswer::yes:
      return Consent::allowed;
    case platform::PromptAnswer::no:
      return Consent::refused;
    case platform::PromptAnswer::unavailable:
      break;
  }
  return Consent::unavailable;
}

ConsentDecision checkConsent(Session& session, const com::Method& method, std::string_view stakes) {
  // The agent process's one gate: its refusals hold for every session of an origin.
  static ConsentGate gate([] { return ConsentGate::Clock::now(); }, askConsent);
  return gate.decide(session.allowed, session.origin, method, stakes);
}

}  // namespace kestrune::agent
