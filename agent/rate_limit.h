// Requests per origin over time: a page in a loop must not starve the others, nor keep the
// agent's threads and token busy.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace kestrune::agent {

// RateLimiter is a token bucket per origin: perSecond requests a second on average, bursts of
// up to perSecond; 0 means no limit. Thread-safe.
class RateLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RateLimiter(unsigned perSecond) : perSecond_(perSecond) {}

  // admit takes one request of origin at now: false when its bucket is empty.
  bool admit(const std::string& origin, Clock::time_point now);

 private:
  struct Bucket {
    double tokens = 0;
    Clock::time_point filled;
  };

  const unsigned perSecond_;
  std::mutex mutex_;
  std::map<std::string, Bucket> buckets_;  // only allowed origins reach it: a short list
};

}  // namespace kestrune::agent
