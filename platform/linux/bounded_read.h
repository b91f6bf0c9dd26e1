// Reading a whole file through a descriptor already opened and checked, shared by the
// platform's file readers (configuration files, store entries, key containers, files named
// on a command line).
#pragma once

#include <cstddef>
#include <string>

namespace kestrune::platform {

enum class BoundedRead { ok, tooLarge, failed };

// readBounded reads fd to its end into out when it holds at most limit bytes: ok, tooLarge,
// failed (a read error). expected (the size fstat gave) sizes the buffer up front; a file that
// outgrows it moves to a larger buffer and the old one is wiped, so a secret read this way
// leaves no copy in freed memory. On failure out is wiped and empty; on success the caller
// wipes it when it holds a secret.
BoundedRead readBounded(int fd, std::size_t expected, std::size_t limit, std::string& out);

}  // namespace kestrune::platform
