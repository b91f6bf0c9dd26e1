// A session's control process fed a page's calls, one line each, from any bytes: the line's
// shape check, the script line's parsing and argument conversion (strict UTF-8, I4 range), the
// web policy's module and file checks, and the call itself on a control with no token (no
// module is ever loaded, so every token call fails quickly). Checked: every line gets exactly
// one answer line, a JSON object of a call's result or of a fault; a secret argument is quoted
// in no answer; nothing is written outside the origin's folder, nor left beside it. The input
// is also read as one text by the strict UTF-8 decoder and the JSON parser, which must agree.
//
// The process is kept to a scratch folder: the origin folder, a folder beside it that must stay
// empty, and the home, configuration, data and temporary folders the CryptoAPI layer uses. The
// module names map to a path that doesn't exist, and every HTTP request goes through a proxy on
// a local port that refuses connections, so a call with a CA's address never leaves the host.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/web_policy.h"
#include "agent/worker.h"
#include "com/method_table.h"
#include "fuzz/fuzz_require.h"
#include "fuzz/scratch_folder.h"
#include "tools/kestrune/method_call.h"
#include "tools/kestrune/utf8.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

void require(bool condition, const char* what) {
  kestrune::fuzz::require("agent_worker_fuzzer", condition, what);
}

// refusingPort returns a local TCP port bound and never listened on: a connection to it is
// refused at once. The socket stays open for the life of the process.
int refusingPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  require(fd >= 0, "no socket for the refusing proxy");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  require(bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
              getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0,
          "the refusing proxy's port can't be bound");
  return ntohs(address.sin_port);
}

void writeFile(const fs::path& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  require(static_cast<bool>(file.flush()), "a fixture file can't be written");
}

// The scratch folder and the policy of every input. The origin folder holds fixtures a call
// may name: a file, a folder with a file, a link leading out of the folder and a link inside.
class Setting {
 public:
  Setting() : scratch_("agent_worker_fuzzer") {
    const fs::path& root = scratch_.path();
    origin_ = root / "origin";
    outside_ = root / "outside";
    home_ = root / "home";
    fs::create_directories(origin_ / "sub");
    fs::create_directories(outside_);
    fs::create_directories(home_);
    writeFile(origin_ / "ca.cer", "not a certificate");
    writeFile(origin_ / "sub" / "user.cer", "MIIB");
    fs::create_directory_symlink("../outside", origin_ / "out");
    fs::create_symlink("ca.cer", origin_ / "ca-link.cer");
    fixtures_ = entriesOf(origin_);
    policy_.originFolder = kestrune::platform::openFolder(origin_.c_str());
    require(static_cast<bool>(policy_.originFolder), "the origin folder can't be opened");
    // Names a page may load; neither path exists, so the control's loadLib fails.
    policy_.modules = {{"softhsm2", (root / "no-such-module.so").string()},
                       {"vendor-card", "/nonexistent/kestrune-fuzz/pkcs11.so"}};

    const std::string proxy = "http://127.0.0.1:" + std::to_string(refusingPort());
    for (const char* name :
         {"http_proxy", "https_proxy", "all_proxy", "HTTPS_PROXY", "ALL_PROXY"}) {
      setenv(name, proxy.c_str(), 1);
    }
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    // A certificate dialog is cancelled, never shown on the terminal.
    setenv("KESTRUNE_CHOOSE", "cancel", 1);
    unsetenv("SOFTHSM2_CONF");
    // The process stays in its folder (unlike a worker, which enters the origin's): libFuzzer
    // writes a crashing input to a path relative to it. Every file argument reaches the
    // control as an absolute path the policy made.
    resetHome();
  }

  const kestrune::agent::WebPolicy& policy() const { return policy_; }

  // checkAndReset requires that nothing beside the origin folder changed, then removes what
  // the input wrote inside it and in the home folder, so that each input starts alike.
  void checkAndReset() {
    require(fs::is_empty(outside_), "a call wrote outside the origin's folder");
    std::size_t entries = 0;
    for (fs::directory_iterator it(scratch_.path()), end; it != end; ++it) ++entries;
    require(entries == 3, "a call wrote beside the origin's folder");
    for (const fs::path& entry : entriesOf(origin_)) {
      std::error_code ignored;
      if (!fixtures_.contains(entry)) fs::remove_all(entry, ignored);
    }
    resetHome();
  }

