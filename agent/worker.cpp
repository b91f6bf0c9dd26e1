#include "agent/worker.h"

#include <openssl/crypto.h>

#include <string>

#include "control/TVFEDIMiniKeyCrypt.h"
#include "tools/kestrune/script_line.h"

namespace kestrune::agent {
namespace {

using host::Json;

// A call line's bound: a signing call's data is the largest argument a page sends.
constexpr std::size_t kMaxLine = 64 * 1024 * 1024;

enum class LineRead { line, tooLong, end };

// appendWiped adds a byte to line; when the text must move to a larger buffer, the old one is
// wiped first: a line may hold a PIN, and a reallocation would leave a copy behind.
void appendWiped(std::string& line, char c) {
  if (line.size() == line.capacity()) {
    std::string larger;
    larger.reserve(line.capacity() * 2 + 64);
    larger = line;
    OPENSSL_cleanse(line.data(), line.size());
    line.swap(larger);
  }
  line.push_back(c);
}

// readBoundedLine reads up to a line feed; a line over the bound is read to its end and
// dropped, never held whole.
LineRead readBoundedLine(std::streambuf& in, std::string& line) {
  line.clear();
  bool tooLong = false;
  bool any = false;
  for (int c = in.sbumpc(); c != std::char_traits<char>::eof(); c = in.sbumpc()) {
    any = true;
    if (c == '\n') return tooLong ? LineRead::tooLong : LineRead::line;
    if (tooLong) continue;
    if (line.size() == kMaxLine) {
      OPENSSL_cleanse(line.data(), line.size());
      line.clear();
      line.shrink_to_fit();
      tooLong = true;
      continue;
    }
    appendWiped(line, static_cast<char>(c));
  }
  if (!any) return LineRead::end;
  return tooLong ? LineRead::tooLong : LineRead::line;
}

Json faultLine(const std::string& why, const char* kind) {
  Json fault;
  fault["fault"] = why;
  fault["kind"] = kind;
  return fault;
}

}  // namespace

int runWorker(std::istream& in, std::ostream& out, const WebPolicy& policy) {
  TVFEDIMiniKeyCrypt control;
  const host::CallCheck check = [&policy](const com::Method& method, Json& args, std::string& why) {
    return applyWebPolicy(policy, method, args, why);
  };
  std::streambuf* input = in.rdbuf();
  if (input == nullptr) return 1;
  std::string line;
  while (true) {
    const LineRead read = readBoundedLine(*input, line);
    if (read == LineRead::end) break;
    Json answer;
    if (read == LineRead::tooLong) {
      answer = faultLine("the line is longer than 64 MiB", "bad-call");
    } else {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string fault;
      const host::LineOutcome outcome = host::runScriptLine(control, line, check, answer, fault);
      OPENSSL_cleanse(line.data(), line.size());  // it may hold a PIN
      if (outcome == host::LineOutcome::refused) answer = faultLine(fault, "refused");
      if (outcome == host::LineOutcome::badCall) answer = faultLine(fault, "bad-call");
    }
    // Every line gets its answer at once: the agent waits for it before the next call.
    out << host::dumpLine(answer) << '\n' << std::flush;
    if (!out) return 1;
  }
  return 0;
}

}  // namespace kestrune::agent
