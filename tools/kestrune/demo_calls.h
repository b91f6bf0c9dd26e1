// The kinds of demo step that make one call of the control and judge its outcome, shared by
// the life-cycle steps and the CryptoAPI signing steps.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/kestrune/demo_steps.h"

namespace kestrune::host {

// A verdict on a call's outcome: the meaning shown when it is as expected, else why not.
struct Verdict {
  bool asExpected = false;
  std::string note;
};

Verdict expected(std::string meaning);
// unexpected reports the control's lastError and its meaning, and what was wanted when given.
Verdict unexpected(const CallOutcome& outcome, const std::string& wanted = {});

using Arguments = std::function<std::vector<std::string>(const DemoContext&)>;
using Judge = std::function<Verdict(const CallOutcome&, DemoContext&)>;

// words gives the same arguments whatever the context.
Arguments words(std::vector<std::string> fixed);
// call makes a step of one method call through dispatch, as a script makes it.
DemoStep call(std::string title, const char* method, Arguments arguments, Judge judge);
// timed records when the step began and ended: the authority's clock ran in between.
DemoStep timed(DemoStep step);
// codeIs wants the number result want; textIs a text result; made only the call having been made.
Judge codeIs(std::int32_t want, std::string meaning);
Judge textIs(std::function<std::string(const DemoContext&)> want, std::string meaning);
Judge textIs(std::string want, std::string meaning);
Judge made(std::string meaning);
// textOf gives a text result in UTF-8.
std::string textOf(const CallOutcome& o);

}  // namespace kestrune::host
