#include "ca/authority_context.h"

#include <openssl/asn1.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "ca/issuing_parts.h"
#include "platform/authority_os.h"
#include "platform/platform.h"

namespace kestrune::ca {

namespace {

bool printable(const std::string& text) {
  return text.size() <= INT_MAX &&
         ASN1_PRINTABLE_type(reinterpret_cast<const unsigned char*>(text.data()),
                             static_cast<int>(text.size())) == V_ASN1_PRINTABLESTRING;
}

}  // namespace

std::string isoTime(std::int64_t secondsSince1970) {
  namespace chrono = std::chrono;
  const chrono::sys_seconds moment{chrono::seconds{secondsSince1970}};
  const chrono::sys_days day = chrono::floor<chrono::days>(moment);
  const chrono::year_month_day date{day};
  const chrono::hh_mm_ss time{moment - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

std::int64_t AuthorityContext::now() const {
  return options.clock ? options.clock() : platform::currentTime();
}

FediName fediNameOf(const std::string& organization, const std::string& commonName) {
  const StringKind kind =
      printable(organization) && printable(commonName) ? StringKind::printable : StringKind::utf8;
  return {organization, commonName, kind};
}

std::string pathIn(const std::string& dir, const char* name) {
  return (std::filesystem::path(dir) / name).string();
}

AuthorityResult checkFolder(const std::string& dir, std::string& error) {
  switch (platform::checkPrivateFolder(dir.c_str())) {
    case platform::FolderStatus::ok:
      return AuthorityResult::ok;
    case platform::FolderStatus::missing:
      error = "no authority in " + dir + " (run fedi-ca init)";
      return AuthorityResult::notInitialised;
    case platform::FolderStatus::notAFolder:
      error = dir + " is not a folder";
      return AuthorityResult::unsafeFolder;
    case platform::FolderStatus::notOurs:
      error = dir + " belongs to another user";
      return AuthorityResult::unsafeFolder;
    case platform::FolderStatus::writableByOthers:
      error = "other users can write into " + dir + " (chmod go-w it)";
      return AuthorityResult::unsafeFolder;
  }
  return AuthorityResult::unsafeFolder;
}

std::optional<AuthorityStore> openAuthorityStore(const std::string& dir, AuthorityResult& result,
                                                 std::string& error) {
  result = checkFolder(dir, error);
  if (result != AuthorityResult::ok) return std::nullopt;
  const std::string path = pathIn(dir, kDatabaseFileName);
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(path, ignored)) {
    error = "no authority in " + dir + " (run fedi-ca init)";
    result = AuthorityResult::notInitialised;
    return std::nullopt;
  }
  auto store = AuthorityStore::open(path, error);
  result = store ? AuthorityResult::ok : AuthorityResult::notInitialised;
  return store;
}

AuthorityResult loadAuthority(const std::string& dir, const ServerOptions& options,
                              AuthorityContext& context, std::string& error) {
  context.databasePath = pathIn(dir, kDatabaseFileName);
  AuthorityResult opened = AuthorityResult::ok;
  auto store = openAuthorityStore(dir, opened, error);
  if (!store) return opened;
  auto identity = store->identity();
  if (!identity) {
    error = "the authority's identifiers cannot be read: " + store->lastError();
    return AuthorityResult::storageFailed;
  }
  context.identity = *identity;
  Status status = Status::ok;
  context.key = loadPrivateKey(pathIn(dir, kKeyFileName).c_str(), nullptr, &status);
  if (!context.key) {
    error = std::string("the authority's key cannot be read: ") +
            (status == Status::cannotRead ? "no key file" : "not a private key");
    return AuthorityResult::badKey;
  }
  context.name = fediNameOf(context.identity.casid2, context.identity.casid1);
  Ptr<X509_NAME> name = detail::makeName(context.name, status);
  if (!name) {
    error = "the authority's identifiers make no name";
    return AuthorityResult::issuingFailed;
  }
  // Encoding the name once fills OpenSSL's cached encodings, so that the comparisons the request
  // threads make later only read it.
  if (i2d_X509_NAME(name.get(), nullptr) <= 0) {
    error = "the authority's name does not encode";
    return AuthorityResult::issuingFailed;
  }
  context.issuerName.reset(name.release());
  context.options = options;
  context.keeper = std::move(store);
  return AuthorityResult::ok;
}

}  // namespace kestrune::ca