 private:
  // entriesOf lists everything under folder, links not followed.
  static std::set<fs::path> entriesOf(const fs::path& folder) {
    std::set<fs::path> entries;
    for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
      entries.insert(it->path());
    }
    return entries;
  }

  void resetHome() {
    std::error_code ignored;
    fs::remove_all(home_, ignored);
    fs::create_directories(home_ / "tmp");
    setenv("HOME", home_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home_ / ".local/share").c_str(), 1);
    setenv("KESTRUNE_MACHINE_STORES", (home_ / "machine").c_str(), 1);
    setenv("TMPDIR", (home_ / "tmp").c_str(), 1);
  }

  kestrune::fuzz::ScratchFolder scratch_;
  fs::path origin_;
  fs::path outside_;
  fs::path home_;
  std::set<fs::path> fixtures_;
  kestrune::agent::WebPolicy policy_;
};

// The input's lines as the worker reads them: split at line feeds, the last one counting only
// when it has bytes.
std::vector<std::string_view> linesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    lines.push_back(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  }
  return lines;
}

// secretsOf returns the texts of a line's secret arguments that an answer could not hold by
// chance: at least 8 bytes with a character no fault's own text uses, and in none of the
// line's other texts (a fault may quote those).
std::vector<std::string> secretsOf(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const Json call = Json::parse(line, nullptr, false);
  if (!call.is_array() || call.empty() || !call.front().is_string()) return {};
  const kestrune::com::Method* method =
      kestrune::com::findMethod(call.front().get_ref<const std::string&>());
  if (method == nullptr) return {};
  std::vector<std::string> secrets;
  std::vector<std::string> others{call.front().get<std::string>()};
  for (std::size_t i = 1; i < call.size(); ++i) {
    if (!call[i].is_string()) continue;
    const std::string& text = call[i].get_ref<const std::string&>();
    (kestrune::host::isSecretParameter(*method, i - 1) ? secrets : others).push_back(text);
  }
  std::erase_if(secrets, [&others](const std::string& secret) {
    if (secret.size() < 8 || secret.find_first_of("#$%&*@^`{|}~") == std::string::npos) {
      return true;
    }
    return std::any_of(others.begin(), others.end(), [&secret](const std::string& other) {
      return other.find(secret) != std::string::npos;
    });
  });
  return secrets;
}

// textsOf collects every text of a JSON value, at any depth.
void textsOf(const Json& value, std::vector<std::string>& texts) {
  if (value.is_string()) texts.push_back(value.get<std::string>());
  if (value.is_structured()) {
    for (const Json& item : value) textsOf(item, texts);
  }
}

void checkAnswer(const std::string& line, const std::vector<std::string>& secrets) {
  const Json answer = Json::parse(line, nullptr, false);
  require(answer.is_object(), "an answer that is not a JSON object");
  if (answer.contains("fault")) {
    require(answer["fault"].is_string() && answer.contains("kind") && answer["kind"].is_string(),
            "a fault without its reason or kind");
    const std::string kind = answer["kind"].get<std::string>();
    require(kind == "refused" || kind == "bad-call", "a fault of another kind");
  } else {
    require(answer.contains("method") && answer["method"].is_string() &&
                answer.contains("lastError") && answer["lastError"].is_number_integer(),
            "an answer without its method or lastError");
  }
  std::vector<std::string> texts;
  textsOf(answer, texts);
  for (const std::string& secret : secrets) {
    for (const std::string& text : texts) {
      require(text.find(secret) == std::string::npos, "an answer quotes a secret argument");
    }
  }
}

// checkUtf8 holds the strict UTF-8 decoder to the JSON parser's reading of the same bytes as a
// string (which a page's text passes first): each accepts what the other accepts, and what is
// accepted converts back to the same bytes. The bytes JSON would need escaped are left out.
void checkUtf8(std::string_view input) {
  std::string text;
  for (const char c : input) {
    if (c != '"' && c != '\\' && (c < 0 || c >= 0x20)) text.push_back(c);
  }
  std::u16string units;
  const bool decoded = kestrune::host::utf8ToUtf16(text, units);
  if (decoded) {
    require(kestrune::host::utf16ToUtf8(units) == text, "UTF-8 that doesn't convert back");
  }
  require(Json::accept("\"" + text + "\"") == decoded,
          "the UTF-8 decoder and the JSON parser disagree on a text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setting setting;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string_view> lines = linesOf(text);

  std::istringstream in{std::string(text)};
  std::ostringstream out;
  require(kestrune::agent::runWorker(in, out, setting.policy()) == 0, "the worker failed");

  std::istringstream answers(out.str());
  std::size_t count = 0;
  for (std::string answer; std::getline(answers, answer); ++count) {
    require(count < lines.size(), "more answers than lines");
    checkAnswer(answer, secretsOf(lines[count]));
  }
  require(count == lines.size(), "a line without its answer");
  setting.checkAndReset();
  checkUtf8(text);
  return 0;
}
