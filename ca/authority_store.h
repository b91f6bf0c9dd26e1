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
#include <string>
#include <vector>

#include "ca/sqlite_db.h"

namespace kestrune::ca {

// The database file and the key file inside an authority's folder.
inline constexpr const char* kDatabaseFileName = "authority.db";
inline constexpr const char* kKeyFileName = "authority_key.pem";

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
  // passPhrase: ok with pass, notFound for a holder never enrolled, or failed.
  StoreResult passPhrase(const HolderId& holder, std::string& pass);
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

  db::Connection connection_;
};

}  // namespace kestrune::ca
