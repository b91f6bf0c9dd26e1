// The control process of one agent session (`kestrune agent-worker`): calls in, one JSON line
// each, answers out, one JSON line each, on one control whose token session lives as long as
// the process.
//   in:  ["getSID1"]  ["checkPassword", "123456"]   (a `kestrune script` line)
//   out: {"method": "getSID1", "result": "U001", "lastError": 0, "messages": [...]}
//        {"fault": "why", "kind": "refused"}     the web policy refused the call
//        {"fault": "why", "kind": "bad-call"}    not a call (unknown method, wrong arguments)
#pragma once

#include <istream>
#include <ostream>

#include "agent/web_policy.h"

namespace kestrune::agent {

// runWorker answers every line of in until its end; 0 then. Secrets are wiped from every copy
// the worker made once the call is over.
int runWorker(std::istream& in, std::ostream& out, const WebPolicy& policy);

}  // namespace kestrune::agent
