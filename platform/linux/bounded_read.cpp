#include "platform/linux/bounded_read.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kestrune::platform {
namespace {

void wipe(std::string& text) {
  explicit_bzero(text.data(), text.size());
  text.clear();
}

}  // namespace

BoundedRead readBounded(int fd, std::size_t expected, std::size_t limit, std::string& out) {
  wipe(out);
  // One byte beyond the expected size shows the end without a second buffer.
  out.resize(std::min(expected, limit) + 1);
  std::size_t done = 0;
  for (;;) {
    if (done == out.size()) {
      if (done > limit) {
        wipe(out);
        return BoundedRead::tooLarge;
      }
      std::string larger(std::min(limit + 1, done * 2), '\0');
      std::copy(out.begin(), out.end(), larger.begin());
      wipe(out);
      out.swap(larger);
    }
    const ssize_t n = read(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      wipe(out);
      return BoundedRead::failed;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  out.resize(done);  // shrinking keeps the buffer where it is
  return BoundedRead::ok;
}

}  // namespace kestrune::platform
