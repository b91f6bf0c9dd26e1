// kestrune: the command-line host of the TVFEDIMiniKeyCrypt control.
//
//   kestrune --version                "kestrune 1.0.0"
//   kestrune methods [--effects]      the interface, one method a line
//   kestrune methods --json           the interface as one JSON array
//   kestrune call [--fail-on-error] METHOD [ARG ...]
//                                     one call; the result on stdout, "lastError N (what N
//                                     means)" on stderr
//   kestrune script [--fail-on-error] [FILE]
//                                     JSON Lines calls in one process (FILE absent or "-": stdin)
//   kestrune explain CODE             what a lastError number means
//   kestrune demo [--dir DIR]         a SoftHSM2 token and a fedi-ca authority in DIR, the
//                                     token taken through the certificate life cycle
//   kestrune demo --browser [--dir DIR]
//                                     the same life cycle run by a web page through the
//                                     local agent, until Ctrl-C
//   kestrune verify-edifact FILE --cert CERT [--ca CA-BAG]
//                                     checks a signed EDIFACT message against a FEDI
//                                     certificate bag or an X.509 certificate: "OK: ..." and 0,
//                                     or "FAILED: why" and 1
//   kestrune store list [--store STORE] [--location CurrentUser|LocalMachine] [--json]
//   kestrune store add [--store My] [--provider NAME --container NAME
//                      [--key-spec signature|exchange]] [--location ...] CERTFILE
//   kestrune store remove [--store My] [--location ...] THUMBPRINT
//                                     the system certificate stores (My, Root, CA,
//                                     AddressBook, Request) through CryptoAPI
//   kestrune provider list [--json]
//   kestrune provider add NAME --pkcs11 MODULE [--token LABEL] [--force]
//   kestrune provider remove NAME     the key providers: built-in, and providers.json's
//   kestrune tokens [MODULE] [--json] the slots and tokens of a PKCS#11 module (or of every one
//                                     p11-kit registers), numbered as setCurrentSlot takes them
//   kestrune origins list [--json]
//   kestrune origins add ORIGIN [--insecure]
//   kestrune origins remove ORIGIN    the local agent's allow-list of web origins
//   kestrune serve [--listen 127.0.0.1:PORT|[::1]:PORT] [--idle-timeout S] [--max-sessions N]
//                  [--install-user-unit]
//                                     the local agent: pages of allowed origins reach the
//                                     control over HTTP; its base URL first on stdout
//
// Exit status: 0 when every call was made (whatever the control answered, unless
// --fail-on-error) or the operation succeeded, 1 when a call could not be made, a script line
// faulted, a call failed under --fail-on-error or an operation failed, 2 for a usage error (an
// unknown command is named, with the nearest known one when it is close).
#include <openssl/crypto.h>

#include <charconv>
#include <cstdint>
#include <iostream>
#include <new>
#include <span>
#include <streambuf>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "com/method_table.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/error_text.h"
#include "platform/platform.h"
#include "tools/command_line/command_words.h"
#include "tools/kestrune/agent_worker_command.h"
#include "tools/kestrune/demo.h"
#include "tools/kestrune/demo_browser.h"
#include "tools/kestrune/method_call.h"
#include "tools/kestrune/method_listing.h"
#include "tools/kestrune/module_names.h"
#include "tools/kestrune/origin_commands.h"
#include "tools/kestrune/provider_commands.h"
#include "tools/kestrune/script_runner.h"
#include "tools/kestrune/serve_command.h"
#include "tools/kestrune/store_commands.h"
#include "tools/kestrune/tokens_command.h"
#include "tools/kestrune/verify_edifact.h"

