#include "ca/authority_store.h"

#include "ca/certificate_delivery.h"

namespace kestrune::ca {

namespace {

constexpr int kSchemaVersion = 2;

constexpr const char* kSchema = R"sql(
CREATE TABLE authority(
  id INTEGER PRIMARY KEY CHECK (id = 1),
  casid1 TEXT NOT NULL,
  casid2 TEXT NOT NULL);
CREATE TABLE holders(
  sid1 TEXT NOT NULL,
  sid2 TEXT NOT NULL,
  pass_phrase TEXT NOT NULL,
  enrolled_at INTEGER NOT NULL,
  pass_spent INTEGER NOT NULL DEFAULT 0,
  mac_failures INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (sid1, sid2));
CREATE TABLE certificates(
  serial INTEGER PRIMARY KEY AUTOINCREMENT,
  sid1 TEXT NOT NULL,
  sid2 TEXT NOT NULL,
  is_authority INTEGER NOT NULL,
  not_before INTEGER NOT NULL,
  not_after INTEGER NOT NULL,
  der BLOB NOT NULL,
  revoked_at INTEGER,
  revocation_reason BLOB,
  renewed_from INTEGER REFERENCES certificates(serial),
  key_digest BLOB);
CREATE INDEX certificates_by_holder ON certificates(sid2, sid1, serial);
CREATE INDEX certificates_by_renewed ON certificates(renewed_from);
CREATE INDEX certificates_by_key ON certificates(key_digest);
PRAGMA user_version = 2;
)sql";

// From the first schema: the holders' pass-phrase state and the certified key of every
// certificate. A holder that has a certificate already has spent its pass phrase.
constexpr const char* kMigrationFrom1 = R"sql(
ALTER TABLE holders ADD COLUMN pass_spent INTEGER NOT NULL DEFAULT 0;
ALTER TABLE holders ADD COLUMN mac_failures INTEGER NOT NULL DEFAULT 0;
ALTER TABLE certificates ADD COLUMN key_digest BLOB;
CREATE INDEX certificates_by_key ON certificates(key_digest);
UPDATE holders SET pass_spent = EXISTS(SELECT 1 FROM certificates c
  WHERE c.sid1 = holders.sid1 AND c.sid2 = holders.sid2 AND c.is_authority = 0);
PRAGMA user_version = 2;
)sql";

constexpr const char* kHolderColumns =
    "SELECT sid1, sid2, pass_phrase, enrolled_at, pass_spent, mac_failures FROM holders ";

HolderRecord readHolder(const db::Statement& row) {
  HolderRecord holder;
  holder.id = {row.text(0), row.text(1)};
  holder.pass = row.text(2);
  holder.enrolledAt = row.integer(3);
  holder.passSpent = row.integer(4) != 0;
  holder.macFailures = static_cast<int>(row.integer(5));
  return holder;
}

constexpr const char* kColumns =
    "SELECT serial, sid1, sid2, is_authority, not_before, not_after, der, revoked_at, "
    "renewed_from FROM certificates ";

CertificateRecord readRecord(const db::Statement& row) {
  CertificateRecord record;
  record.serial = row.integer(0);
  record.holder = {row.text(1), row.text(2)};
  record.authority = row.integer(3) != 0;
  record.notBefore = row.integer(4);
  record.notAfter = row.integer(5);
  record.der = row.blob(6);
  if (!row.isNull(7)) record.revokedAt = row.integer(7);
  if (!row.isNull(8)) record.renewedFrom = row.integer(8);
  return record;
}

}  // namespace

std::optional<AuthorityStore> AuthorityStore::open(const std::string& databasePath,
                                                   std::string& error) {
  auto connection = db::Connection::open(databasePath, false, error);
  if (!connection) return std::nullopt;
  db::Statement version = connection->prepare("PRAGMA user_version");
  const int found = version.step() == SQLITE_ROW ? static_cast<int>(version.integer(0)) : -1;
  version = db::Statement(nullptr);
  if (found < 1 || found > kSchemaVersion) {
    error = databasePath + " is not an authority database of this version";
    return std::nullopt;
  }
  AuthorityStore store(std::move(*connection));
  if (found < kSchemaVersion && !store.migrate(found, error)) return std::nullopt;
  return store;
}

