// The end of a long-running program: the user's interrupt or the service manager's stop
// (SIGINT, SIGTERM on Linux), taken as a request to stop cleanly rather than to die.
#pragma once

#include <string>

namespace kestrune::platform {

// watchStopSignals turns the stop signals into a request that waitForStopSignal collects, and
// lets writes to a closed pipe or socket fail instead of ending the process. Call it once,
// before starting threads. False with the reason.
bool watchStopSignals(std::string& why);

// waitForStopSignal returns once a stop signal has arrived (at once when one came before).
void waitForStopSignal();

}  // namespace kestrune::platform
