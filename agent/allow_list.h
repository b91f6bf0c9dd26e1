// The allow-list as the agent holds it while it runs: origins.json read again whenever it
// changes, so that `kestrune origins add` takes effect without a restart.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune::agent {

class AllowList {
 public:
  // AllowList reads path (empty: no file, no origin allowed) when first asked.
  explicit AllowList(std::string path) : path_(std::move(path)) {}

  // origins returns the allowed origins as the file says now: read again when its
  // modification time or size changed since the last read. A file that can't be used allows
  // no origin; its reason goes to standard error once per change of the file.
  std::vector<std::string> origins();

 private:
  struct Stamp {
    bool exists = false;
    std::filesystem::file_time_type modified{};
    std::uintmax_t size = 0;
    bool operator==(const Stamp&) const = default;
  };
  Stamp stamp() const;

  const std::string path_;
  std::mutex mutex_;
  bool read_ = false;
  Stamp stamp_;
  std::vector<std::string> origins_;
};

}  // namespace kestrune::agent
