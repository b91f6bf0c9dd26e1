// The hidden `agent-worker` command: one session of the local agent, started by `kestrune
// serve` with the origin's folder.
#pragma once

#include <ostream>
#include <string>

namespace kestrune::host {

// runAgentWorker answers calls on standard input until its end (see agent/worker.h): 0 then,
// 1 when the agent's module list can't be read, 2 when originFolder is not an existing
// absolute folder.
int runAgentWorker(const std::string& originFolder, std::ostream& err);

}  // namespace kestrune::host
