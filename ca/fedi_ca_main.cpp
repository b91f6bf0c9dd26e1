// fedi-ca: the FEDI certification authority's command line.
//   fedi-ca init    --dir DIR [--casid1 ID --casid2 ID] [--generate-key [--bits N] | --key PEM]
//   fedi-ca serve   --dir DIR --listen HOST:PORT   (port 0 picks one; the first line of standard
//                   output is the initiation URL; runs until SIGINT or SIGTERM)
//   fedi-ca enrol   --dir DIR SID1 SID2            (prints the holder's pass phrase)
//   fedi-ca ca-cert --dir DIR                      (prints the authority's certificate bag, Base64)
// Exit status: 0 done, 1 the authority refused or failed (the reason on standard error), 2 usage.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <string>
#include <thread>

#include "ca/authority.h"

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

int serve(const std::string& dir, const std::string& listen,
          const kestrune::ca::ServerOptions& options) {
  std::string host;
  int port = 0;
  if (!splitListen(listen, host, port)) {
    std::cerr << "fedi-ca serve: --listen takes HOST:PORT\n";
    return kExitUsage;
  }
  std::signal(SIGINT, requestStop);
  std::signal(SIGTERM, requestStop);
  kestrune::ca::AuthorityServer server;
  std::string why;
  if (server.start(dir, host, port, options, &why) != AuthorityResult::ok) {
    return failed("serve", why);
  }
  std::cout << server.initiationUrl() << std::endl;
  std::cerr << "fedi-ca: serving " << dir << " at " << server.initiationUrl() << '\n';
  while (stopRequested == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server.stop();
  std::cerr << "fedi-ca: stopped\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"fedi-ca: a FEDI certification authority"};
  app.require_subcommand(1);

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
  kestrune::ca::ServerOptions options;
  long readTimeoutMs = static_cast<long>(options.readTimeout.count());
  CLI::App* serveCommand = app.add_subcommand("serve", "answer the FEDI exchange over HTTP");
  serveCommand->add_option("--dir", dir, "the authority's folder")->required();
  serveCommand->add_option("--listen", listen, "HOST:PORT to listen on (port 0 picks one)")
      ->required();
  serveCommand->add_option("--timeout-ms", readTimeoutMs, "read and write time-out per client");
  serveCommand->add_option("--workers", options.workers, "requests served at once");
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

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }

  std::string why;
  if (initCommand->parsed()) {
    if (generateKey) init.keySource = kestrune::ca::KeySource::generate;
    if (!init.pemPath.empty()) init.keySource = kestrune::ca::KeySource::pemFile;
    if (kestrune::ca::initAuthority(dir, init, &why) != AuthorityResult::ok) {
      return failed("init", why);
    }
    std::cerr << "fedi-ca: authority " << init.casid2 << " / " << init.casid1 << " made in " << dir
              << '\n';
    return 0;
  }
  if (serveCommand->parsed()) {
    if (readTimeoutMs <= 0) {
      std::cerr << "fedi-ca serve: --timeout-ms must be positive\n";
      return kExitUsage;
    }
    options.readTimeout = options.writeTimeout = std::chrono::milliseconds(readTimeoutMs);
    return serve(dir, listen, options);
  }
  if (enrolCommand->parsed()) {
    std::string pass;
    if (kestrune::ca::enrolHolder(dir, sid1, sid2, pass, &why) != AuthorityResult::ok) {
      return failed("enrol", why);
    }
    std::cout << pass << '\n';
    return 0;
  }
  std::string base64;
  if (kestrune::ca::authorityBagBase64(dir, base64, &why) != AuthorityResult::ok) {
    return failed("ca-cert", why);
  }
  std::cout << base64;
  return 0;
}
