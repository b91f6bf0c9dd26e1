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

// FlatCall reads a line's shape without building it: a call is a flat array of a method name
// and at most kMaxParameters arguments. Parsed for real, a page's 64 MiB of "[1,1,1,..." or
// of nested arrays would grow into gigabytes of JSON values before the count is checked.
class FlatCall : public nlohmann::json_sax<Json> {
 public:
  bool tooLarge = false;

  bool null() override { return value(); }
  bool boolean(bool) override { return value(); }
  bool number_integer(number_integer_t) override { return value(); }
  bool number_unsigned(number_unsigned_t) override { return value(); }
  bool number_float(number_float_t, const string_t&) override { return value(); }
  bool string(string_t& text) override {
    OPENSSL_cleanse(text.data(), text.size());  // it may be a PIN
    return value();
  }
  bool binary(binary_t&) override { return value(); }
  bool start_object(std::size_t) override { return refuse(); }
  bool key(string_t&) override { return refuse(); }
  bool end_object() override { return refuse(); }
  bool start_array(std::size_t) override {
    if (depth_ > 0) return refuse();
    ++depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool value() { return ++values_ <= com::kMaxParameters + 1 || refuse(); }
  bool refuse() {
    tooLarge = true;
    return false;
  }
  int depth_ = 0;
  std::size_t values_ = 0;
};

bool isFlatCall(std::string_view line) {
  FlatCall shape;
  Json::sax_parse(line, &shape, nlohmann::detail::input_format_t::json, false);
  return !shape.tooLarge;
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
  // The files a call names are opened by the check, held through the call and finished after
  // it, before its answer goes out.
  CallFiles files;
  const host::CallCheck check = [&policy, &files](const com::Method& method, Json& args,
                                                  std::string& why) {
    return applyWebPolicy(policy, method, args, files, why);
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
      host::LineOutcome outcome = host::LineOutcome::badCall;
      if (isFlatCall(line)) {
        outcome = host::runScriptLine(control, line, check, answer, fault);
        files.finish();
      } else {
        fault = "a call is a JSON array of a method name and at most " +
                std::to_string(com::kMaxParameters) + " arguments, none nested";
      }
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
