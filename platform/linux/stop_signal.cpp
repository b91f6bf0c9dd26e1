// The stop signals through a pipe: the handler only writes a byte (what a handler may do), the
// waiting thread reads it.
#include "platform/stop_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace kestrune::platform {
namespace {

int stopPipe[2] = {-1, -1};

void noteStop(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

bool watchStopSignals(std::string& why) {
  if (stopPipe[0] < 0 && ::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    why = "no pipe for the stop signals";
    return false;
  }
  // The reading end blocks; the handler's end never does (a full pipe has a stop already).
  ::fcntl(stopPipe[0], F_SETFL, 0);
  struct sigaction action {};
  action.sa_handler = noteStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0 ||
      ::sigaction(SIGPIPE, &ignore, nullptr) != 0) {
    why = "the stop signals can't be caught";
    return false;
  }
  return true;
}

void waitForStopSignal() {
  char byte = 0;
  for (;;) {
    const ssize_t n = ::read(stopPipe[0], &byte, 1);
    if (n == 1) return;
    if (n < 0 && errno == EINTR) continue;
    return;  // no pipe: nothing can be waited for
  }
}

}  // namespace kestrune::platform
