// A loaded authority: what every request handler reads and never changes while the server
// runs (its key, identifiers and name, the database's path, the issuing options).
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ca/authority.h"
#include "ca/authority_store.h"
#include "ca/issuing.h"
#include "common/ptr.h"

namespace kestrune::ca {

using NamePtr = Ptr<X509_NAME>;

struct AuthorityContext {
  std::string databasePath;
  KeyPtr key;
  AuthorityIdentity identity;
  FediName name;       // O = CASID2, CN = CASID1: the issuer of everything the authority signs
  NamePtr issuerName;  // name as an X509_NAME, to compare the issuer a request names
  ServerOptions options;
  // A connection held open while the authority is loaded, used by no request. Each request opens
  // its own; without this one, closing the last would checkpoint the WAL into the database (with
  // an fsync after a write) and delete the WAL and shared-memory files, for the next request to
  // make them again.
  std::optional<AuthorityStore> keeper;

  std::int64_t now() const;
};

// checkFolder: ok when dir is a folder of ours that no other user can write into; otherwise
// unsafeFolder (or notInitialised when it is missing) with the reason in error.
AuthorityResult checkFolder(const std::string& dir, std::string& error);

// openAuthorityStore opens the database of the authority in dir: the store with result ok, or
// none with result notInitialised (or unsafeFolder) and the reason in error.
std::optional<AuthorityStore> openAuthorityStore(const std::string& dir, AuthorityResult& result,
                                                 std::string& error);

// loadAuthority fills context from the authority in dir. ok, or notInitialised, badKey,
// storageFailed, issuingFailed (the identifiers make no name), with the reason in error.
AuthorityResult loadAuthority(const std::string& dir, const ServerOptions& options,
                              AuthorityContext& context, std::string& error);

// fediNameOf returns the two-entry name O = organization, CN = commonName in PrintableStrings
// when the texts allow, in UTF8Strings otherwise.
FediName fediNameOf(const std::string& organization, const std::string& commonName);

// pathIn returns dir/name.
std::string pathIn(const std::string& dir, const char* name);

}  // namespace kestrune::ca
