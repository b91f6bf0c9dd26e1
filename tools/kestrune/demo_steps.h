// The demo's steps, in order: the control's methods called as a web page scripts them, and the
// few things done beside the control (the authority's issuing, the files of the signed message,
// its verification). Each step judges its own outcome.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ca/issuing.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "tools/kestrune/demo_authority.h"
#include "tools/kestrune/method_call.h"

namespace kestrune::host {

// What the steps share while the demo runs.
struct DemoContext {
  std::string dir;
  std::string modulePath;
  TVFEDIMiniKeyCrypt control;
  std::int64_t issuedAt = 0;    // when the authority issued (its certificates start then)
  ca::RsaPublicParts tokenKey;  // the token's public key, read directly from the token
  ca::KeyPtr authorityKey;      // the test authority's signing key
  IssuedBag caBag;              // the authority's own certificate bag
  IssuedBag userBag;            // the user's certificate bag
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

// demoSteps returns the steps for a demo on the module modulePath.
std::vector<DemoStep> demoSteps(const std::string& modulePath);

}  // namespace kestrune::host
