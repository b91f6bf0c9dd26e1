#include "platform/refused_files.h"

#include <mutex>
#include <utility>

namespace kestrune::platform {
namespace {

std::mutex sinkLock;
RefusedFileSink installed;

}  // namespace

RefusedFileSink setRefusedFileSink(RefusedFileSink sink) {
  const std::lock_guard<std::mutex> hold(sinkLock);
  return std::exchange(installed, std::move(sink));
}

void reportRefusedFile(const std::string& path) {
  const std::lock_guard<std::mutex> hold(sinkLock);
  if (installed) installed(path);
}

}  // namespace kestrune::platform
