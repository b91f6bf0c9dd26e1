// Making an authority, enrolling holders and handing out the authority's certificate bag: the
// work done on the authority's folder outside the server.
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <ctime>
#include <filesystem>
#include <new>
#include <system_error>

#include "ca/authority.h"
#include "ca/certificate_delivery.h"
#include "ca/record_fields.h"
#include "ca/test_authority_key.h"
#include "common/ptr.h"
#include "platform/authority_os.h"
#include "platform/platform.h"
#include "token/base64.h"

namespace kestrune::ca {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kPassPhraseLength = 20;
// Letters and digits without the look-alikes 0 O 1 l I, so a pass phrase survives being read
// out or typed.
constexpr char kPassAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
constexpr std::int64_t kBackdateSeconds = 3600;

void report(std::string* out, const std::string& why) {
  if (out != nullptr) *out = why;
}

// Everything initAuthority may leave in the folder; removed again when it fails, while it still
// holds the folder's lock, so that nothing another run made is touched.
void removeAuthorityFiles(const std::string& dir) {
  std::error_code ignored;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    fs::remove(pathIn(dir, kDatabaseFileName) + suffix, ignored);
  }
  fs::remove(pathIn(dir, kKeyFileName), ignored);
}

AuthorityResult makeKey(const InitOptions& options, KeyPtr& key, std::string& why) {
  Status status = Status::ok;
  switch (options.keySource) {
    case KeySource::testKey:
      key = loadTestAuthorityKey();
      break;
    case KeySource::generate:
      key = generateRsaKey(options.generatedBits);
      break;
    case KeySource::pemFile:
      key = loadPrivateKey(options.pemPath.c_str(),
                           options.pemPassphrase.empty() ? nullptr : options.pemPassphrase.c_str(),
                           &status);
      break;
  }
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
    why = key ? "the key is not an RSA key" : "the key cannot be read or made";
    return AuthorityResult::badKey;
  }
  return AuthorityResult::ok;
}

// writeKey writes key as an unencrypted PKCS#8 PEM file readable by its owner only: the file is
// made with that mode, never through a link nor over an existing file.
AuthorityResult writeKey(EVP_PKEY* key, const std::string& path, std::string& why) {
  const Ptr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    why = "the key cannot be written as PEM";
    return AuthorityResult::badKey;
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  if (length <= 0) {
    why = "the key cannot be written as PEM";
    return AuthorityResult::badKey;
  }
  const std::span<const std::uint8_t> pem(reinterpret_cast<const std::uint8_t*>(data),
                                          static_cast<std::size_t>(length));
  const platform::PrivateFileStatus written = platform::createPrivateFile(path.c_str(), pem);
  OPENSSL_cleanse(data, static_cast<std::size_t>(length));
  switch (written) {
    case platform::PrivateFileStatus::ok:
      return AuthorityResult::ok;
    case platform::PrivateFileStatus::exists:
      why = path + " exists already";
      return AuthorityResult::alreadyInitialised;
    default:
      why = "cannot write " + path;
      return AuthorityResult::cannotWrite;
  }
}

AuthorityResult issueOwnCertificate(AuthorityStore& store, const InitOptions& options,
                                    EVP_PKEY* key, std::string& why) {
  const FediName name = fediNameOf(options.casid2, options.casid1);
  const std::int64_t now = platform::currentTime();
  CertificatePlan plan;
  plan.holder = {options.casid1, options.casid2};
  plan.authority = true;
  plan.notBefore = now - kBackdateSeconds;
  plan.notAfter = now + options.authorityLifetimeSeconds;
  plan.keyDigest = keyDigest(key);
  CertificateRecord issued;
  const StoreResult result = store.issue(
      plan,
      [&](std::int64_t serial) {
        return signCertificate(key, name, serial, name, plan.notBefore, plan.notAfter, key);
      },
      issued);
  if (result != StoreResult::ok) {
    why = "the authority's own certificate cannot be issued";
    return AuthorityResult::issuingFailed;
  }
  return AuthorityResult::ok;
}

