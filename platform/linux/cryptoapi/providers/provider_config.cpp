// The provider file is the user's, but it is read as hostile all the same: bounded, parsed
// without exceptions, and any entry that isn't exactly the expected shape is ignored.
#include "platform/linux/cryptoapi/providers/provider_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <cerrno>
#include <cstdlib>

#include <nlohmann/json.hpp>

namespace kestrune::cryptoapi {
namespace {

constexpr std::size_t kMaxText = 4096;
constexpr int kTemporaryNameTries = 16;

// makeFolders creates the folder and its missing parents, owner-only; 0 or errno.
int makeFolders(const std::string& folder) {
  for (std::size_t at = 1; at <= folder.size(); ++at) {
    if (at != folder.size() && folder[at] != '/') continue;
    if (mkdir(folder.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

// createTemporary opens a new file beside the target under a random name that no one else
// can have prepared: O_EXCL refuses an existing name, O_NOFOLLOW a link.
int createTemporary(const std::string& folder, std::string& name) {
  for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
    unsigned char random[6];
    if (RAND_bytes(random, sizeof random) != 1) return -1;
    name = folder + "/.providers.json.";
    for (unsigned char byte : random) {
      name.push_back("0123456789abcdef"[byte >> 4]);
      name.push_back("0123456789abcdef"[byte & 15]);
    }
    const int fd =
        open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool shortText(const nlohmann::json& value) {
  return value.is_string() && !value.get_ref<const std::string&>().empty() &&
         value.get_ref<const std::string&>().size() <= kMaxText &&
         value.get_ref<const std::string&>().find('\0') == std::string::npos;
}

}  // namespace

std::optional<ProviderEntry> findProviderEntry(std::string_view json, std::string_view name) {
  auto document = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
  if (document.is_discarded() || !document.is_object()) return std::nullopt;
  auto it = document.find(std::string(name));
  if (it == document.end() || !it->is_object()) return std::nullopt;
  auto module = it->find("pkcs11");
  if (module == it->end() || !shortText(*module)) return std::nullopt;
  ProviderEntry entry{module->get<std::string>(), {}};
  if (auto token = it->find("token"); token != it->end()) {
    if (!shortText(*token)) return std::nullopt;
    entry.tokenLabel = token->get<std::string>();
  }
  return entry;
}

std::optional<ProviderEntry> lookUpProvider(std::string_view name) {
  const std::string path = providerFilePath();
  std::string text;
  if (path.empty() || readProviderFile(path, text) != ProviderFileRead::ok) return std::nullopt;
  return findProviderEntry(text, name);
}

std::string providerFilePath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && *config == '/') return std::string(config) + "/kestrune/providers.json";
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return {};
  return std::string(home) + "/.config/kestrune/providers.json";
}

ProviderFileRead readProviderFile(const std::string& path, std::string& text) {
  text.clear();
  // Non-blocking, so that a FIFO put in the file's place can't hang the open.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? ProviderFileRead::missing : ProviderFileRead::unreadable;
  struct stat info {};
  ProviderFileRead result = ProviderFileRead::ok;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    result = ProviderFileRead::unreadable;
  } else {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 && text.size() <= kMaxProviderFile)
      text.append(buffer, static_cast<std::size_t>(n));
    if (n < 0)
      result = ProviderFileRead::unreadable;
    else if (text.size() > kMaxProviderFile)
      result = ProviderFileRead::tooLarge;
  }
  close(fd);
  if (result != ProviderFileRead::ok) text.clear();
  return result;
}

int replaceProviderFile(const std::string& path, std::string_view text) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  if (const int error = makeFolders(folder); error != 0) return error;
  // A file kept elsewhere and linked here (a dotfile repository, say) is the user's to edit:
  // the rename would put a plain file in the link's place and leave the target behind.
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode)) return ELOOP;
  std::string temporary;
  const int fd = createTemporary(folder, temporary);
  if (fd < 0) return errno != 0 ? errno : EIO;
  int error = 0;
  if (!writeAll(fd, text) || fsync(fd) != 0) error = errno != 0 ? errno : EIO;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    unlink(temporary.c_str());
    return error;
  }
  // The rename itself reaches the disk with the folder's entry.
  if (const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      folderFd >= 0) {
    fsync(folderFd);
    close(folderFd);
  }
  return 0;
}

}  // namespace kestrune::cryptoapi
