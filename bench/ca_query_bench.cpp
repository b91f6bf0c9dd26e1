// A certificate query round trip on loopback: queryB64Certificate through the control (the
// initiation GET, the query built and encoded, the POST, the answer decoded and checked, the
// bag encoded again and turned into Base64) against bare libcurl sending the same two requests,
// byte for byte, to the same in-process fedi-ca and keeping the answer's bytes. Both pay the
// authority's work and two TCP connections (the control asks for "Connection: close"); the
// control's own share must stay small beside them.
//
// The control's bytes are recorded once by a scripted server standing in for the authority,
// and the bare requests are checked against that recording before anything is timed.
#include <benchmark/benchmark.h>

#include "platform/linux/curl_ptr.h"
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FEDIX509/builtin_ca_records.h"
#include "bench/ratio_reporter.h"
#include "ca/authority.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "tests/support/scripted_http_server.h"

namespace kestrune::bench {
namespace {

// The authority's own certificate: a real answer that needs no token to have been issued.
constexpr std::u16string_view kSerial = u"1";
constexpr const char* kInitiationPath = "/fedi/init";
constexpr const char* kMessagePath = "/fedi/msg";

std::u16string u16(std::string_view text) {
  return {text.begin(), text.end()};
}

// The header lines of one recorded request that the bare client sends itself: all but Host
// (curl writes it from the URL) and User-Agent (set as curl's agent).
struct RecordedHeaders {
  std::string agent;
  std::vector<std::string> lines;
};

RecordedHeaders headersOf(const testing::RecordedRequest& request) {
  RecordedHeaders headers;
  for (const auto& [name, value] : request.headers) {
    if (name == "Host") continue;
    if (name == "User-Agent") {
      headers.agent = value;
    } else {
      headers.lines.push_back(name + ": " + value);
    }
  }
  return headers;
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// bareRequest makes one request with a fresh easy handle, as a plain libcurl client would:
// the recorded header lines, and none of curl's own that the control's transport turns off.
// Returns the HTTP status (0 when the transfer failed) and the answer's body.
long bareRequest(const std::string& url, const RecordedHeaders& headers, const std::string* body,
                 std::string& answer) {
  const Ptr<CURL> easy(curl_easy_init());
  curl_slist* list = nullptr;
  for (const std::string& line : headers.lines) list = curl_slist_append(list, line.c_str());
  for (const char* off : {"Accept:", "Expect:"}) list = curl_slist_append(list, off);
  const Ptr<curl_slist> owned(list);
  if (!easy || !list) return 0;
  CURL* handle = easy.get();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(handle, CURLOPT_USERAGENT, headers.agent.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);
  if (body != nullptr) {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body->data());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
  } else {
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  }
  answer.clear();
  if (curl_easy_perform(handle) != CURLE_OK) return 0;
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

// setUrlOf reads the "FEDI-SET-URL: " line of an initiation answer; empty when there is none.
std::string setUrlOf(std::string_view answer) {
  constexpr std::string_view kKey = "FEDI-SET-URL: ";
  const std::size_t start = answer.find(kKey);
  if (start == std::string_view::npos) return {};
  const std::size_t from = start + kKey.size();
  return std::string(answer.substr(from, answer.find_first_of("\r\n", from) - from));
}

// The bare client's round trip: the initiation, then the message to the URL it names.
bool bareRoundTrip(const std::string& initiationUrl, const RecordedHeaders& get,
                   const RecordedHeaders& post, const std::string& body, std::string& answer) {
  std::string initiation;
  if (bareRequest(initiationUrl, get, nullptr, initiation) != 200) return false;
  const std::string setUrl = setUrlOf(initiation);
  return !setUrl.empty() && bareRequest(setUrl, post, &body, answer) == 200 && !answer.empty();
}

// An authority in a fresh folder, the control's two requests as recorded, and the check that
// the bare client sends the same bytes.
struct Bed {
  std::string dir;
  ca::AuthorityServer server;
  TVFEDIMiniKeyCrypt control;
  std::string initiationUrl;
  std::u16string controlUrl;
  RecordedHeaders get;
  RecordedHeaders post;
  std::string body;     // the FEDI_MESSAGE the control posts
  std::string problem;  // empty when the bed is ready

  Bed() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrune-ca-bench-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
      problem = "no temporary folder";
      return;
    }
    dir = pattern;
    std::string error;
    if (ca::initAuthority(dir + "/authority", {}, &error) != ca::AuthorityResult::ok ||
        server.start(dir + "/authority", "127.0.0.1", 0, {}, &error) != ca::AuthorityResult::ok) {
      problem = "authority: " + error;
      return;
    }
    initiationUrl = server.initiationUrl();
    controlUrl = u16(initiationUrl);
    if (!record()) return;
    // A first round trip each way, so that neither arm pays a cold start.
    std::string answer;
    if (!control.queryB64Certificate(controlUrl, u16(fedi::kTestCasid1), u16(fedi::kTestCasid2),
                                     kSerial) ||
        !bareRoundTrip(initiationUrl, get, post, body, answer)) {
      problem = "the authority did not answer the query";
    }
  }
  ~Bed() {
    server.stop();
    std::error_code error;
    if (!dir.empty()) std::filesystem::remove_all(dir, error);
  }