// exists: something is at path, a dangling link included.
bool exists(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

AuthorityResult makeIn(const std::string& dir, const InitOptions& options, std::string& why) {
  if (exists(pathIn(dir, kDatabaseFileName)) || exists(pathIn(dir, kKeyFileName))) {
    why = dir + " already holds an authority";
    return AuthorityResult::alreadyInitialised;
  }
  KeyPtr key;
  if (const auto result = makeKey(options, key, why); result != AuthorityResult::ok) return result;
  if (const auto result = writeKey(key.get(), pathIn(dir, kKeyFileName), why);
      result != AuthorityResult::ok) {
    return result;
  }
  // SQLite gives its journal and WAL files the mode of the database file: made 0600 here, they
  // are 0600 too.
  const std::string database = pathIn(dir, kDatabaseFileName);
  if (platform::createPrivateFile(database.c_str(), {}) != platform::PrivateFileStatus::ok) {
    why = "cannot make " + database;
    return AuthorityResult::cannotWrite;
  }
  auto store = AuthorityStore::create(database, {options.casid1, options.casid2}, why);
  if (!store) return AuthorityResult::cannotWrite;
  return issueOwnCertificate(*store, options, key.get(), why);
}

AuthorityResult initIn(const std::string& dir, const InitOptions& options, std::string& why) {
  if (!validHolderId(options.casid1) || !validHolderId(options.casid2)) {
    why = "CASID1 and CASID2 must be 1 to 64 printable ASCII characters";
    return AuthorityResult::badArgument;
  }
  if (!platform::makePrivateFolder(dir.c_str())) {
    why = "cannot make " + dir;
    return AuthorityResult::cannotWrite;
  }
  if (const AuthorityResult safe = checkFolder(dir, why); safe != AuthorityResult::ok) return safe;
  platform::FolderLock lock;
  switch (lock.acquire(pathIn(dir, kLockFileName).c_str())) {
    case platform::FolderLock::Status::ok:
      break;
    case platform::FolderLock::Status::busy:
      why = "another fedi-ca is making an authority in " + dir;
      return AuthorityResult::busy;
    case platform::FolderLock::Status::cannotOpen:
      why = "cannot lock " + dir;
      return AuthorityResult::cannotWrite;
  }
  const AuthorityResult result = makeIn(dir, options, why);
  if (result != AuthorityResult::ok && result != AuthorityResult::alreadyInitialised) {
    removeAuthorityFiles(dir);
  }
  return result;
}

bool makePassPhrase(std::string& pass) {
  constexpr std::size_t kAlphabetSize = sizeof kPassAlphabet - 1;
  // Bytes at or above the last whole multiple of the alphabet would favour its first letters.
  constexpr unsigned kLimit = 256 - 256 % kAlphabetSize;
  pass.clear();
  while (pass.size() < kPassPhraseLength) {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    for (const unsigned char byte : bytes) {
      if (byte < kLimit && pass.size() < kPassPhraseLength) {
        pass += kPassAlphabet[byte % kAlphabetSize];
      }
    }
  }
  return true;
}

AuthorityResult enrolIn(const std::string& dir, const HolderId& holder, std::string& pass,
                        std::string& why) {
  if (!validHolderId(holder.sid1) || !validHolderId(holder.sid2)) {
    why = "SID1 and SID2 must be 1 to 64 printable ASCII characters";
    return AuthorityResult::badArgument;
  }
  AuthorityResult result = AuthorityResult::ok;
  auto store = openAuthorityStore(dir, result, why);
  if (!store) return result;
  std::string made;
  if (!makePassPhrase(made)) {
    why = "no random bytes for a pass phrase";
    return AuthorityResult::storageFailed;
  }
  if (!store->setPassPhrase(holder, made, platform::currentTime())) {
    OPENSSL_cleanse(made.data(), made.size());
    why = "the holder cannot be recorded: " + store->lastError();
    return AuthorityResult::storageFailed;
  }
  pass = std::move(made);
  return AuthorityResult::ok;
}

AuthorityResult listIn(const std::string& dir, std::vector<CertificateListing>& out,
                       std::string& why) {
  AuthorityResult result = AuthorityResult::ok;
  auto store = openAuthorityStore(dir, result, why);
  if (!store) return result;
  std::vector<CertificateRecord> records;
  if (!store->allCertificates(records)) {
    why = "the certificates cannot be read: " + store->lastError();
    return AuthorityResult::storageFailed;
  }
  out.clear();
  for (const CertificateRecord& record : records) {
    out.push_back({record.serial, record.holder.sid1, record.holder.sid2, record.authority,
                   record.notBefore, record.notAfter, record.revokedAt, record.renewedFrom});
  }
  return AuthorityResult::ok;
}

AuthorityResult holdersIn(const std::string& dir, std::vector<HolderListing>& out,
                          std::string& why) {
  AuthorityResult result = AuthorityResult::ok;
  auto store = openAuthorityStore(dir, result, why);
  if (!store) return result;
  std::vector<HolderRecord> holders;
  const bool read = store->allHolders(holders);
  out.clear();
  for (HolderRecord& holder : holders) {
    out.push_back({holder.id.sid1, holder.id.sid2, holder.enrolledAt, holder.passSpent,
                   holder.macFailures, holder.macFailures >= kMaxMacFailures});
  }
  if (!read) {
    why = "the holders cannot be read: " + store->lastError();
    return AuthorityResult::storageFailed;
  }
  return AuthorityResult::ok;
}

AuthorityResult revokeIn(const std::string& dir, std::int64_t serial, const std::string& reason,
                         std::string& why) {
  AuthorityResult result = AuthorityResult::ok;
  auto store = openAuthorityStore(dir, result, why);
  if (!store) return result;
  CertificateRecord record;
  switch (store->bySerial(serial, record)) {
    case StoreResult::ok:
      break;
    case StoreResult::notFound:
      why = "no certificate has serial number " + std::to_string(serial);
      return AuthorityResult::notFound;
    case StoreResult::failed:
      why = "the certificates cannot be read: " + store->lastError();
      return AuthorityResult::storageFailed;
  }
  if (record.authority) {
    why = "serial number " + std::to_string(serial) + " is the authority's own certificate";
    return AuthorityResult::notFound;
  }
  switch (store->revoke(serial, platform::currentTime(), {reason.begin(), reason.end()})) {
    case StoreResult::ok:
      return AuthorityResult::ok;
    case StoreResult::notFound:
      why = "certificate " + std::to_string(serial) + " is revoked already";
      return AuthorityResult::alreadyRevoked;
    case StoreResult::failed:
      break;
  }
  why = "the revocation cannot be recorded: " + store->lastError();
  return AuthorityResult::storageFailed;
}

AuthorityResult bagIn(const std::string& dir, std::string& base64, std::string& why) {
  AuthorityResult result = AuthorityResult::ok;
  auto store = openAuthorityStore(dir, result, why);
  if (!store) return result;
  CertificateRecord record;
  if (store->authorityCertificate(platform::currentTime(), record) != StoreResult::ok) {
    why = "the authority has no certificate in force";
    return AuthorityResult::storageFailed;
  }
  const CertificatePtr certificate = decodeCertificate(record);
  FEDI_X509* const certificates[] = {certificate.get()};
  // Stamped with the certificate's start, so that the text is the same every time.
  const BagPtr bag = certificate ? makeBag(certificates, kCertificateBagType,
                                           static_cast<std::time_t>(record.notBefore))
                                 : nullptr;
  const std::vector<std::uint8_t> der = bag ? toDer(*bag) : std::vector<std::uint8_t>{};
  std::string text;
  if (der.empty() || !token::text_Base64Encode(der, text)) {
    why = "the authority's certificate bag cannot be made";
    return AuthorityResult::issuingFailed;
  }
  base64 = std::move(text);
  return AuthorityResult::ok;
}

// guarded runs work with its reason reported and memory exhaustion caught.
template <class Work>
AuthorityResult guarded(std::string* error, Work work) noexcept {
  try {
    std::string why;
    const AuthorityResult result = work(why);
    report(error, why);
    return result;
  } catch (const std::bad_alloc&) {
    report(error, "out of memory");
    return AuthorityResult::noMemory;
  }
}

}  // namespace