bool AuthorityStore::migrate(int fromVersion, std::string& error) {
  db::Transaction transaction(connection_);
  // Another connection may have migrated it meanwhile: read the version inside the transaction.
  db::Statement version = connection_.prepare("PRAGMA user_version");
  if (!transaction.begun() || version.step() != SQLITE_ROW) {
    error = "cannot read the database's version: " + connection_.lastError();
    return false;
  }
  const bool migratedMeanwhile = version.integer(0) != fromVersion;
  version = db::Statement(nullptr);
  if (migratedMeanwhile) return transaction.commit();
  bool done = connection_.exec(kMigrationFrom1) == SQLITE_OK;
  std::vector<std::pair<std::int64_t, std::vector<std::uint8_t>>> digests;
  if (done) {
    db::Statement select = connection_.prepare("SELECT serial, der FROM certificates");
    int rc = SQLITE_ROW;
    while ((rc = select.step()) == SQLITE_ROW) {
      CertificateRecord record;
      record.der = select.blob(1);
      digests.emplace_back(select.integer(0), certificateKeyDigest(record));
    }
    done = rc == SQLITE_DONE;
  }
  for (const auto& [serial, digest] : digests) {
    if (!done) break;
    db::Statement update =
        connection_.prepare("UPDATE certificates SET key_digest = ?1 WHERE serial = ?2");
    done = (digest.empty() ? update.bindNull(1) : update.bind(1, digest)) &&
           update.bind(2, serial) && update.run();
  }
  if (!done || !transaction.commit()) {
    error = "cannot bring the database to this version: " + connection_.lastError();
    return false;
  }
  return true;
}

std::optional<AuthorityStore> AuthorityStore::create(const std::string& databasePath,
                                                     const AuthorityIdentity& identity,
                                                     std::string& error) {
  auto connection = db::Connection::open(databasePath, true, error);
  if (!connection) return std::nullopt;
  db::Transaction transaction(*connection);
  bool made = transaction.begun() && connection->exec(kSchema) == SQLITE_OK;
  if (made) {
    db::Statement insert =
        connection->prepare("INSERT INTO authority(id, casid1, casid2) VALUES (1, ?1, ?2)");
    made = insert.bind(1, identity.casid1) && insert.bind(2, identity.casid2) && insert.run();
  }
  if (!made || !transaction.commit()) {
    error = "cannot create the database: " + connection->lastError();
    return std::nullopt;
  }
  return AuthorityStore(std::move(*connection));
}

std::optional<AuthorityIdentity> AuthorityStore::identity() {
  db::Statement select = connection_.prepare("SELECT casid1, casid2 FROM authority WHERE id = 1");
  if (select.step() != SQLITE_ROW) return std::nullopt;
  return AuthorityIdentity{select.text(0), select.text(1)};
}

bool AuthorityStore::setPassPhrase(const HolderId& holder, const std::string& pass,
                                   std::int64_t now) {
  db::Statement upsert = connection_.prepare(
      "INSERT INTO holders(sid1, sid2, pass_phrase, enrolled_at) VALUES (?1, ?2, ?3, ?4) "
      "ON CONFLICT(sid1, sid2) DO UPDATE SET pass_phrase = ?3, enrolled_at = ?4, pass_spent = 0, "
      "mac_failures = 0");
  return upsert.bind(1, holder.sid1) && upsert.bind(2, holder.sid2) && upsert.bind(3, pass) &&
         upsert.bind(4, now) && upsert.run();
}

// rowFound steps a query that asks whether a row exists: ok, notFound, or failed.
static StoreResult rowFound(db::Statement& query) {
  switch (query.step()) {
    case SQLITE_ROW:
      return StoreResult::ok;
    case SQLITE_DONE:
      return StoreResult::notFound;
    default:
      return StoreResult::failed;
  }
}

