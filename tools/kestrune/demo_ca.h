// The demo's certification authority: a fedi-ca authority in a folder of the demo's own, made
// once and reused, served in this process on 127.0.0.1 while the demo runs, with the demo's
// holder enrolled.
#pragma once

#include <cstdint>
#include <string>

#include "ca/authority.h"

namespace kestrune::host {

// The holder the demo personalises the token for and enrols with the authority.
inline constexpr const char* kDemoUserId = "U001";  // SID1, the subject's CN
inline constexpr const char* kDemoOrgId = "ORG01";  // SID2, the subject's O
// The authority's folder within the demo's.
inline constexpr const char* kDemoAuthorityFolder = "authority";

struct DemoAuthority {
  std::string dir;
  bool created = false;    // false: the folder held an authority already
  std::string passPhrase;  // the holder's, new on every run
  std::string caBag;       // the authority's certificate bag, Base64 as loadCACertB64 takes it
  std::string url;         // the initiation URL the control's CA methods take
  // How the authority dates a holder's certificates, for the demo's checks.
  std::int64_t lifetimeSeconds = 0;
  std::int64_t backdateSeconds = 0;
  ca::AuthorityServer server;
};

// startDemoAuthority makes the authority in dir when the folder holds none yet (the published
// test key and the test CA record's identifiers, so the control's built-in test record accepts
// it), enrols the holder kDemoUserId / kDemoOrgId again for a fresh pass phrase, and serves the
// authority on 127.0.0.1 at a free port until authority.server stops. Returns false with the
// reason in why.
bool startDemoAuthority(const std::string& dir, DemoAuthority& authority, std::string& why);

}  // namespace kestrune::host