AuthorityResult listCertificates(const std::string& dir, std::vector<CertificateListing>& out,
                                 std::string* error) noexcept {
  return guarded(error, [&](std::string& why) { return listIn(dir, out, why); });
}

AuthorityResult listHolders(const std::string& dir, std::vector<HolderListing>& out,
                            std::string* error) noexcept {
  return guarded(error, [&](std::string& why) { return holdersIn(dir, out, why); });
}

AuthorityResult revokeBySerial(const std::string& dir, std::int64_t serial,
                               const std::string& reason, std::string* error) noexcept {
  return guarded(error, [&](std::string& why) { return revokeIn(dir, serial, reason, why); });
}

bool usesTestKey(const std::string& dir) noexcept {
  const KeyPtr key = loadPrivateKey(pathIn(dir, kKeyFileName).c_str());
  const KeyPtr test = loadTestAuthorityKey();
  return key && test && EVP_PKEY_eq(key.get(), test.get()) == 1;
}

AuthorityResult initAuthority(const std::string& dir, const InitOptions& options,
                              std::string* error) noexcept {
  try {
    std::string why;
    const AuthorityResult result = initIn(dir, options, why);
    report(error, why);
    return result;
  } catch (const std::bad_alloc&) {
    report(error, "out of memory");
    return AuthorityResult::noMemory;
  }
}

AuthorityResult enrolHolder(const std::string& dir, const std::string& sid1,
                            const std::string& sid2, std::string& passPhrase,
                            std::string* error) noexcept {
  try {
    std::string why;
    const AuthorityResult result = enrolIn(dir, {sid1, sid2}, passPhrase, why);
    report(error, why);
    return result;
  } catch (const std::bad_alloc&) {
    report(error, "out of memory");
    return AuthorityResult::noMemory;
  }
}

AuthorityResult authorityBagBase64(const std::string& dir, std::string& base64,
                                   std::string* error) noexcept {
  try {
    std::string why;
    const AuthorityResult result = bagIn(dir, base64, why);
    report(error, why);
    return result;
  } catch (const std::bad_alloc&) {
    report(error, "out of memory");
    return AuthorityResult::noMemory;
  }
}

}  // namespace kestrune::ca
