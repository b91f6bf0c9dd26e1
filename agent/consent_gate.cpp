#include "agent/consent_gate.h"

#include <algorithm>

namespace kestrune::agent {
namespace {

// Past this many refusals in a row the back-off is at its longest anyway (2^11 minutes is
// more than a day); the count stops there so that the doubling can't overflow.
constexpr unsigned kMaxCount = 12;

ConsentGate::Clock::duration backOff(unsigned count) {
  const ConsentGate::Clock::duration doubled = ConsentGate::kFirstBackOff * (1LL << (count - 1));
  return std::min(doubled, ConsentGate::kLongestBackOff);
}

std::string plural(long long number, const char* unit) {
  return std::to_string(number) + " " + unit + (number == 1 ? "" : "s");
}

}  // namespace

std::string waitText(ConsentGate::Clock::duration left) {
  using std::chrono::ceil;
  const long long seconds = std::max<long long>(1, ceil<std::chrono::seconds>(left).count());
  if (seconds < 60) return plural(seconds, "second");
  const long long minutes = (seconds + 59) / 60;
  if (minutes < 60) return plural(minutes, "minute");
  std::string text = plural(minutes / 60, "hour");
  if (minutes % 60 != 0) text += " " + plural(minutes % 60, "minute");
  return text;
}

std::string ConsentGate::refusedText(const Key& key, Clock::time_point now) {
  const std::lock_guard lock(refusalsMutex_);
  const auto found = refusals_.find(key);
  if (found == refusals_.end() || now >= found->second.until) return {};
  return "the user refused to let this origin " + std::string(consentKindText(key.second)) +
         "; asking again is possible in " + waitText(found->second.until - now);
}

ConsentGate::Clock::duration ConsentGate::remember(const Key& key, Consent answer,
                                                   Clock::time_point now) {
  const std::lock_guard lock(refusalsMutex_);
  if (answer == Consent::allowed) {
    refusals_.erase(key);
    return {};
  }
  Refusal& refusal = refusals_[key];
  refusal.count = std::min(refusal.count + 1, kMaxCount);
  const Clock::duration wait = backOff(refusal.count);
  refusal.until = now + wait;
  return wait;
}

ConsentDecision ConsentGate::decide(std::set<ConsentKind>& sessionAllowed, std::string_view origin,
                                    const com::Method& method, std::string_view stakes) {
  const ConsentKind kind = consentKind(method);
  if (kind == ConsentKind::none || sessionAllowed.count(kind) != 0) return {true, {}};
  const Key key(std::string(origin), kind);
  // A refusal that holds answers at once, without waiting for a question that is out.
  if (std::string text = refusedText(key, now_()); !text.empty()) return {false, std::move(text)};
  const std::lock_guard asking(askMutex_);
  // The question this caller waited for may have been this origin's, of this kind.
  if (std::string text = refusedText(key, now_()); !text.empty()) return {false, std::move(text)};
  const Consent answer = ask_(consentQuestion(origin, method, stakes));
  switch (answer) {
    case Consent::allowed:
      remember(key, answer, now_());
      sessionAllowed.insert(kind);
      return {true, {}};
    case Consent::refused:
      return {false, "the user refused the call; asking again is possible in " +
                         waitText(remember(key, answer, now_()))};
    case Consent::unavailable:
      break;
  }
  // Nobody was asked, so nobody refused: the next call tries again.
  return {false, "the user can't be asked for consent"};
}

}  // namespace kestrune::agent
