// The check every fuzz target makes of what it found: a broken rule aborts with the target's
// name and the rule, which libFuzzer reports as a crash and keeps the input of.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace kestrune::fuzz {

inline void require(const char* target, bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "%s: %s\n", target, what);
  std::abort();
}

}  // namespace kestrune::fuzz
