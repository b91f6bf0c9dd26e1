// The `script` command: JSON Lines in, one JSON object out per call, all calls on one control
// in one process so that the token session lives across them.
#pragma once

#include <istream>
#include <ostream>

namespace kestrune::host {

// runScript reads calls from in until its end and writes one line per call to out. Each call
// is a JSON array: the method name, then its in-arguments (strings for texts, integers for
// I4). Blank lines and lines starting with '#' are skipped. It returns 0 when every call was
// made, whatever the control answered, and 1 when any line faulted (or, with failOnError,
// when any call left a non-zero lastError); the run goes on past either.
int runScript(std::istream& in, std::ostream& out, bool failOnError = false);

}  // namespace kestrune::host
