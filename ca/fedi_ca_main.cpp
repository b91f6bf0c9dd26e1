// fedi-ca: the FEDI certification authority's command line.
//   fedi-ca init    --dir DIR [--casid1 ID --casid2 ID] [--generate-key [--bits N] | --key PEM]
//   fedi-ca serve   --dir DIR --listen HOST:PORT [--public-url URL] [--log FILE] [--allow-remote]
//                   (port 0 picks one; the first line of standard output is the initiation URL,
//                   the loopback one when listening on a wildcard; runs until SIGINT or SIGTERM;
//                   one log line per request on standard error or in FILE; an authority with
//                   the published test key listens beyond the loopback only with --allow-remote)
//   fedi-ca enrol   --dir DIR SID1 SID2            (prints the holder's pass phrase)
//   fedi-ca ca-cert --dir DIR                      (prints the authority's certificate bag, Base64)
//   fedi-ca list    --dir DIR                      (the certificates issued, with their state)
//   fedi-ca holders --dir DIR                      (the enrolled holders)
//   fedi-ca revoke  --dir DIR SERIAL [--reason TEXT]
//   fedi-ca --version                              (prints "fedi-ca 1.0.0")
// Exit status: 0 done, 1 the authority refused or failed (the reason on standard error), 2 usage
// (an unknown command is named, with the nearest known one when it is close).
#include <CLI/CLI.hpp>
#include <openssl/crypto.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "ca/authority.h"
#include "platform/authority_os.h"
#include "tools/command_line/command_words.h"

namespace {

using kestrune::ca::AuthorityResult;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int) {
  stopRequested = 1;
}

int failed(const char* what, const std::string& why) {
  std::cerr << "fedi-ca " << what << ": " << why << '\n';
  return kExitFailed;
}

// splitListen reads HOST:PORT or [IPv6]:PORT.
bool splitListen(const std::string& listen, std::string& host, int& port) {
  const auto colon = listen.rfind(':');
  if (colon == std::string::npos || colon + 1 == listen.size()) return false;
  host = listen.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  try {
    std::size_t used = 0;
    port = std::stoi(listen.substr(colon + 1), &used);
    return used == listen.size() - colon - 1 && port >= 0 && port <= 65535 && !host.empty();
  } catch (const std::exception&) {
    return false;
  }
}

