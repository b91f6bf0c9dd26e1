// ConsentGate: the decision in front of a call that needs the user's consent. An allow holds
// for the session that got it; a refusal holds for the origin and the kind of call, across
// sessions, for a time that doubles with each refusal: a page that reopens sessions can't put
// the question again and again.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "agent/consent.h"

namespace kestrune::agent {

class ConsentGate {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;
  using Ask = std::function<Consent(const std::string& question)>;

  // A first refusal holds for a minute, each further one twice as long as the one before,
  // a day at most; an allow of the kind ends the series.
  static constexpr Clock::duration kFirstBackOff = std::chrono::minutes(1);
  static constexpr Clock::duration kLongestBackOff = std::chrono::hours(24);

  // now gives the time (the steady clock in the agent, a test's own in tests); ask puts a
  // question to the user.
  ConsentGate(Now now, Ask ask) : now_(std::move(now)), ask_(std::move(ask)) {}

  // decide answers a call of method by origin in a session whose allowed kinds are
  // sessionAllowed (guarded by the caller; an allow is added to it). One question at a time:
  // a caller that waited for another's question sees that question's refusal and isn't asked.
  ConsentDecision decide(std::set<ConsentKind>& sessionAllowed, std::string_view origin,
                         const com::Method& method, std::string_view stakes);

 private:
  struct Refusal {
    unsigned count = 0;
    Clock::time_point until;
  };
  using Key = std::pair<std::string, ConsentKind>;

  // refusedText returns the refusal's text while a refusal of key holds at now, else empty.
  std::string refusedText(const Key& key, Clock::time_point now);
  // remember records the answer: a refusal lengthens the series, an allow ends it.
  Clock::duration remember(const Key& key, Consent answer, Clock::time_point now);

  const Now now_;
  const Ask ask_;
  // Held while a question is out, refusals looked up again under it.
  std::mutex askMutex_;
  // Guards refusals_. The origins are those of the allow-list, so the map stays small.
  std::mutex refusalsMutex_;
  std::map<Key, Refusal, std::less<>> refusals_;
};

// waitText names how long until a refusal ends, rounded up: "40 seconds", "2 minutes",
// "1 hour 5 minutes".
std::string waitText(ConsentGate::Clock::duration left);

}  // namespace kestrune::agent