StoreResult AuthorityStore::holder(const HolderId& holder, HolderRecord& out) {
  db::Statement select =
      connection_.prepare(std::string(kHolderColumns) + "WHERE sid1 = ?1 AND sid2 = ?2");
  if (!select.bind(1, holder.sid1) || !select.bind(2, holder.sid2)) return StoreResult::failed;
  switch (select.step()) {
    case SQLITE_ROW:
      out = readHolder(select);
      return StoreResult::ok;
    case SQLITE_DONE:
      return StoreResult::notFound;
    default:
      return StoreResult::failed;
  }
}

bool AuthorityStore::recordMacFailure(const HolderId& holder) {
  db::Statement update = connection_.prepare(
      "UPDATE holders SET mac_failures = mac_failures + 1 WHERE sid1 = ?1 AND sid2 = ?2");
  return update.bind(1, holder.sid1) && update.bind(2, holder.sid2) && update.run();
}

bool AuthorityStore::allHolders(std::vector<HolderRecord>& out) {
  // The listing never needs the pass phrases: they are left in the database.
  db::Statement select = connection_.prepare(
      "SELECT sid1, sid2, '' AS pass_phrase, enrolled_at, pass_spent, mac_failures FROM holders "
      "ORDER BY sid2, sid1");
  out.clear();
  int rc = SQLITE_ROW;
  while ((rc = select.step()) == SQLITE_ROW) out.push_back(readHolder(select));
  return rc == SQLITE_DONE;
}

bool AuthorityStore::holdersMatching(const std::string& sid1, const std::string& sid2,
                                     std::vector<HolderId>& holders) {
  db::Statement select = connection_.prepare(
      "SELECT sid1, sid2 FROM holders WHERE (?1 = '' OR sid1 = ?1) AND (?2 = '' OR sid2 = ?2) "
      "ORDER BY sid2, sid1");
  if (!select.bind(1, sid1) || !select.bind(2, sid2)) return false;
  holders.clear();
  int rc = SQLITE_ROW;
  while ((rc = select.step()) == SQLITE_ROW) holders.push_back({select.text(0), select.text(1)});
  return rc == SQLITE_DONE;
}

StoreResult AuthorityStore::issue(const CertificatePlan& plan, const CertificateSigner& signer,
                                  CertificateRecord& issued) {
  db::Transaction transaction(connection_);
  if (!transaction.begun()) return StoreResult::failed;
  if (plan.renewedFrom) {
    // Checked inside the transaction, so that two renewals served at once make one certificate.
    switch (renewalOf(*plan.renewedFrom, issued)) {
      case StoreResult::ok:
        return StoreResult::ok;
      case StoreResult::notFound:
        break;
      case StoreResult::failed:
        return StoreResult::failed;
    }
    // A revocation served since the request was checked may have revoked the certificate
    // being renewed: its key must not get a fresh certificate.
    if (const StoreResult standing = unrevoked(*plan.renewedFrom); standing != StoreResult::ok) {
      return standing;
    }
  }
  if (insert(plan, signer, issued) != StoreResult::ok || !transaction.commit()) {
    return StoreResult::failed;
  }
  return StoreResult::ok;
}

