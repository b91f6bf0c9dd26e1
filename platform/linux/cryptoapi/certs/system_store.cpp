// System stores as folders: one <thumbprint>.der per certificate, and a <thumbprint>.json
// beside it for the key-provider property. The names in the JSON are UTF-8.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/cryptoapi/certs/store.h"
#include "platform/config_files.h"
#include "platform/platform.h"
#include "platform/refused_files.h"

namespace kestrune::cryptoapi {
namespace {

constexpr std::size_t kMaxCertificateFile = 1 << 20;
constexpr std::size_t kMaxPropertyFile = 64 << 10;

std::string userDataHome() {
  std::string base = platform::environmentVariable("XDG_DATA_HOME");
  if (!base.empty() && base.front() == '/') return base;
  std::string home = platform::environmentVariable("HOME");
  if (home.empty()) {
    if (const passwd* user = getpwuid(getuid()); user != nullptr && user->pw_dir != nullptr)
      home = user->pw_dir;
  }
  return home + "/.local/share";
}

bool caseInsensitiveEqual(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
  });
}

// Store names are case-insensitive on Windows: an existing folder of the same name in
// another case is the store.
std::string existingSpelling(const std::string& parent, const std::string& name) {
  DIR* dir = opendir(parent.c_str());
  if (dir == nullptr) return name;
  std::string found = name;
  while (const dirent* entry = readdir(dir)) {
    if (caseInsensitiveEqual(entry->d_name, name)) {
      found = entry->d_name;
      if (found == name) break;
    }
  }
  closedir(dir);
  return found;
}

DWORD errorOf(int error) {
  return error == EACCES || error == EPERM || error == EROFS ? ERROR_ACCESS_DENIED
                                                             : ERROR_WRITE_FAULT;
}

// readStoreFile reads a certificate or a property; a file another user may have written is
// passed over (and said to a listing tool), as is anything but a regular file.
bool readStoreFile(const std::string& path, std::size_t limit, Bytes& out) {
  std::string bytes;
  const platform::ConfigRead read = platform::readOwnFile(path, limit, bytes);
  if (read == platform::ConfigRead::othersMayWrite) platform::reportRefusedFile(path);
  if (read != platform::ConfigRead::ok) return false;
  out.assign(bytes.begin(), bytes.end());
  return true;
}

// makeFolders creates the folder and its missing parents, owner-only.
DWORD makeFolders(const std::string& folder) {
  for (std::size_t at = 1; at <= folder.size(); ++at) {
    if (at != folder.size() && folder[at] != '/') continue;
    const std::string part = folder.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errorOf(errno);
  }
  return 0;
}

// writeAtomically replaces a file's content through a temporary file in the same folder, so
// a reader never sees half a certificate.
DWORD writeAtomically(const std::string& path, std::string_view bytes) {
  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);  // owner-only, a name of its own
  if (fd < 0) return errorOf(errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool written = done == bytes.size() && close(fd) == 0;
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    return written ? errorOf(error) : ERROR_WRITE_FAULT;
  }
  return 0;
}

DWORD removeFile(const std::string& path) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
  return errorOf(errno);
}

bool isThumbprintFile(std::string_view name) {
  if (name.size() != 44 || name.substr(40) != ".der") return false;
  return std::all_of(name.begin(), name.begin() + 40,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

void readKeyProv(const std::string& path, CertRecord& record) {
  Bytes bytes;
  if (!readStoreFile(path, kMaxPropertyFile, bytes)) return;
  KeyProvInfo info;
  if (keyProvInfoOfJson(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                        info)) {
    record.keyProv = std::move(info);
  }
}

std::string pathOf(const Store& store, const CertRecord& record, const char* extension) {
  return store.folder + "/" + thumbprintHex(record) + extension;
}

}  // namespace

bool systemStoreFolder(DWORD location, std::wstring_view wideName, std::string& folder) {
  const std::string name = utf8Of(wideName);
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
    return false;
  }
  std::string parent;
  if (location == CERT_SYSTEM_STORE_CURRENT_USER) {
    parent = userDataHome() + "/kestrune/stores/CurrentUser";
  } else if (location == CERT_SYSTEM_STORE_LOCAL_MACHINE) {
    parent = platform::environmentVariable("KESTRUNE_MACHINE_STORES");
    if (parent.empty()) parent = "/etc/kestrune/stores";
  } else {
    return false;
  }
  folder = parent + "/" + existingSpelling(parent, name);
  return true;
}

