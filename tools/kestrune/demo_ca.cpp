#include "tools/kestrune/demo_ca.h"

#include "platform/platform.h"

namespace kestrune::host {
namespace {

constexpr const char* kLoopback = "127.0.0.1";
// The demo's exchanges come one at a time.
constexpr unsigned kDemoWorkers = 2;

// keepLoopbackOffProxies adds the loopback address to no_proxy: the authority listens on this
// machine only, and a proxy configured for the web would take its requests elsewhere.
bool keepLoopbackOffProxies() {
  std::string list = platform::environmentVariable("no_proxy");
  if (list.empty()) list = platform::environmentVariable("NO_PROXY");
  if (!list.empty()) list += ",";
  list += kLoopback;
  return platform::setEnvironmentVariable("no_proxy", list.c_str());
}

bool failed(const char* what, const std::string& detail, std::string& why) {
  why = std::string(what) + ": " + detail;
  return false;
}

}  // namespace

bool startDemoAuthority(const std::string& dir, DemoAuthority& authority, std::string& why) {
  authority.dir = dir;
  std::string detail;
  // initAuthority never overwrites: a folder that holds an authority is used as it is.
  const ca::AuthorityResult made = ca::initAuthority(dir, ca::InitOptions{}, &detail);
  if (made != ca::AuthorityResult::ok && made != ca::AuthorityResult::alreadyInitialised) {
    return failed("cannot make the authority", detail, why);
  }
  authority.created = made == ca::AuthorityResult::ok;
  // Enrolling again gives the holder a new pass phrase, so every run applies as a newcomer.
  if (ca::enrolHolder(dir, kDemoUserId, kDemoOrgId, authority.passPhrase, &detail) !=
      ca::AuthorityResult::ok) {
    return failed("cannot enrol the holder", detail, why);
  }
  if (ca::authorityBagBase64(dir, authority.caBag, &detail) != ca::AuthorityResult::ok) {
    return failed("cannot read the authority's certificate", detail, why);
  }
  if (!keepLoopbackOffProxies()) {
    why = "cannot set no_proxy";
    return false;
  }
  ca::ServerOptions options;
  options.workers = kDemoWorkers;
  authority.lifetimeSeconds = options.lifetimeSeconds;
  authority.backdateSeconds = options.backdateSeconds;
  if (authority.server.start(dir, kLoopback, 0, options, &detail) != ca::AuthorityResult::ok) {
    return failed("cannot start the authority", detail, why);
  }
  authority.url = authority.server.initiationUrl();
  return true;
}

}  // namespace kestrune::host