namespace kestrune::host {
namespace {

constexpr int kMade = 0;
constexpr int kFaulted = 1;
constexpr int kUsageError = 2;

int listMethods(bool withEffects, bool asJson) {
  if (asJson) {
    std::cout << methodsAsJson().dump(2) << "\n";
    return kMade;
  }
  for (const com::Method& method : com::methods()) {
    std::cout << signature(method);
    if (withEffects) std::cout << " [" << effectList(method) << "]";
    std::cout << "\n";
  }
  return kMade;
}

int callOne(std::vector<std::string> words, bool failOnError) {
  if (words.empty()) {
    std::cerr << "kestrune call: name a method (see kestrune methods)\n";
    return kUsageError;
  }
  std::string fault;
  const com::Method* method = lookUpMethod(words.front(), fault);
  std::optional<std::vector<com::Variant>> args;
  if (method != nullptr) {
    if (method->name == "loadLib" && words.size() == 2) words[1] = moduleForLoadLib(words[1]);
    args = argumentsFromWords(*method, std::span(words).subspan(1), fault);
    for (std::size_t i = 1; i < words.size(); ++i) {
      if (isSecretParameter(*method, i - 1)) wipe(words[i]);
    }
  }
  if (!args) {
    std::cerr << "kestrune call: " << fault << "\n";
    return kUsageError;
  }
  TVFEDIMiniKeyCrypt control;
  CallOutcome outcome;
  const bool made = callMethod(control, *method, *args, outcome, fault);
  wipeSecretArguments(*method, *args);
  if (!made) {
    std::cerr << "kestrune call: " << fault << "\n";
    return kFaulted;
  }
  if (const auto result = resultAsUtf8(outcome.result)) std::cout << *result << "\n";
  for (const Message& message : outcome.messages) {
    std::cerr << message.caption << ": " << message.text << "\n";
  }
  std::cerr << "lastError " << outcome.lastError;
  if (outcome.lastError != 0) std::cerr << " (" << explainError(*method, outcome.lastError) << ")";
  std::cerr << "\n";
  return failOnError && outcome.lastError != 0 ? kFaulted : kMade;
}

// `kestrune explain CODE`: what a lastError number means.
int explainCode(const std::string& word) {
  std::int32_t code = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), code);
  if (error != std::errc() || end != word.data() + word.size()) {
    std::cerr << "kestrune explain: \"" << word << "\" is not a decimal 32-bit number\n";
    return kUsageError;
  }
  const std::string text = errorCodeText(code);
  if (text.empty()) {
    std::cerr << "kestrune explain: no method leaves the code " << code << "\n";
    return kFaulted;
  }
  std::cout << code << ": " << text << "\n";
  return kMade;
}

// BytesStream reads a buffer in place: a script file's PINs then exist in that one buffer,
// which is wiped after the run.
class BytesStream : private std::streambuf, public std::istream {
 public:
  explicit BytesStream(std::vector<std::uint8_t>& bytes) : std::istream(this) {
    char* begin = reinterpret_cast<char*>(bytes.data());
    setg(begin, begin, begin + bytes.size());
  }
};

int runScriptFile(const std::string& file, bool failOnError) {
  if (file == "-") return runScript(std::cin, std::cout, failOnError);
  std::vector<std::uint8_t> bytes;
  if (platform::readFile(file.c_str(), bytes) != platform::FileStatus::ok) {
    std::cerr << "kestrune script: cannot read " << file << "\n";
    return kUsageError;
  }
  int status = kMade;
  {
    BytesStream in(bytes);
    status = runScript(in, std::cout, failOnError);
  }
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return status;
}

