// The demo's steps, in order: the control's methods called as a web page scripts them, against
// the demo's token and authority, and the few things done beside the control (the files of the
// signed message and its verification). Each step judges its own outcome.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "tools/kestrune/demo_checks.h"
#include "tools/kestrune/method_call.h"

namespace kestrune::host {

// What the steps share while the demo runs.
struct DemoContext {
  std::string dir;
  // The authority: its initiation URL, the holder's pass phrase, its certificate bag (Base64)
  // and how it dates a holder's certificates.
  std::string caUrl;
  std::string passPhrase;
  std::string caBag;
  std::int64_t lifetimeSeconds = 0;
  std::int64_t backdateSeconds = 0;
  TVFEDIMiniKeyCrypt control;
  // When newCertificate went out and when it came back: the authority issued in between.
  std::int64_t requestedAt = 0;
  std::int64_t answeredAt = 0;
  CertificateFacts current;  // the certificate newCertificate stored on the token
  CertificateFacts renewal;  // the renewal extendCertificate parked beside it
  Ptr<X509> cspSigner;       // the CryptoAPI signer's X.509 certificate, once issued
};

struct StepOutcome {
  bool asExpected = false;
  std::optional<std::string> result;  // shown after the title; none for no result
  std::string note;                   // what the result means, or why it is not as expected
  std::vector<Message> messages;      // message boxes the control showed
};

struct DemoStep {
  std::string title;
  std::function<StepOutcome(DemoContext&)> run;
};

// demoSteps returns the steps for a demo on the module modulePath and the authority whose
// initiation URL is caUrl.
std::vector<DemoStep> demoSteps(const std::string& modulePath, const std::string& caUrl);

}  // namespace kestrune::host
