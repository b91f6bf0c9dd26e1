#include "agent/allow_list.h"

#include <iostream>
#include <system_error>

#include "agent/agent_config.h"
#include "agent/request_policy.h"

namespace kestrune::agent {

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
  if (read_ && now == stamp_) return origins_;
  std::vector<std::string> fresh;
  std::string why;
  if (loadOrigins(path_, fresh, why) != ConfigStatus::ok) {
    std::cerr << "kestrune serve: " << logText(path_)
              << " can't be used, no page is answered: " << logText(why) << std::endl;
    fresh.clear();
  }
  origins_ = std::move(fresh);
  stamp_ = now;
  read_ = true;
  return origins_;
}

}  // namespace kestrune::agent