  // record has a scripted server take the control's query, then the bare client's, and checks
  // that the two sent the same bytes.
  bool record() {
    testing::ScriptedHttpServer recorder;
    const std::string setUrl = recorder.url(kMessagePath);
    recorder.setHandler([setUrl](const testing::RecordedRequest& request) {
      if (request.method == "GET") {
        return testing::ScriptedHttpServer::response(
            200, "FEDI-SET-URL: " + setUrl + "\r\nFEDI-CASID: TESTCA1\r\n");
      }
      return testing::ScriptedHttpServer::response(200, "");  // the control gives up: enough
    });
    control.queryB64Certificate(u16(recorder.url(kInitiationPath)), u16(fedi::kTestCasid1),
                                u16(fedi::kTestCasid2), kSerial);
    auto requests = recorder.requests();
    if (requests.size() != 2 || requests[0].method != "GET" || requests[1].method != "POST") {
      problem = "the control did not make one GET and one POST";
      return false;
    }
    get = headersOf(requests[0]);
    post = headersOf(requests[1]);
    body = requests[1].body;
    std::string answer;
    bareRequest(recorder.url(kInitiationPath), get, nullptr, answer);
    bareRequest(setUrl, post, &body, answer);
    requests = recorder.requests();
    if (requests.size() != 4 || requests[0].raw != requests[2].raw ||
        requests[1].raw != requests[3].raw) {
      problem = "the bare client does not send the control's bytes";
      return false;
    }
    return true;
  }
};

Bed& bed() {
  static Bed b;
  return b;
}

// The two arms: null on success, else what went wrong.
const char* controlQuery(Bed& b, std::size_t& length) {
  static const std::u16string casid1 = u16(fedi::kTestCasid1);
  static const std::u16string casid2 = u16(fedi::kTestCasid2);
  const auto text = b.control.queryB64Certificate(b.controlUrl, casid1, casid2, kSerial);
  if (!text) return "queryB64Certificate failed";
  length = text->size();
  benchmark::DoNotOptimize(text->data());
  return nullptr;
}

const char* bareQuery(Bed& b, std::string& answer) {
  if (!bareRoundTrip(b.initiationUrl, b.get, b.post, b.body, answer)) {
    return "the bare round trip failed";
  }
  benchmark::DoNotOptimize(answer.data());
  return nullptr;
}

// readyBed returns the bed, or null after marking the benchmark failed.
Bed* readyBed(benchmark::State& state) {
  Bed& b = bed();
  if (b.problem.empty()) return &b;
  state.SkipWithError(b.problem.c_str());
  return nullptr;
}

void BM_ControlQueryB64Certificate(benchmark::State& state) {
  Bed* b = readyBed(state);
  if (b == nullptr) return;
  std::size_t length = 0;
  for (auto _ : state) {
    if (const char* why = controlQuery(*b, length)) {
      state.SkipWithError(why);
      break;
    }
  }
  state.counters["base64_chars"] = static_cast<double>(length);
}

void BM_BareCurlQuery(benchmark::State& state) {
  Bed* b = readyBed(state);
  if (b == nullptr) return;
  std::string answer;
  for (auto _ : state) {
    if (const char* why = bareQuery(*b, answer)) {
      state.SkipWithError(why);
      break;
    }
  }
  state.counters["posted_bytes"] = static_cast<double>(b->body.size());
  state.counters["answer_bytes"] = static_cast<double>(answer.size());
}

// The two round trips in alternation (runPaired), so that the loopback's and the server's
// drift within a run falls on both alike.
void BM_PairedQuery(benchmark::State& state) {
  Bed* b = readyBed(state);
  if (b == nullptr) return;
  std::size_t length = 0;
  std::string answer;
  runPaired(
      state, [&] { return controlQuery(*b, length); }, [&] { return bareQuery(*b, answer); });
}

constexpr int kRepetitions = 7;

[[maybe_unused]] const bool registered = [] {
  auto stable = [](benchmark::internal::Benchmark* b) {
    // The client mostly waits for the authority: iterations are counted by the clock on the
    // wall, not by the client thread's processor time.
    b->Repetitions(kRepetitions)
        ->ReportAggregatesOnly(true)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  };
  stable(benchmark::RegisterBenchmark("BareCurlQuery/same_bytes", BM_BareCurlQuery));
  stable(benchmark::RegisterBenchmark("ControlQueryB64Certificate", BM_ControlQueryB64Certificate));
  benchmark::RegisterBenchmark("PairedQuery", BM_PairedQuery)
      ->Repetitions(kRepetitions)
      ->ReportAggregatesOnly(true)
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
  registerPairedRatio("PairedQuery", 1.30);
  return true;
}();

}  // namespace
}  // namespace kestrune::bench