DWORD loadSystemStore(Store& store, bool mustExist, bool mustBeNew) {
  struct stat info {};
  if (stat(store.folder.c_str(), &info) != 0) {
    if (errno != ENOENT) return ERROR_ACCESS_DENIED;
    if (mustExist) return ERROR_FILE_NOT_FOUND;
    // A missing store opens empty; for writing, the nearest folder that exists must let the
    // process create it.
    if (!store.readOnly) {
      std::string ancestor = store.folder;
      for (;;) {
        const std::size_t slash = ancestor.rfind('/');
        if (slash == std::string::npos) {
          ancestor = ".";
          break;
        }
        ancestor.resize(slash == 0 ? 1 : slash);
        if (ancestor == "/" || access(ancestor.c_str(), F_OK) == 0) break;
      }
      if (access(ancestor.c_str(), W_OK | X_OK) != 0) return ERROR_ACCESS_DENIED;
    }
    return 0;
  }
  if (mustBeNew) return kFileExists;
  // Certificates another user could have put in the folder, or swapped, are no one's word.
  if (platform::checkOwnFolder(store.folder) == platform::ConfigRead::othersMayWrite) {
    platform::reportRefusedFile(store.folder);
    return ERROR_ACCESS_DENIED;
  }
  if (!S_ISDIR(info.st_mode) || access(store.folder.c_str(), R_OK | X_OK) != 0 ||
      (!store.readOnly && access(store.folder.c_str(), W_OK) != 0)) {
    return ERROR_ACCESS_DENIED;
  }
  DIR* dir = opendir(store.folder.c_str());
  if (dir == nullptr) return ERROR_ACCESS_DENIED;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir)) {
    if (isThumbprintFile(entry->d_name)) names.emplace_back(entry->d_name);
  }
  closedir(dir);
  // The registry lists a store's certificates by thumbprint; so does this.
  std::sort(names.begin(), names.end());
  struct Read {
    std::string stem;
    CertRecord* record;
  };
  std::vector<Read> read;
  for (const std::string& name : names) {
    Bytes der;
    DWORD error = 0;
    if (!readStoreFile(store.folder + "/" + name, kMaxCertificateFile, der)) continue;
    CertRecord* record = newRecord(der, error);
    if (record == nullptr) continue;  // a damaged entry is passed over, as Windows does
    read.push_back({name.substr(0, 40), record});
  }
  // A certificate is listed once: from the file named by its thumbprint when there is one, with
  // any copy under another name remembered, so that deleting it removes every copy.
  std::stable_partition(read.begin(), read.end(), [](const Read& entry) {
    return entry.stem == thumbprintHex(*entry.record);
  });
  std::map<std::array<std::uint8_t, 20>, CertRecord*> listed;
  for (const Read& entry : read) {
    const auto [found, fresh] = listed.emplace(entry.record->sha1, entry.record);
    found->second->storeFiles.push_back(entry.stem);
    if (!fresh) {
      releaseRecord(entry.record);
      continue;
    }
    readKeyProv(store.folder + "/" + entry.stem + ".json", *entry.record);
    list(store, entry.record);
  }
  return 0;
}

DWORD saveCertificate(const Store& store, const CertRecord& record) {
  if (const DWORD error = makeFolders(store.folder); error != 0) return error;
  const std::string_view der(reinterpret_cast<const char*>(record.der.data()), record.der.size());
  if (const DWORD error = writeAtomically(pathOf(store, record, ".der"), der); error != 0)
    return error;
  return saveKeyProv(store, record);
}

DWORD saveKeyProv(const Store& store, const CertRecord& record) {
  const std::string path = pathOf(store, record, ".json");
  if (!record.keyProv) return removeFile(path);
  if (const DWORD error = makeFolders(store.folder); error != 0) return error;
  return writeAtomically(path, keyProvInfoJson(*record.keyProv));
}

DWORD forgetCertificate(const Store& store, const CertRecord& record) {
  // Every file the certificate was read from, and the one it would be saved to.
  std::vector<std::string> stems = record.storeFiles;
  stems.push_back(thumbprintHex(record));
  for (const std::string& stem : stems) {
    const std::string path = store.folder + "/" + stem;
    if (const DWORD error = removeFile(path + ".der"); error != 0) return error;
    if (const DWORD error = removeFile(path + ".json"); error != 0) return error;
  }
  return 0;
}

}  // namespace kestrune::cryptoapi