int run(int argc, char** argv) {
  CLI::App app{
      "Script the TVFEDIMiniKeyCrypt control of Kestrune; keep its certificate stores and key "
      "providers.\n"
      "Exit status: 0 every call made (whatever the control answered) or the operation done, "
      "1 a call, script line or operation failed (with --fail-on-error: also a call that left "
      "a non-zero lastError; kestrune explain N says what N means), 2 usage error.",
      "kestrune"};
  app.require_subcommand(1, 1);
  command_line::addVersionFlag(app);

  auto* methodsCommand = app.add_subcommand(
      "methods", "List the interface: DISPID, name(parameter: kind, ...) -> result kind");
  bool withEffects = false;
  methodsCommand->add_flag("--effects", withEffects,
                           "Add what each call does to the user: [talksToUrl, signs, ...]");
  bool methodsInJson = false;
  methodsCommand
      ->add_flag("--json", methodsInJson,
                 "One JSON array instead, an object per method: dispid, name, parameters "
                 "[{name, kind}], result {kind, name}, effects [names], needsPin (a PIN or pass "
                 "phrase parameter, or a login)")
      ->excludes("--effects");

  auto* callCommand = app.add_subcommand(
      "call",
      "Make one call: kestrune call METHOD [ARG ...] (I4 arguments in decimal). Prints the "
      "result on standard output and \"lastError N\" on standard error");
  // Everything after the method name is an argument, even when it looks like an option ("-1").
  callCommand->prefix_command();
  bool failOnError = false;
  callCommand->add_flag("--fail-on-error", failOnError,
                        "Exit 1 when the call leaves a non-zero lastError (by default a call "
                        "the control answered exits 0, whatever it answered)");

  std::string scriptFile = "-";
  auto* scriptCommand = app.add_subcommand(
      "script", "Run JSON Lines calls in one process, one JSON object out per call");
  scriptCommand->add_option("file", scriptFile, "the calls; absent or - for standard input");
  scriptCommand->add_flag("--fail-on-error", failOnError,
                          "Exit 1 when any call leaves a non-zero lastError (by default only a "
                          "line that is not a call fails the run)");

  std::string explainedCode;
  auto* explainCommand =
      app.add_subcommand("explain", "Say what a lastError number means: kestrune explain 1500");
  explainCommand->add_option("code", explainedCode, "the number, in decimal")->required();

  std::string demoDir;
  std::string modulePath = kSoftHsmModule;
  auto* demoCommand = app.add_subcommand(
      "demo",
      "Set up a SoftHSM2 token and a fedi-ca authority and take the token through the "
      "certificate life cycle, one line per step");
  demoCommand->add_option("--dir", demoDir,
                          "the demo's folder (default $XDG_DATA_HOME/kestrune/demo, else "
                          "$HOME/.local/share/kestrune/demo)");
  demoCommand->add_option("--module", modulePath, "the SoftHSM2 PKCS#11 module")
      ->capture_default_str();
  bool demoInBrowser = false;
  demoCommand->add_flag("--browser", demoInBrowser,
                        "run the life cycle from a web page through the local agent, serving "
                        "until Ctrl-C");

  std::string signedFile;
  std::string signerCertificate;
  auto* verifyCommand = app.add_subcommand(
      "verify-edifact",
      "Check a message signed by FEDIMessageSign against the signer's certificate. Prints "
      "\"OK: ...\" and exits 0, or \"FAILED: why\" and exits 1");
  verifyCommand->add_option("file", signedFile, "the signed message, as signed (code page 950)")
      ->required();
  verifyCommand
      ->add_option("--cert", signerCertificate,
                   "the signer's FEDI certificate bag (DER, or the control's Base64 of it) or "
                   "X.509 certificate (DER or PEM)")
      ->required();
  std::string authorityBag;
  verifyCommand->add_option("--ca", authorityBag,
                            "the authority's FEDI certificate bag (as fedi-ca ca-cert prints it): "
                            "also check the certificate's issuer, signature and dates");

  const StoreCommands storeCommands(app);
  const ProviderCommands providerCommands(app);
  const OriginCommands originCommands(app);
  const TokensCommand tokensCommand(app);
  const ServeCommand serveCommand(app);

  // A session of the local agent, started by the agent itself: not for the user.
  std::string originFolder;
  auto* agentWorkerCommand =
      app.add_subcommand("agent-worker", "A local agent session's control process");
  agentWorkerCommand->group("");
  agentWorkerCommand->add_option("--origin-folder", originFolder)->required();

  if (const auto refused = command_line::checkCommandWords(
          app, std::span<const char* const>(argv + 1, argc > 0 ? argc - 1 : 0), std::cerr)) {
    return *refused;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kMade : kUsageError;
  }

  if (methodsCommand->parsed()) return listMethods(withEffects, methodsInJson);
  if (callCommand->parsed()) return callOne(callCommand->remaining(), failOnError);
  if (scriptCommand->parsed()) return runScriptFile(scriptFile, failOnError);
  if (explainCommand->parsed()) return explainCode(explainedCode);
  if (agentWorkerCommand->parsed()) return runAgentWorker(originFolder, std::cerr);
  if (verifyCommand->parsed()) {
    return runVerifyEdifact(signedFile, signerCertificate, authorityBag, std::cout, std::cerr);
  }
  if (storeCommands.parsed()) return storeCommands.run(std::cout, std::cerr);
  if (providerCommands.parsed()) return providerCommands.run(std::cout, std::cerr);
  if (originCommands.parsed()) return originCommands.run(std::cout, std::cerr);
  if (tokensCommand.parsed()) return tokensCommand.run(std::cout, std::cerr);
  if (serveCommand.parsed()) return serveCommand.run(std::cout, std::cerr);
  if (demoCommand->parsed()) {
    if (demoDir.empty()) demoDir = defaultDemoDir();
    if (demoDir.empty()) {
      std::cerr << "kestrune demo: no HOME or XDG_DATA_HOME; name a folder with --dir\n";
      return kUsageError;
    }
    if (demoInBrowser) return runBrowserDemo(demoDir, modulePath, std::cout, std::cerr);
    return runDemo(demoDir, modulePath, std::cout, std::cerr);
  }
  return kUsageError;
}

}  // namespace
}  // namespace kestrune::host

int main(int argc, char** argv) {
  try {
    return kestrune::host::run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::cerr << "kestrune: out of memory\n";
    return 1;
  }
}
