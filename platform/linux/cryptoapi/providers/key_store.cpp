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
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/pem.h>

#include "platform/config_files.h"

namespace kestrune::cryptoapi {
namespace {

constexpr std::size_t kMaxContainerFile = 256 * 1024;
constexpr std::size_t kMaxFileName = 240;
constexpr const char* kSuffix = ".pem";
constexpr const char* kExchangeTag = "# AT_KEYEXCHANGE";
constexpr const char* kSignatureTag = "# AT_SIGNATURE";
constexpr const char* kExportableTag = " exportable";

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

bool readFile(const std::string& path, std::string& text) {
  // Non-blocking and then a regular file only: a FIFO in the keys folder hangs no one.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    SetLastError(errnoToError(errno));
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    SetLastError(NTE_KEYSET_ENTRY_BAD);
    return false;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    if (text.size() + static_cast<std::size_t>(n) > kMaxContainerFile) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  if (n != 0) {
    OPENSSL_cleanse(text.data(), text.size());
    SetLastError(NTE_KEYSET_ENTRY_BAD);
    return false;
  }
  return true;
}

bool pemOf(const HeldKey& key, const char* tag, std::string& out) {
  if (!key.pkey) return true;
  Ptr<BIO> bio(BIO_new(BIO_s_secmem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.pkey.get(), nullptr, nullptr, 0, nullptr,
                                       nullptr) != 1)
    return false;
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  out += tag;
  if (key.exportable) out += kExportableTag;
  out += "\n";
  out.append(data, static_cast<std::size_t>(size));
  return true;
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

bool loadContainer(const std::string& folder, std::string_view container, HeldKey& exchange,
                   HeldKey& signature) {
  std::string path = pathOf(folder, container);
  if (path.empty()) {
    SetLastError(NTE_BAD_KEYSET_PARAM);
    return false;
  }
  std::string text;
  if (!readFile(path, text)) return false;
  bool ok = true;
  std::size_t at = 0;
  while (ok && at < text.size()) {
    std::size_t end = text.find('\n', at);
    std::string_view line(text.data() + at, (end == std::string::npos ? text.size() : end) - at);
    at = end == std::string::npos ? text.size() : end + 1;
    HeldKey* target = line.starts_with(kExchangeTag)    ? &exchange
                      : line.starts_with(kSignatureTag) ? &signature
                                                        : nullptr;
    if (target == nullptr) continue;
    bool exportable = line.ends_with(kExportableTag);
    std::size_t stop = text.find("-----END PRIVATE KEY-----", at);
    if (stop == std::string::npos) {
      ok = false;
      break;
    }
    stop += std::strlen("-----END PRIVATE KEY-----");
    Ptr<BIO> bio(BIO_new_mem_buf(text.data() + at, static_cast<int>(stop - at)));
    EVP_PKEY* pkey = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    if (pkey == nullptr || EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) {
      EVP_PKEY_free(pkey);
      ok = false;
      break;
    }
    target->pkey.reset(pkey, EVP_PKEY_free);
    target->exportable = exportable;
    at = stop;
  }
  OPENSSL_cleanse(text.data(), text.size());
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
  bool ok = pemOf(exchange, kExchangeTag, text) && pemOf(signature, kSignatureTag, text);
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
    if (auto name = containerFromFileName(entry->d_name)) names.push_back(std::move(*name));
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kestrune::cryptoapi
