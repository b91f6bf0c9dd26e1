// fedi-ca, a FEDI certification authority: the other side of the control's CA exchange, for
// tests, the demo and integrators. An authority lives in a folder: its RSA key (PEM) and an
// SQLite database (WAL) with its identifiers, the enrolled holders and every certificate it has
// issued or revoked. AuthorityServer answers the initiation and the FEDI messages over HTTP on a
// thread pool; several servers may run in one process, each on its own folder.
//
// The functions never throw and never end the process; they return an AuthorityResult and, when
// asked, a reason in English.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FEDIX509/builtin_ca_records.h"

namespace kestrune::ca {

enum class AuthorityResult : int {
  ok = 0,
  alreadyInitialised = 1,  // initAuthority: the folder already holds an authority
  notInitialised = 2,      // no authority database of this version in the folder
  cannotWrite = 3,         // the folder, the key file or the database cannot be made
  badKey = 4,              // the key cannot be read or made, or is not an RSA private key
  badArgument = 5,         // an identifier that is empty, too long or not printable ASCII
  issuingFailed = 6,       // the authority's own certificate cannot be issued
  storageFailed = 7,       // the database refused a read or a write
  cannotListen = 8,        // the address cannot be bound
  alreadyRunning = 9,      // start on a server that is running
  noMemory = 10,
  busy = 11,          // initAuthority: another run is making an authority in the folder
  unsafeFolder = 12,  // the folder is not ours, or other users can write into it
  notFound = 13,      // revokeBySerial: no holder certificate has that serial number
  alreadyRevoked = 14,
};

// The key an authority is made with.
enum class KeySource {
  testKey,   // the published test key of the built-in test CA record (tests/data)
  generate,  // a fresh RSA key of generatedBits
  pemFile,   // the private key of pemPath (with pemPassphrase when it is encrypted)
};

struct InitOptions {
  KeySource keySource = KeySource::testKey;
  unsigned generatedBits = 1024;
  std::string pemPath;
  std::string pemPassphrase;
  // The defaults are the test record's, so that the control's checks against its built-in test
  // CA record accept the authority's certificate.
  std::string casid1 = fedi::kTestCasid1;
  std::string casid2 = fedi::kTestCasid2;
  // The authority's own certificate: valid from an hour ago for this long.
  std::int64_t authorityLifetimeSeconds = 10LL * 365 * 24 * 3600;
};

// initAuthority makes dir (and its parents) and the authority in it: its key, its identifiers,
// its self-issued certificate (serial 1) and its database. ok, or alreadyInitialised,
// cannotWrite, badKey, badArgument, issuingFailed, storageFailed; a failure leaves no authority
// behind.
AuthorityResult initAuthority(const std::string& dir, const InitOptions& options,
                              std::string* error = nullptr) noexcept;

// enrolHolder records the holder SID1 / SID2 (1 to 64 printable ASCII characters each) and sets
// passPhrase to a new random pass phrase of 20 letters and digits, which the holder's
// new-certificate requests must be MACed with. Enrolling a holder again replaces its pass phrase.
// ok, or notInitialised, badArgument, storageFailed.
AuthorityResult enrolHolder(const std::string& dir, const std::string& sid1,
                            const std::string& sid2, std::string& passPhrase,
                            std::string* error = nullptr) noexcept;

// authorityBagBase64 sets base64 to the authority's current certificate bag (one certificate,
// bag type 1) in the control's Base64 text, as loadCACertB64 takes it. ok, or notInitialised,
// storageFailed, issuingFailed.
AuthorityResult authorityBagBase64(const std::string& dir, std::string& base64,
                                   std::string* error = nullptr) noexcept;

// A certificate as the operator's listing shows it.
struct CertificateListing {
  std::int64_t serial = 0;
  std::string sid1;  // the holder's, or CASID1 for the authority's own
  std::string sid2;
  bool authority = false;
  std::int64_t notBefore = 0;
  std::int64_t notAfter = 0;
  std::optional<std::int64_t> revokedAt;
  std::optional<std::int64_t> renewedFrom;
};

// An enrolled holder as the operator's listing shows it (never its pass phrase).
struct HolderListing {
  std::string sid1;
  std::string sid2;
  std::int64_t enrolledAt = 0;
  bool passSpent = false;  // its pass phrase admitted its one new certificate
  int macFailures = 0;
  bool locked = false;  // too many wrong MACs: nothing admitted until enrolled again
};

// listCertificates fills out with every certificate the authority issued, by serial number. ok,
// or notInitialised, unsafeFolder, storageFailed.
AuthorityResult listCertificates(const std::string& dir, std::vector<CertificateListing>& out,
                                 std::string* error = nullptr) noexcept;

// listHolders fills out with the enrolled holders, by SID2 then SID1. ok, or notInitialised,
// unsafeFolder, storageFailed.
AuthorityResult listHolders(const std::string& dir, std::vector<HolderListing>& out,
                            std::string* error = nullptr) noexcept;

// revokeBySerial revokes a holder's certificate (and a renewal waiting to follow it) by the
// operator's decision, with reason as the recorded reason. ok, or notInitialised, unsafeFolder,
// notFound (no holder certificate with that serial), alreadyRevoked, storageFailed.
AuthorityResult revokeBySerial(const std::string& dir, std::int64_t serial,
                               const std::string& reason, std::string* error = nullptr) noexcept;

// isoTime writes seconds since 1970 as the listings and log lines do: 2024-01-31T12:00:00Z.
std::string isoTime(std::int64_t secondsSince1970);

// loopbackHost: host names this machine's loopback only ("localhost", 127.0.0.0/8 written as
// numbers, "::1"); a wildcard, any other address or a name is not.
bool loopbackHost(const std::string& host);

// usesTestKey: the authority in dir signs with the published test key. False when its key
// cannot be read.
bool usesTestKey(const std::string& dir) noexcept;

struct ServerOptions {
  // A client's request line and headers must arrive within headerTimeout of its connection (or
  // of the previous answer on a kept-alive one), its body within readTimeout after them; no read
  // or write waits longer than readTimeout / writeTimeout for the client.
  std::chrono::milliseconds headerTimeout{5'000};
  std::chrono::milliseconds readTimeout{10'000};
  std::chrono::milliseconds writeTimeout{10'000};
  // An idle kept-alive connection is closed after this long; the control asks for
  // "Connection: close" anyway.
  std::chrono::seconds keepAliveTimeout{2};
  // A message body above this many bytes gets HTTP 413, as soon as its length is announced or
  // its bytes go past it, whatever its transfer coding.
  std::size_t maxBodyBytes = 1 << 20;
  // Requests whose work (database, signing) runs at once. Connections waiting on their clients
  // don't take one: each connection has a thread of its own, up to maxConnections.
  unsigned workers = 8;
  // Connections open at once, in all and from one client address; one more gets HTTP 503.
  unsigned maxConnections = 256;
  unsigned maxConnectionsPerAddress = 16;
  // The base URL announced in FEDI-SET-URL ("http://ca.example:8080"; the message path is
  // added); empty for the listen address. The client's Host header is never used.
  std::string publicUrl;
  // Receives one line per request and per refused connection (see ca/README.md); none when
  // empty. Called from the connections' threads, one call at a time.
  std::function<void(const std::string& line)> log;
  // Holder certificates: a new one is valid from backdateSeconds ago for lifetimeSeconds; a
  // renewal starts when the renewed certificate ends and lasts lifetimeSeconds.
  std::int64_t lifetimeSeconds = 365LL * 24 * 3600;
  std::int64_t backdateSeconds = 3600;
  // The revocation list's next update is this long after its issue.
  std::int64_t crlLifetimeSeconds = 24 * 3600;
  // The authority's clock, seconds since 1970; empty for the platform's.
  std::function<std::int64_t()> clock;
};

class AuthorityServer {
 public:
  AuthorityServer();
  ~AuthorityServer();  // stops the server
  AuthorityServer(const AuthorityServer&) = delete;
  AuthorityServer& operator=(const AuthorityServer&) = delete;

  // start loads the authority of dir and serves it on host:port (port 0 picks a free one) until
  // stop. It returns once the socket listens. ok, or alreadyRunning, notInitialised,
  // unsafeFolder, badKey, storageFailed, badArgument (port outside 0 to 65535, or a public URL
  // that is not http:// or https:// followed by printable text), cannotListen.
  AuthorityResult start(const std::string& dir, const std::string& host, int port,
                        const ServerOptions& options = {}, std::string* error = nullptr) noexcept;
  // stop closes the socket, lets the requests being served finish and waits for the threads.
  void stop() noexcept;
  bool running() const noexcept;

  // The port listened on, 0 when not running.
  int port() const noexcept;
  // "http://host:port/fedi/init", the URL the control's CA methods take; empty when not running.
  std::string initiationUrl() const;
  // "http://host:port/fedi/msg", where the FEDI messages go; empty when not running.
  std::string messageUrl() const;
  // The message URL announced in FEDI-SET-URL: the public URL's when one was given.
  std::string announcedMessageUrl() const;
  // The address the socket is bound to, as numbers ("0.0.0.0", "::", "127.0.0.1"); empty when
  // not running.
  std::string boundAddress() const;
  // listensBeyondLoopback: the socket takes connections from other machines (bound to a
  // wildcard or to an address outside 127.0.0.0/8 and ::1).
  bool listensBeyondLoopback() const;

 private:
  struct Running;
  std::unique_ptr<Running> running_;
};

}  // namespace kestrune::ca
