// The agent's reading of what pages and workers send it, from any bytes: a page's call body
// becomes a worker line only as a JSON array of the method's name and its scalar arguments,
// with stakes that are printable and bounded; a worker's answer line is sorted without a
// crash; a Host header is ours only in the forms the agent listens under; a log line quotes
// nothing unprintable.
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "agent/request_policy.h"
#include "agent/worker_calls.h"
#include "fuzz/fuzz_require.h"

namespace {
void require(bool condition, const char* what) {
  kestrune::fuzz::require("agent_call_fuzzer", condition, what);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  kestrune::agent::CallLine call;
  kestrune::agent::AgentError error = kestrune::agent::AgentError::badJson;
  std::string why;
  if (kestrune::agent::callLine(text, call, error, why)) {
    require(call.method != nullptr, "a call line without its method");
    const auto line = nlohmann::json::parse(call.line, nullptr, false);
    require(line.is_array() && !line.empty() && line.front().is_string(),
            "a call line that is not [method, args...]");
    for (std::size_t i = 1; i < line.size(); ++i) {
      require(line[i].is_string() || line[i].is_number(),
              "a call line with an argument that is neither text nor number");
    }
    // The stakes go into a question on the user's terminal or desktop.
    require(call.stakes.size() <= 1000, "stakes of unbounded length");
    for (const char c : call.stakes) {
      require(c >= 0x20 && c < 0x7f, "stakes with a character that is not printable");
    }
  }

  (void)kestrune::agent::readWorkerAnswer(text);

  if (kestrune::agent::hostAllowed(text, 47011)) {
    require(text.size() <= 16 && text.ends_with(":47011"), "a Host of another form allowed");
  }
  for (const char c : kestrune::agent::logText(text)) {
    require(c >= 0x20 && c < 0x7f, "a log line with a character that is not printable");
  }
  return 0;
}
