// A page's call as the agent passes it to the session's worker, and the worker's answer as the
// agent passes it back:
//   {"method": "getSID1", "args": []}   ->   ["getSID1"]                  (the worker's line)
//   {"method", "result", ...}           ->   200, the answer as it is
//   {"fault": why, "kind": "refused"}   ->   403 call-refused
//   {"fault": why, "kind": "bad-call"}  ->   400 bad-call
// Anything else from the worker means it is broken: the session ends.
#pragma once

#include <string>
#include <string_view>

#include "agent/request_policy.h"
#include "com/method_table.h"

namespace kestrune::agent {

struct CallLine {
  const com::Method* method = nullptr;
  std::string line;    // holds the call's secrets: the caller wipes it once sent
  std::string stakes;  // what the call puts at stake, for a consent question (callStakes)
};

// callLine reads a call's body: an object with "method" (a method of the control, any case)
// and "args" (an array of texts and numbers; absent is none). Nothing else is accepted:
// badJson for text that isn't JSON, badCall for any other shape or an unknown method, with
// the reason in why, which never quotes an argument. The call's stakes are read from the
// parsed copy, and every text of that copy is wiped before it returns.
bool callLine(std::string_view body, CallLine& call, AgentError& error, std::string& why);

struct WorkerAnswer {
  enum class Kind { answer, refused, badCall, broken } kind = Kind::broken;
  std::string fault;  // the worker's reason, for refused and badCall
};

// readWorkerAnswer sorts a line the worker answered.
WorkerAnswer readWorkerAnswer(std::string_view line);

}  // namespace kestrune::agent
