#include "agent/allow_list.h"

#include <iostream>
#include <system_error>

#include "agent/agent_config.h"
#include "agent/request_policy.h"

namespace kestrune::agent {
namespace {

// Longer than any file system's time stamp grain: a file changed this long before it was read
// can only change again with a new time stamp.
constexpr std::chrono::seconds kStampGrain{2};

}  // namespace

AllowList::Stamp AllowList::stamp() const {
  Stamp now;
  std::error_code error;
  now.modified = std::filesystem::last_write_time(path_, error);
  if (error) return {};
  now.size = std::filesystem::file_size(path_, error);
  now.exists = !error;
  return now;
}

std::vector<std::string> AllowList::origins() {
  if (path_.empty()) return {};
  const std::lock_guard lock(mutex_);
  const Stamp now = stamp();
  if (read_ && settled_ && now == stamp_) return origins_;
  const auto readAt = std::filesystem::file_time_type::clock::now();
  std::vector<std::string> fresh;
  std::string why;
  const bool usable = loadOrigins(path_, fresh, why) == ConfigStatus::ok;
  if (!usable) fresh.clear();
  // Told once per change of the file, not at each reading of an unsettled one.
  const bool changed = !read_ || !(now == stamp_) || usable != usable_ || fresh != origins_;
  if (!usable && changed) {
    std::cerr << "kestrune serve: " << logText(path_)
              << " can't be used, no page is answered: " << logText(why) << std::endl;
  }
  origins_ = std::move(fresh);
  stamp_ = now;
  usable_ = usable;
  read_ = true;
  settled_ = !now.exists || now.modified + kStampGrain < readAt;
  return origins_;
}

}  // namespace kestrune::agent
