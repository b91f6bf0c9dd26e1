// Container files of the software provider. Files are created 0600 with O_EXCL|O_NOFOLLOW in
// a 0700 folder and replaced by rename, so a reader never sees half a key and a planted link
// is never followed.
#include "platform/linux/cryptoapi/providers/key_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include "platform/config_files.h"
#include "platform/refused_files.h"

namespace kestrune::cryptoapi {
namespace {

constexpr std::size_t kMaxContainerFile = 256 * 1024;
constexpr std::size_t kMaxFileName = 240;
constexpr const char* kSuffix = ".pem";
constexpr const char* kExchangeTag = "# AT_KEYEXCHANGE";
constexpr const char* kSignatureTag = "# AT_SIGNATURE";
constexpr const char* kExportableTag = " exportable";
constexpr std::string_view kPemEnd = "-----END PRIVATE KEY-----";

std::string pathOf(const std::string& folder, std::string_view container) {
  std::string name = containerFileName(container);
  return name.empty() ? std::string() : folder + "/" + name;
}

DWORD errnoToError(int error) {
  if (error == ENOENT) return NTE_BAD_KEYSET;
  if (error == EACCES || error == EPERM) return ERROR_ACCESS_DENIED;
  if (error == EEXIST) return NTE_EXISTS;
  return NTE_FAIL;
}

// readContainerFile reads a container's text; false with a last error when it is missing, not
// a regular file, or another user may have written it (then passed over, and said to a
// listing tool: a key planted there must never sign in the user's name).
bool readContainerFile(const std::string& path, std::string& text) {
  switch (platform::readOwnFile(path, kMaxContainerFile, text)) {
    case platform::ConfigRead::ok:
      return true;
    case platform::ConfigRead::missing:
      SetLastError(NTE_BAD_KEYSET);
      return false;
    case platform::ConfigRead::othersMayWrite:
      platform::reportRefusedFile(path);
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    case platform::ConfigRead::unreadable:
    case platform::ConfigRead::tooLarge:
      break;
  }
  SetLastError(NTE_KEYSET_ENTRY_BAD);
  return false;
}

// A PEM block under encryption would otherwise have OpenSSL ask for its pass phrase on the
// terminal; a container holds none.
int noPassPhrase(char* /*buffer*/, int /*size*/, int /*writing*/, void* /*data*/) {
  return 0;
}

// writeKey writes one key's tag line and PEM into bio (secure memory, wiped when freed).
bool writeKey(BIO* bio, const HeldKey& key, const char* tag) {
  if (!key.pkey) return true;
  return BIO_puts(bio, tag) > 0 && (!key.exportable || BIO_puts(bio, kExportableTag) > 0) &&
         BIO_puts(bio, "\n") > 0 &&
         PEM_write_bio_PrivateKey(bio, key.pkey.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

}  // namespace

std::string keyFolder(bool machine, bool create) {
  std::string folder;
  if (machine) {
    const char* stores = std::getenv("KESTRUNE_MACHINE_STORES");
    folder = stores != nullptr && *stores != '\0' ? std::string(stores) + "/../keys"
                                                  : std::string("/etc/kestrune/keys");
  } else {
    folder = platform::dataFolderPath("keys");
    if (folder.empty()) return {};
  }
  if (create && !platform::makeOwnerFolder(folder)) return {};
  // A folder others may write could hold their keys under the user's container names.
  if (platform::checkOwnFolder(folder) == platform::ConfigRead::othersMayWrite) {
    platform::reportRefusedFile(folder);
    return {};
  }
  return folder;
}

std::string containerFileName(std::string_view container) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string name;
  for (unsigned char c : container) {
    if (std::isalnum(c) != 0 && c < 0x80) {
      name.push_back(static_cast<char>(c));
    } else if (c == '-' || c == '_') {
      name.push_back(static_cast<char>(c));
    } else {
      name.push_back('%');
      name.push_back(kHex[c >> 4]);
      name.push_back(kHex[c & 15]);
    }
  }
  name += kSuffix;
  if (name.size() > kMaxFileName) return {};
  return name;
}

std::optional<std::string> containerFromFileName(std::string_view fileName) {
  std::string_view suffix(kSuffix);
  if (fileName.size() < suffix.size() || !fileName.ends_with(suffix)) return std::nullopt;
  fileName.remove_suffix(suffix.size());
  std::string container;
  for (std::size_t i = 0; i < fileName.size(); ++i) {
    char c = fileName[i];
    if (c != '%') {
      if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '-' && c != '_')
        return std::nullopt;
      container.push_back(c);
      continue;
    }
    if (i + 2 >= fileName.size()) return std::nullopt;
    auto hex = [](char h) -> int {
      if (h >= '0' && h <= '9') return h - '0';
      if (h >= 'A' && h <= 'F') return h - 'A' + 10;
      return -1;
    };
    int high = hex(fileName[i + 1]), low = hex(fileName[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    container.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  // Only the one spelling this escaping writes names a container.
  if (containerFileName(container) != std::string(fileName) + kSuffix) return std::nullopt;
  return container;
}

bool containerExists(const std::string& folder, std::string_view container) {
  std::string path = pathOf(folder, container);
  struct stat st {};
  return !path.empty() && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool createContainer(const std::string& folder, std::string_view container) {
  std::string path = pathOf(folder, container);
  if (path.empty()) {
    SetLastError(NTE_BAD_KEYSET_PARAM);
    return false;
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    SetLastError(errnoToError(errno));
    return false;
  }
  close(fd);
  return true;
}

bool deleteContainer(const std::string& folder, std::string_view container) {
  std::string path = pathOf(folder, container);
  if (path.empty() || unlink(path.c_str()) != 0) {
    SetLastError(path.empty() ? NTE_BAD_KEYSET_PARAM : errnoToError(errno));
    return false;
  }
  return true;
}

bool readContainerText(std::string_view text, HeldKey& exchange, HeldKey& signature) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    const std::string_view line = text.substr(at, end == std::string_view::npos ? end : end - at);
    at = end == std::string_view::npos ? text.size() : end + 1;
    HeldKey* target = line.starts_with(kExchangeTag)    ? &exchange
                      : line.starts_with(kSignatureTag) ? &signature
                                                        : nullptr;
    if (target == nullptr) continue;
    const bool exportable = line.ends_with(kExportableTag);
    std::size_t stop = text.find(kPemEnd, at);
    if (stop == std::string_view::npos) return false;
    stop += kPemEnd.size();
    if (stop - at > static_cast<std::size_t>(INT_MAX)) return false;
    Ptr<BIO> bio(BIO_new_mem_buf(text.data() + at, static_cast<int>(stop - at)));
    EVP_PKEY* pkey =
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassPhrase, nullptr) : nullptr;
    if (pkey == nullptr || EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) {
      EVP_PKEY_free(pkey);
      return false;
    }
    target->pkey.reset(pkey, EVP_PKEY_free);
    target->exportable = exportable;
    at = stop;
  }
  return true;
}

bool containerText(const HeldKey& exchange, const HeldKey& signature, std::string& text) {
  text.clear();
  // Both keys go into secure memory first, then into text in one allocation: a string grown
  // piece by piece would leave copies of the keys behind in the buffers it outgrew.
  Ptr<BIO> bio(BIO_new(BIO_s_secmem()));
  if (!bio || !writeKey(bio.get(), exchange, kExchangeTag) ||
      !writeKey(bio.get(), signature, kSignatureTag)) {
    return false;
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  if (size > 0) text.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool loadContainer(const std::string& folder, std::string_view container, HeldKey& exchange,
                   HeldKey& signature) {
  std::string path = pathOf(folder, container);
  if (path.empty()) {
    SetLastError(NTE_BAD_KEYSET_PARAM);
    return false;
  }
  std::string text;
  if (!readContainerFile(path, text)) return false;
  const bool ok = readContainerText(text, exchange, signature);
  OPENSSL_cleanse(text.data(), text.size());
  ERR_clear_error();
  if (!ok) SetLastError(NTE_KEYSET_ENTRY_BAD);
  return ok;
}

bool saveContainer(const std::string& folder, std::string_view container, const HeldKey& exchange,
                   const HeldKey& signature) {
  std::string path = pathOf(folder, container);
  if (path.empty()) {
    SetLastError(NTE_BAD_KEYSET_PARAM);
    return false;
  }
  std::string text;
  bool ok = containerText(exchange, signature, text);
  std::string temporary = path + ".new" + std::to_string(getpid());
  int fd =
      ok ? open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600) : -1;
  if (fd >= 0) {
    std::size_t done = 0;
    while (done < text.size()) {
      ssize_t n = write(fd, text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ok = done == text.size() && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
  } else {
    ok = false;
  }
  OPENSSL_cleanse(text.data(), text.size());
  if (!ok) SetLastError(NTE_FAIL);
  return ok;
}

std::vector<std::string> listContainers(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    auto name = containerFromFileName(entry->d_name);
    if (!name) continue;
    const std::string path = folder + "/" + entry->d_name;
    if (platform::checkOwnFile(path) == platform::ConfigRead::othersMayWrite) {
      platform::reportRefusedFile(path);
      continue;
    }
    names.push_back(std::move(*name));
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kestrune::cryptoapi