struct FileClose {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

constexpr const char* kTestKeyWarning =
    "fedi-ca: WARNING: this is a TEST authority: it signs with the published test key, which "
    "anyone can sign with. Never trust its certificates.\n";

// refuseRemoteTestKey: an authority whose key everyone has must not be reachable from other
// machines unless the user says so: any certificate it issues there could be forged anyway.
bool refuseRemoteTestKey(const std::string& listening, bool allowRemote) {
  if (allowRemote) {
    std::cerr << "fedi-ca: WARNING: --allow-remote: serving " << listening
              << " beyond this machine with the published test key: anyone who reaches it gets "
                 "certificates that anyone can forge\n";
    return false;
  }
  std::cerr << "fedi-ca serve: refusing to listen on " << listening
            << ": this authority signs with the published test key, so it serves this machine "
               "only (127.0.0.1, ::1, localhost); make it with --generate-key or --key, or "
               "give --allow-remote\n";
  return true;
}

// announceListening says where the server really listens: a wildcard address takes every
// interface, and its URLs name the loopback for local clients only.
void announceListening(const std::string& dir, const kestrune::ca::AuthorityServer& server,
                       const kestrune::ca::ServerOptions& options) {
  const std::string bound = server.boundAddress();
  const std::string port = std::to_string(server.port());
  const bool wildcard = bound == "0.0.0.0" || bound == "::";
  const std::string address =
      (bound.find(':') != std::string::npos ? "[" + bound + "]" : bound) + ":" + port;
  if (wildcard) {
    std::cerr << "fedi-ca: listening on " << address << ", every "
              << (bound == "::" ? "IPv6" : "IPv4") << " interface; local URL "
              << server.initiationUrl() << '\n';
    if (options.publicUrl.empty()) {
      std::cerr << "fedi-ca: WARNING: announcing " << server.announcedMessageUrl()
                << ", which reaches this machine only; give --public-url for other machines\n";
    }
  } else {
    std::cerr << "fedi-ca: listening on " << address << '\n';
  }
  std::cerr << "fedi-ca: serving " << dir << " at " << server.initiationUrl() << ", announcing "
            << server.announcedMessageUrl() << '\n';
}

int serve(const std::string& dir, const std::string& listen, const std::string& logPath,
          bool allowRemote, kestrune::ca::ServerOptions options) {
  std::string host;
  int port = 0;
  if (!splitListen(listen, host, port)) {
    std::cerr << "fedi-ca serve: --listen takes HOST:PORT\n";
    return kExitUsage;
  }
  const bool testKey = kestrune::ca::usesTestKey(dir);
  if (testKey && !kestrune::ca::loopbackHost(host) && refuseRemoteTestKey(listen, allowRemote)) {
    return kExitFailed;
  }
  std::unique_ptr<std::FILE, FileClose> logFile;
  if (!logPath.empty()) {
    logFile.reset(kestrune::platform::openPrivateAppend(logPath.c_str()));
    if (!logFile) return failed("serve", "cannot open the log file " + logPath);
  }
  std::FILE* const logTo = logFile ? logFile.get() : stderr;
  options.log = [logTo](const std::string& line) {
    std::fprintf(logTo, "%s\n", line.c_str());
    std::fflush(logTo);
  };
  std::signal(SIGINT, requestStop);
  std::signal(SIGTERM, requestStop);
  kestrune::ca::AuthorityServer server;
  std::string why;
  if (server.start(dir, host, port, options, &why) != AuthorityResult::ok) {
    return failed("serve", why);
  }
  // What counts is the address bound, should a loopback name have been bound elsewhere.
  if (testKey && kestrune::ca::loopbackHost(host) && server.listensBeyondLoopback() &&
      refuseRemoteTestKey(server.boundAddress(), allowRemote)) {
    server.stop();
    return kExitFailed;
  }
  std::cout << server.initiationUrl() << std::endl;
  if (testKey) std::cerr << kTestKeyWarning;
  announceListening(dir, server, options);
  while (stopRequested == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server.stop();
  std::cerr << "fedi-ca: stopped\n";
  return 0;
}

std::string certificateState(const kestrune::ca::CertificateListing& c, std::int64_t now) {
  if (c.revokedAt) return "revoked";
  if (now < c.notBefore) return "waiting";
  if (now >= c.notAfter) return "expired";
  return "in-force";
}

int list(const std::string& dir) {
  std::vector<kestrune::ca::CertificateListing> certificates;
  std::string why;
  if (kestrune::ca::listCertificates(dir, certificates, &why) != AuthorityResult::ok) {
    return failed("list", why);
  }
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  for (const auto& c : certificates) {
    std::cout << c.serial << ' ' << certificateState(c, now) << ' '
              << (c.authority ? "authority " : "holder ") << c.sid2 << '/' << c.sid1 << ' '
              << kestrune::ca::isoTime(c.notBefore) << ' ' << kestrune::ca::isoTime(c.notAfter);
    if (c.renewedFrom) std::cout << " renews=" << *c.renewedFrom;
    if (c.revokedAt) std::cout << " revoked=" << kestrune::ca::isoTime(*c.revokedAt);
    std::cout << '\n';
  }
  return 0;
}

int holders(const std::string& dir) {
  std::vector<kestrune::ca::HolderListing> enrolled;
  std::string why;
  if (kestrune::ca::listHolders(dir, enrolled, &why) != AuthorityResult::ok) {
    return failed("holders", why);
  }
  for (const auto& h : enrolled) {
    const char* state = h.locked ? "locked" : (h.passSpent ? "pass-spent" : "pass-unused");
    std::cout << h.sid2 << '/' << h.sid1 << ' ' << state
              << " enrolled=" << kestrune::ca::isoTime(h.enrolledAt)
              << " wrong-macs=" << h.macFailures << '\n';
  }
  return 0;
}

// keyDescription names the key an authority was made with, so that nobody takes a test
// authority for a real one.
std::string keyDescription(const kestrune::ca::InitOptions& init, bool testKey) {
  if (testKey && init.keySource == kestrune::ca::KeySource::pemFile) {
    return "the key of " + init.pemPath + ", which is the published test key";
  }
  switch (init.keySource) {
    case kestrune::ca::KeySource::testKey:
      return "the published test key (for tests only; --generate-key or --key PEM give it a key "
             "of its own)";
    case kestrune::ca::KeySource::generate:
      return "a freshly generated " + std::to_string(init.generatedBits) + "-bit RSA key";
    case kestrune::ca::KeySource::pemFile:
      return "the key of " + init.pemPath;
  }
  return "its key";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"fedi-ca: a FEDI certification authority", "fedi-ca"};
  app.require_subcommand(1);
  kestrune::command_line::addVersionFlag(app);

  std::string dir;
  kestrune::ca::InitOptions init;
  bool generateKey = false;
  CLI::App* initCommand = app.add_subcommand("init", "make an authority in a folder");
  initCommand->add_option("--dir", dir, "the authority's folder")->required();
  initCommand->add_option("--casid1", init.casid1, "CASID1, the CN of the authority's name");
  initCommand->add_option("--casid2", init.casid2, "CASID2, the O of the authority's name");
  auto* generate = initCommand->add_flag("--generate-key", generateKey,
                                         "a fresh key instead of the published test key");
  initCommand->add_option("--bits", init.generatedBits, "size of a generated key")->needs(generate);
  initCommand->add_option("--key", init.pemPath, "a PEM private key file to use")
      ->excludes(generate);
  initCommand->add_option("--key-pass", init.pemPassphrase, "the PEM file's passphrase");

  std::string listen;
  std::string logPath;
  kestrune::ca::ServerOptions options;
  long readTimeoutMs = static_cast<long>(options.readTimeout.count());
  long headerTimeoutMs = static_cast<long>(options.headerTimeout.count());
  CLI::App* serveCommand = app.add_subcommand("serve", "answer the FEDI exchange over HTTP");
  serveCommand->add_option("--dir", dir, "the authority's folder")->required();
  serveCommand->add_option("--listen", listen, "HOST:PORT to listen on (port 0 picks one)")
      ->required();
  bool allowRemote = false;
  serveCommand->add_flag("--allow-remote", allowRemote,
                         "listen beyond the loopback even with the published test key");
  serveCommand->add_option("--public-url", options.publicUrl,
                           "the base URL announced to clients (default: the listen address)");
  serveCommand->add_option("--log", logPath, "append the request log to FILE (default: stderr)");
  serveCommand->add_option("--timeout-ms", readTimeoutMs,
                           "the most a client may take for a body, a read or a write");
  serveCommand->add_option("--header-timeout-ms", headerTimeoutMs,
                           "the most a client may take for its request line and headers");
  serveCommand->add_option("--workers", options.workers, "requests worked on at once");
  serveCommand->add_option("--max-connections", options.maxConnections, "connections at once");
  serveCommand->add_option("--max-per-address", options.maxConnectionsPerAddress,
                           "connections at once from one client address");
  serveCommand->add_option("--max-body", options.maxBodyBytes, "largest message body in bytes");

  std::string sid1;
  std::string sid2;
  CLI::App* enrolCommand = app.add_subcommand("enrol", "enrol a holder; prints its pass phrase");
  enrolCommand->add_option("--dir", dir, "the authority's folder")->required();
  enrolCommand->add_option("SID1", sid1, "the holder's SID1 (CN)")->required();
  enrolCommand->add_option("SID2", sid2, "the holder's SID2 (O)")->required();

  CLI::App* caCertCommand =
      app.add_subcommand("ca-cert", "print the authority's certificate bag in Base64");
  caCertCommand->add_option("--dir", dir, "the authority's folder")->required();

  CLI::App* listCommand = app.add_subcommand("list", "list the certificates with their state");
  listCommand->add_option("--dir", dir, "the authority's folder")->required();

  CLI::App* holdersCommand = app.add_subcommand("holders", "list the enrolled holders");
  holdersCommand->add_option("--dir", dir, "the authority's folder")->required();

  std::int64_t serial = 0;
  std::string reason = "Revoked by the authority";
  CLI::App* revokeCommand = app.add_subcommand("revoke", "revoke a holder's certificate");
  revokeCommand->add_option("--dir", dir, "the authority's folder")->required();
  revokeCommand->add_option("SERIAL", serial, "the certificate's serial number")->required();
  revokeCommand->add_option("--reason", reason, "the reason recorded");

  if (const auto refused = kestrune::command_line::checkCommandWords(
          app, std::span<const char* const>(argv + 1, argc > 0 ? argc - 1 : 0), std::cerr)) {
    return *refused;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and --version are "errors" that exit 0.
    return app.exit(e) == 0 ? 0 : kExitUsage;
  }

  std::string why;
  if (initCommand->parsed()) {
    if (generateKey) init.keySource = kestrune::ca::KeySource::generate;
    if (!init.pemPath.empty()) init.keySource = kestrune::ca::KeySource::pemFile;
    const AuthorityResult made = kestrune::ca::initAuthority(dir, init, &why);
    OPENSSL_cleanse(init.pemPassphrase.data(), init.pemPassphrase.size());
    if (made != AuthorityResult::ok) return failed("init", why);
    const bool testKey = kestrune::ca::usesTestKey(dir);
    std::cerr << "fedi-ca: authority " << init.casid2 << " / " << init.casid1 << " made in " << dir
              << " with " << keyDescription(init, testKey) << '\n';
    if (testKey) std::cerr << kTestKeyWarning;
    return 0;
  }
  if (serveCommand->parsed()) {
    if (readTimeoutMs <= 0 || headerTimeoutMs <= 0) {
      std::cerr << "fedi-ca serve: --timeout-ms and --header-timeout-ms must be positive\n";
      return kExitUsage;
    }
    options.readTimeout = options.writeTimeout = std::chrono::milliseconds(readTimeoutMs);
    options.headerTimeout = std::chrono::milliseconds(headerTimeoutMs);
    return serve(dir, listen, logPath, allowRemote, options);
  }
  if (enrolCommand->parsed()) {
    std::string pass;
    if (kestrune::ca::enrolHolder(dir, sid1, sid2, pass, &why) != AuthorityResult::ok) {
      return failed("enrol", why);
    }
    std::cout << pass << '\n';
    OPENSSL_cleanse(pass.data(), pass.size());
    return 0;
  }
  if (listCommand->parsed()) return list(dir);
  if (holdersCommand->parsed()) return holders(dir);
  if (revokeCommand->parsed()) {
    if (kestrune::ca::revokeBySerial(dir, serial, reason, &why) != AuthorityResult::ok) {
      return failed("revoke", why);
    }
    std::cerr << "fedi-ca: certificate " << serial << " revoked\n";
    return 0;
  }
  std::string base64;
  if (kestrune::ca::authorityBagBase64(dir, base64, &why) != AuthorityResult::ok) {
    return failed("ca-cert", why);
  }
  std::cout << base64;
  return 0;
}
