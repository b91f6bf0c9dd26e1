#include "agent/worker_calls.h"

#include <openssl/crypto.h>

#include <span>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/call_stakes.h"

namespace kestrune::agent {
namespace {

using Json = nlohmann::ordered_json;

// wipeTexts overwrites every text held in value, keys too, without recursion: the body's
// nesting is the client's choice.
void wipeTexts(Json& value) {
  std::vector<Json*> pending{&value};
  while (!pending.empty()) {
    Json* next = pending.back();
    pending.pop_back();
    if (next->is_string()) {
      auto& text = next->get_ref<Json::string_t&>();
      OPENSSL_cleanse(text.data(), text.size());
    } else if (next->is_array()) {
      for (Json& item : *next) pending.push_back(&item);
    } else if (next->is_object()) {
      // Keys are constant in the map; the call's keys are fixed names, never a secret.
      for (auto& item : next->items()) pending.push_back(&item.value());
    }
  }
}

// dumpInto writes value into line, whose room is reserved beforehand so that no copy of a
// secret is left behind in a buffer given up while the line grows.
void dumpInto(const Json& value, std::size_t room, std::string& line) {
  line.clear();
  line.reserve(room);
  nlohmann::detail::serializer<Json> writer(nlohmann::detail::output_adapter<char>(line), ' ',
                                            Json::error_handler_t::replace);
  writer.dump(value, false, false, 0);
}

}  // namespace

bool callLine(std::string_view body, CallLine& call, AgentError& error, std::string& why) {
  Json parsed = Json::parse(body.begin(), body.end(), nullptr, false);
  struct Wipe {
    Json& value;
    ~Wipe() { wipeTexts(value); }
  } wipe{parsed};
  if (parsed.is_discarded()) {
    error = AgentError::badJson;
    why = "the body is not JSON";
    return false;
  }
  error = AgentError::badCall;
  if (!parsed.is_object()) {
    why = "a call is a JSON object";
    return false;
  }
  for (const auto& item : parsed.items()) {
    if (item.key() != "method" && item.key() != "args") {
      why = "a call has only \"method\" and \"args\"";
      return false;
    }
  }
  const auto method = parsed.find("method");
  if (method == parsed.end() || !method->is_string()) {
    why = "\"method\" names the method, as a text";
    return false;
  }
  call.method = com::findMethod(method->get_ref<const std::string&>());
  if (call.method == nullptr) {
    why = "the control has no such method";
    return false;
  }
  Json line = Json::array();
  line.push_back(std::string(call.method->name));
  if (const auto args = parsed.find("args"); args != parsed.end()) {
    if (!args->is_array()) {
      why = "\"args\" is an array";
      return false;
    }
    for (Json& arg : *args) {
      if (!arg.is_string() && !arg.is_number()) {
        why = "arguments are texts and numbers";
        return false;
      }
      line.push_back(std::move(arg));
    }
  }
  struct WipeLine {
    Json& value;
    ~WipeLine() { wipeTexts(value); }
  } wipeLine{line};
  const auto& items = line.get_ref<const Json::array_t&>();
  call.stakes = callStakes(*call.method, std::span(items).subspan(1));
  // JSON escapes a byte as six at most.
  dumpInto(line, 6 * body.size() + 64, call.line);
  return true;
}

WorkerAnswer readWorkerAnswer(std::string_view line) {
  WorkerAnswer answer;
  // The worker writes an answer with "method" first. An answer carries the call's result (a
  // signed message of many megabytes, say) and goes to the page as it is: it is checked to be
  // JSON without being built into a document first.
  if (line.starts_with(R"({"method":)")) {
    if (Json::accept(line.begin(), line.end())) answer.kind = WorkerAnswer::Kind::answer;
    return answer;
  }
  const Json parsed = Json::parse(line.begin(), line.end(), nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return answer;
  const auto fault = parsed.find("fault");
  if (fault == parsed.end()) return answer;
  const auto kind = parsed.find("kind");
  if (!fault->is_string() || kind == parsed.end() || !kind->is_string()) return answer;
  answer.fault = fault->get<std::string>();
  if (*kind == "refused") answer.kind = WorkerAnswer::Kind::refused;
  if (*kind == "bad-call") answer.kind = WorkerAnswer::Kind::badCall;
  return answer;
}

}  // namespace kestrune::agent
