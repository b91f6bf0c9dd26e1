// What the authority remembers, in its SQLite database: its identifiers, the holders it has
// enrolled with their pass phrases, and every certificate it has issued with its revocation.
// Serial numbers come from the database, unique and increasing, never reused.
//
// A store wraps one connection and is used by one thread at a time; every request opens its
// own. Times are seconds since 1970.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ca/sqlite_db.h"

namespace kestrune::ca {

// The database file, the key file and the lock file inside an authority's folder.
inline constexpr const char* kDatabaseFileName = "authority.db";
inline constexpr const char* kKeyFileName = "authority_key.pem";
inline constexpr const char* kLockFileName = "authority.lock";

// After this many wrong MACs a holder's pass phrase admits nothing until it is enrolled again.
inline constexpr int kMaxMacFailures = 5;

struct AuthorityIdentity {
  std::string casid1;  // CN of the authority's name
  std::string casid2;  // O of the authority's name
};

struct HolderId {
  std::string sid1;  // CN of the holder's name
  std::string sid2;  // O of the holder's name
  bool operator==(const HolderId&) const = default;
};

// A certificate as recorded: its DER, its holder (empty for the authority's own), validity and
// revocation.
struct CertificateRecord {
  std::int64_t serial = 0;
  HolderId holder;
  bool authority = false;  // one of the authority's own certificates
  std::int64_t notBefore = 0;
  std::int64_t notAfter = 0;
  std::vector<std::uint8_t> der;            // the FEDI_X509
  std::optional<std::int64_t> revokedAt;    // none while in good standing
  std::optional<std::int64_t> renewedFrom;  // the serial this one renews
};

// An enrolled holder as recorded.
struct HolderRecord {
  HolderId id;
  std::string pass;
  std::int64_t enrolledAt = 0;
  bool passSpent = false;  // the pass phrase has admitted its one new certificate
  int macFailures = 0;     // wrong MACs since the holder was enrolled
};

struct RevokedEntry {
  std::int64_t serial = 0;
  std::int64_t revokedAt = 0;
};

// What a new certificate will be, before its serial number is known.
struct CertificatePlan {
  HolderId holder;
  bool authority = false;
  std::int64_t notBefore = 0;
  std::int64_t notAfter = 0;
  std::optional<std::int64_t> renewedFrom;
  // SHA-256 of the certified key's PKCS#1 RSAPublicKey: the key whatever certificate carries it.
  std::vector<std::uint8_t> keyDigest;
};

// What issueNew did.
enum class NewCertificateResult {
  ok,
  passSpent,     // the pass phrase admitted a certificate already, or too many wrong MACs
  keyRevoked,    // a certificate of this key was revoked: the key is never certified again
  keyCertified,  // the key has a certificate in good standing: renewal is the way
  failed,
};

// Signs the certificate of a plan once its serial number is known: its DER, or no bytes.
using CertificateSigner = std::function<std::vector<std::uint8_t>(std::int64_t serial)>;

enum class StoreResult { ok, notFound, failed };

class AuthorityStore {
 public:
  // open returns the store of an initialised database, or none with the reason in error.
  static std::optional<AuthorityStore> open(const std::string& databasePath, std::string& error);
  // create makes a new database with the schema and identity; none with the reason in error.
  static std::optional<AuthorityStore> create(const std::string& databasePath,
                                              const AuthorityIdentity& identity,
                                              std::string& error);

  std::optional<AuthorityIdentity> identity();

  // setPassPhrase enrols holder with pass (a holder enrolled again gets the new one).
  bool setPassPhrase(const HolderId& holder, const std::string& pass, std::int64_t now);
  // holder: ok with the record, notFound for a holder never enrolled, or failed.
  StoreResult holder(const HolderId& holder, HolderRecord& out);
  // recordMacFailure counts one more wrong MAC against the holder.
  bool recordMacFailure(const HolderId& holder);
  // allHolders lists every enrolled holder, ordered by SID2 then SID1.
  bool allHolders(std::vector<HolderRecord>& out);
  // holdersMatching lists the enrolled holders whose SID1 and SID2 equal the given ones, an
  // empty text matching any, ordered by SID2 then SID1.
  bool holdersMatching(const std::string& sid1, const std::string& sid2,
                       std::vector<HolderId>& holders);

  // issue records plan under the next serial number and stores what signer makes of it, in one
  // transaction: nothing is recorded when the signer fails. A plan that renews a certificate
  // whose unrevoked renewal exists gets that renewal instead, and nothing new is recorded; one
  // that renews a revoked (or unknown) certificate gets notFound.
  StoreResult issue(const CertificatePlan& plan, const CertificateSigner& signer,
                    CertificateRecord& issued);
  // issueNew records a new certificate (no renewal) admitted by the holder's pass phrase pass,
  // in one transaction with its checks: the key was never revoked, has no certificate in good
  // standing at now, and pass is still the holder's, unspent and not locked by wrong MACs; the
  // pass phrase is then spent.
  NewCertificateResult issueNew(const CertificatePlan& plan, const std::string& pass,
                                std::int64_t now, const CertificateSigner& signer,
                                CertificateRecord& issued);

  // Lookups: ok with the record, notFound, or failed.
  StoreResult bySerial(std::int64_t serial, CertificateRecord& out);
  // inForce: the holder's latest certificate, unrevoked, with notBefore <= now < notAfter.
  StoreResult inForce(const HolderId& holder, std::int64_t now, CertificateRecord& out);
  // validAt: the holder's latest certificate valid at `at` and not revoked by then.
  StoreResult validAt(const HolderId& holder, std::int64_t at, CertificateRecord& out);
  // renewalOf: the unrevoked certificate that renews serial, if one was issued.
  StoreResult renewalOf(std::int64_t serial, CertificateRecord& out);
  // authorityCertificate: the authority's latest own certificate valid at `at`.
  StoreResult authorityCertificate(std::int64_t at, CertificateRecord& out);

  // revoke marks serial, and every unrevoked renewal descending from it (they carry the same
  // key), revoked at `at` with reason. notFound when serial was already revoked.
  StoreResult revoke(std::int64_t serial, std::int64_t at, const std::vector<std::uint8_t>& reason);
  // revocations lists every revoked certificate by serial number.
  bool revocations(std::vector<RevokedEntry>& out);
  // allCertificates lists every certificate by serial number (without their DER).
  bool allCertificates(std::vector<CertificateRecord>& out);

  std::string lastError() const { return connection_.lastError(); }

 private:
  explicit AuthorityStore(db::Connection connection) : connection_(std::move(connection)) {}
  StoreResult one(db::Statement& statement, CertificateRecord& out);
  // latestOfHolder: the holder's latest certificate with notBefore <= at < notAfter that
  // unrevokedClause (SQL, `at` being ?3) accepts.
  StoreResult latestOfHolder(const HolderId& holder, std::int64_t at, const char* unrevokedClause,
                             CertificateRecord& out);
  // unrevoked: ok when serial is recorded and not revoked, notFound otherwise, or failed.
  StoreResult unrevoked(std::int64_t serial);
  // insert records plan under the next serial number with what signer makes of it; the caller
  // holds the transaction.
  StoreResult insert(const CertificatePlan& plan, const CertificateSigner& signer,
                     CertificateRecord& issued);
  // exists: ok when the query (with ?1 bound to a blob) finds a row, notFound, or failed.
  StoreResult exists(const char* sql, std::span<const std::uint8_t> blob);
  // migrate brings a database of an earlier schema version to this one.
  bool migrate(int fromVersion, std::string& error);

  db::Connection connection_;
};

}  // namespace kestrune::ca