NewCertificateResult AuthorityStore::issueNew(const CertificatePlan& plan, const std::string& pass,
                                              std::int64_t now, const CertificateSigner& signer,
                                              CertificateRecord& issued) {
  if (plan.keyDigest.empty() || plan.renewedFrom || plan.authority) {
    return NewCertificateResult::failed;
  }
  db::Transaction transaction(connection_);
  if (!transaction.begun()) return NewCertificateResult::failed;
  // A key once revoked stays revoked: whoever asks, under whatever name.
  switch (exists("SELECT 1 FROM certificates WHERE key_digest = ?1 AND revoked_at IS NOT NULL",
                 plan.keyDigest)) {
    case StoreResult::ok:
      return NewCertificateResult::keyRevoked;
    case StoreResult::notFound:
      break;
    case StoreResult::failed:
      return NewCertificateResult::failed;
  }
  db::Statement inGoodStanding = connection_.prepare(
      "SELECT 1 FROM certificates WHERE key_digest = ?1 AND revoked_at IS NULL AND "
      "not_after > ?2");
  if (!inGoodStanding.bind(1, plan.keyDigest) || !inGoodStanding.bind(2, now)) {
    return NewCertificateResult::failed;
  }
  switch (inGoodStanding.step()) {
    case SQLITE_ROW:
      return NewCertificateResult::keyCertified;
    case SQLITE_DONE:
      break;
    default:
      return NewCertificateResult::failed;
  }
  // The pass phrase the MAC was checked with must still be the holder's and unspent.
  db::Statement spend = connection_.prepare(
      "UPDATE holders SET pass_spent = 1 WHERE sid1 = ?1 AND sid2 = ?2 AND pass_phrase = ?3 AND "
      "pass_spent = 0 AND mac_failures < ?4");
  if (!spend.bind(1, plan.holder.sid1) || !spend.bind(2, plan.holder.sid2) ||
      !spend.bind(3, pass) || !spend.bind(4, std::int64_t{kMaxMacFailures}) || !spend.run()) {
    return NewCertificateResult::failed;
  }
  if (sqlite3_changes(connection_.get()) != 1) return NewCertificateResult::passSpent;
  if (insert(plan, signer, issued) != StoreResult::ok || !transaction.commit()) {
    return NewCertificateResult::failed;
  }
  return NewCertificateResult::ok;
}

StoreResult AuthorityStore::insert(const CertificatePlan& plan, const CertificateSigner& signer,
                                   CertificateRecord& issued) {
  db::Statement insert = connection_.prepare(
      "INSERT INTO certificates(sid1, sid2, is_authority, not_before, not_after, der, "
      "renewed_from, key_digest) VALUES (?1, ?2, ?3, ?4, ?5, x'', ?6, ?7)");
  const bool bound = insert.bind(1, plan.holder.sid1) && insert.bind(2, plan.holder.sid2) &&
                     insert.bind(3, std::int64_t{plan.authority ? 1 : 0}) &&
                     insert.bind(4, plan.notBefore) && insert.bind(5, plan.notAfter) &&
                     (plan.renewedFrom ? insert.bind(6, *plan.renewedFrom) : insert.bindNull(6)) &&
                     (plan.keyDigest.empty() ? insert.bindNull(7) : insert.bind(7, plan.keyDigest));
  if (!bound || !insert.run()) return StoreResult::failed;
  const std::int64_t serial = connection_.lastInsertRowid();
  std::vector<std::uint8_t> der = signer(serial);
  if (der.empty()) return StoreResult::failed;
  db::Statement update = connection_.prepare("UPDATE certificates SET der = ?1 WHERE serial = ?2");
  if (!update.bind(1, der) || !update.bind(2, serial) || !update.run()) {
    return StoreResult::failed;
  }
  issued = CertificateRecord{serial,        plan.holder,    plan.authority, plan.notBefore,
                             plan.notAfter, std::move(der), std::nullopt,   plan.renewedFrom};
  return StoreResult::ok;
}

StoreResult AuthorityStore::exists(const char* sql, std::span<const std::uint8_t> blob) {
  db::Statement select = connection_.prepare(sql);
  if (!select.bind(1, blob)) return StoreResult::failed;
  return rowFound(select);
}

StoreResult AuthorityStore::one(db::Statement& statement, CertificateRecord& out) {
  switch (statement.step()) {
    case SQLITE_ROW:
      out = readRecord(statement);
      return StoreResult::ok;
    case SQLITE_DONE:
      return StoreResult::notFound;
    default:
      return StoreResult::failed;
  }
}

StoreResult AuthorityStore::bySerial(std::int64_t serial, CertificateRecord& out) {
  db::Statement select = connection_.prepare(std::string(kColumns) + "WHERE serial = ?1");
  if (!select.bind(1, serial)) return StoreResult::failed;
  return one(select, out);
}

StoreResult AuthorityStore::inForce(const HolderId& holder, std::int64_t now,
                                    CertificateRecord& out) {
  return latestOfHolder(holder, now, "revoked_at IS NULL", out);
}

