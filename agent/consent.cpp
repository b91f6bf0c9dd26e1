#include "agent/consent.h"

#include <mutex>
#include <string_view>

#include "platform/consent_prompt.h"
#include "platform/platform.h"

namespace kestrune::agent {
namespace {

struct KindOf {
  std::string_view method;
  ConsentKind kind;
};

constexpr KindOf kKinds[] = {
    {"checkPassword", ConsentKind::logIn},
    {"setPassword", ConsentKind::changePin},
    {"makeCard", ConsentKind::personalise},
    {"setSID", ConsentKind::personalise},
    {"setCardSN", ConsentKind::personalise},
    {"sign", ConsentKind::sign},
    {"signB64", ConsentKind::sign},
    {"signHash", ConsentKind::sign},
    {"FEDIMessageSign", ConsentKind::sign},
    {"FEDIMessageSignWithCSP", ConsentKind::sign},
    {"FEDIMessageSignWithCSP_Init", ConsentKind::sign},
    {"FEDIMessageSignWithCSP_Update", ConsentKind::sign},
    {"FEDIMessageSignWithCSP_Final", ConsentKind::sign},
    {"newCertificate", ConsentKind::changeCertificate},
    {"extendCertificate", ConsentKind::changeCertificate},
    {"revokeCertificate", ConsentKind::changeCertificate},
    {"makeRequestCert", ConsentKind::changeCertificate},
    {"loadCert", ConsentKind::storeCertificates},
    {"loadCertB64", ConsentKind::storeCertificates},
    {"loadCACert", ConsentKind::storeCertificates},
    {"loadCACertB64", ConsentKind::storeCertificates},
    {"loadMultiCertB64", ConsentKind::storeCertificates},
};

std::string_view wants(ConsentKind kind) {
  switch (kind) {
    case ConsentKind::logIn:
      return "to log in to your token";
    case ConsentKind::changePin:
      return "to change your token's PIN";
    case ConsentKind::personalise:
      return "to write your identity on your token";
    case ConsentKind::sign:
      return "to sign with your token";
    case ConsentKind::changeCertificate:
      return "to change your certificate at the certification authority";
    case ConsentKind::storeCertificates:
      return "to store certificates on your token";
    case ConsentKind::none:
      break;
  }
  return "to use your token";
}

// The terminal and the desktop are one user: a second question waits for the first answer
// instead of two prompts racing for the same keyboard.
std::mutex promptMutex;

}  // namespace

ConsentKind consentKind(const com::Method& method) {
  for (const KindOf& entry : kKinds) {
    if (entry.method == method.name) return entry.kind;
  }
  return ConsentKind::none;
}

bool needsConsent(const com::Method& method) {
  return consentKind(method) != ConsentKind::none;
}

std::string consentQuestion(std::string_view origin, const com::Method& method) {
  std::string question(origin);
  question += " wants ";
  question += wants(consentKind(method));
  question += " (";
  question += method.name;
  question += "). Allow for this session?";
  return question;
}

Consent askConsent(const std::string& origin, const com::Method& method) {
  const std::string preset = platform::environmentVariable("KESTRUNE_CONSENT");
  if (!preset.empty()) return preset == "allow" ? Consent::allowed : Consent::refused;
  const std::string question = consentQuestion(origin, method);
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

}  // namespace kestrune::agent
