#include "agent/rate_limit.h"

#include <algorithm>

namespace kestrune::agent {

bool RateLimiter::admit(const std::string& origin, Clock::time_point now) {
  if (perSecond_ == 0) return true;
  const std::lock_guard lock(mutex_);
  const auto [entry, added] = buckets_.try_emplace(origin, Bucket{double(perSecond_), now});
  Bucket& bucket = entry->second;
  if (!added && now > bucket.filled) {
    const double seconds = std::chrono::duration<double>(now - bucket.filled).count();
    bucket.tokens = std::min(double(perSecond_), bucket.tokens + seconds * perSecond_);
    bucket.filled = now;
  }
  if (bucket.tokens < 1) return false;
  bucket.tokens -= 1;
  return true;
}

}  // namespace kestrune::agent