StoreResult AuthorityStore::validAt(const HolderId& holder, std::int64_t at,
                                    CertificateRecord& out) {
  return latestOfHolder(holder, at, "(revoked_at IS NULL OR revoked_at > ?3)", out);
}

StoreResult AuthorityStore::latestOfHolder(const HolderId& holder, std::int64_t at,
                                           const char* unrevokedClause, CertificateRecord& out) {
  db::Statement select = connection_.prepare(
      std::string(kColumns) + "WHERE sid1 = ?1 AND sid2 = ?2 AND is_authority = 0 AND " +
      unrevokedClause + " AND not_before <= ?3 AND ?3 < not_after ORDER BY serial DESC LIMIT 1");
  if (!select.bind(1, holder.sid1) || !select.bind(2, holder.sid2) || !select.bind(3, at)) {
    return StoreResult::failed;
  }
  return one(select, out);
}

StoreResult AuthorityStore::renewalOf(std::int64_t serial, CertificateRecord& out) {
  db::Statement select = connection_.prepare(
      std::string(kColumns) +
      "WHERE renewed_from = ?1 AND revoked_at IS NULL ORDER BY serial DESC LIMIT 1");
  if (!select.bind(1, serial)) return StoreResult::failed;
  return one(select, out);
}

StoreResult AuthorityStore::authorityCertificate(std::int64_t at, CertificateRecord& out) {
  db::Statement select = connection_.prepare(
      std::string(kColumns) +
      "WHERE is_authority = 1 AND revoked_at IS NULL AND not_before <= ?1 AND ?1 < not_after "
      "ORDER BY serial DESC LIMIT 1");
  if (!select.bind(1, at)) return StoreResult::failed;
  return one(select, out);
}

StoreResult AuthorityStore::revoke(std::int64_t serial, std::int64_t at,
                                   const std::vector<std::uint8_t>& reason) {
  db::Transaction transaction(connection_);
  if (!transaction.begun()) return StoreResult::failed;
  db::Statement update = connection_.prepare(
      "WITH RECURSIVE line(serial) AS (SELECT ?1 UNION "
      "SELECT c.serial FROM certificates c JOIN line ON c.renewed_from = line.serial) "
      "UPDATE certificates SET revoked_at = ?2, revocation_reason = ?3 "
      "WHERE serial IN line AND revoked_at IS NULL");
  if (!update.bind(1, serial) || !update.bind(2, at) || !update.bind(3, reason)) {
    return StoreResult::failed;
  }
  // The named certificate must be in good standing: checked inside the transaction.
  if (const StoreResult standing = unrevoked(serial); standing != StoreResult::ok) return standing;
  if (!update.run() || !transaction.commit()) return StoreResult::failed;
  return StoreResult::ok;
}

StoreResult AuthorityStore::unrevoked(std::int64_t serial) {
  db::Statement standing =
      connection_.prepare("SELECT 1 FROM certificates WHERE serial = ?1 AND revoked_at IS NULL");
  if (!standing.bind(1, serial)) return StoreResult::failed;
  return rowFound(standing);
}

bool AuthorityStore::revocations(std::vector<RevokedEntry>& out) {
  db::Statement select = connection_.prepare(
      "SELECT serial, revoked_at FROM certificates WHERE revoked_at IS NOT NULL ORDER BY serial");
  out.clear();
  int rc = SQLITE_ROW;
  while ((rc = select.step()) == SQLITE_ROW) out.push_back({select.integer(0), select.integer(1)});
  return rc == SQLITE_DONE;
}

bool AuthorityStore::allCertificates(std::vector<CertificateRecord>& out) {
  db::Statement select = connection_.prepare(
      "SELECT serial, sid1, sid2, is_authority, not_before, not_after, x'', revoked_at, "
      "renewed_from FROM certificates ORDER BY serial");
  out.clear();
  int rc = SQLITE_ROW;
  while ((rc = select.step()) == SQLITE_ROW) out.push_back(readRecord(select));
  return rc == SQLITE_DONE;
}

}  // namespace kestrune::ca
