// providers.json is read as the key-provider layer reads it and rewritten whole: entries the
// command doesn't touch are kept as they are, and a file that can't be read or parsed is never
// overwritten (it may hold entries this version doesn't understand, or be someone's draft).
#include "tools/kestrune/provider_commands.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/config_files.h"
#include "platform/cryptoapi.h"
#include "platform/platform.h"
#include "platform/linux/cryptoapi/providers/provider_config.h"
#include "tools/kestrune/display_text.h"
#include "tools/kestrune/utf8.h"

namespace kestrune::host {
namespace {

// Entries keep the order the file gives them, so a rewrite changes only what it must.
using Json = nlohmann::ordered_json;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

constexpr const char* kBuiltInProviders[] = {MS_ENHANCED_PROV_A, MS_DEF_PROV_A};
// CryptAcquireContextA's callers name providers in short texts; modules are paths; a PKCS#11
// token label is a 32-byte field, so a longer one could never match.
constexpr std::size_t kMaxProviderName = 260;
constexpr std::size_t kMaxModule = 4096;
constexpr std::size_t kMaxTokenLabel = 32;
// The file is two levels deep; writing it out again recurses once per level, so a hostile
// file nested thousands deep is refused instead.
constexpr std::size_t kMaxNesting = 64;

bool sameIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return (x >= 'a' && x <= 'z' ? x - 32 : x) == (y >= 'a' && y <= 'z' ? y - 32 : y);
  });
}

// Provider names are matched without regard to case on Windows; a file entry spelled like a
// built-in name in another case would be ambiguous there.
bool isBuiltIn(std::string_view name) {
  return std::any_of(std::begin(kBuiltInProviders), std::end(kBuiltInProviders),
                     [&](const char* builtIn) { return sameIgnoringCase(builtIn, name); });
}

// goodText accepts UTF-8 of 1 to limit bytes without control characters.
bool goodText(const std::string& text, std::size_t limit) {
  std::u16string utf16;
  return !text.empty() && text.size() <= limit && utf8ToUtf16(text, utf16) &&
         std::none_of(text.begin(), text.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// nestedWithin walks the document without recursion and tells whether it stays within limit
// levels.
bool nestedWithin(const Json& document, std::size_t limit) {
  std::vector<std::pair<const Json*, std::size_t>> pending{{&document, 1}};
  while (!pending.empty()) {
    const auto [value, depth] = pending.back();
    pending.pop_back();
    if (!value->is_structured()) continue;
    if (depth > limit) return false;
    for (const Json& child : *value) pending.emplace_back(&child, depth + 1);
  }
  return true;
}

// ProviderFile is the file's document as read, or why it can't be used.
struct ProviderFile {
  std::string path;
  Json document = Json::object();
  bool present = false;
  platform::ConfigFileLock lock;  // held from the read to the write of add and remove
};

// loadProviderFile reads and parses the user's provider file; a missing one is an empty
// object. False with a line on err when there is no path or the file can't be used.
bool loadProviderFile(const char* command, ProviderFile& file, std::ostream& err) {
  // Only the commands that write say what they didn't do.
  const std::string_view unchanged = std::strcmp(command, "list") == 0 ? "" : "; left unchanged";
  file.path = cryptoapi::providerFilePath();
  if (file.path.empty()) {
    err << "kestrune provider " << command
        << ": neither XDG_CONFIG_HOME nor HOME names a folder for providers.json\n";
    return false;
  }
  if (!unchanged.empty()) {
    if (const int error = file.lock.acquire(file.path); error != 0) {
      err << "kestrune provider " << command << ": cannot lock " << file.path << ": "
          << std::strerror(error) << unchanged << "\n";
      return false;
    }
  }
  std::string text;
  switch (cryptoapi::readProviderFile(file.path, text)) {
    case cryptoapi::ProviderFileRead::missing:
      return true;
    case cryptoapi::ProviderFileRead::unreadable:
      err << "kestrune provider " << command << ": cannot read " << file.path << unchanged << "\n";
      return false;
    case cryptoapi::ProviderFileRead::tooLarge:
      err << "kestrune provider " << command << ": " << file.path << " is larger than "
          << cryptoapi::kMaxProviderFile << " bytes" << unchanged << "\n";
      return false;
    case cryptoapi::ProviderFileRead::othersMayWrite:
      err << "kestrune provider " << command << ": " << file.path
          << " may be changed by other users; make it yours alone (chmod go-w)" << unchanged
          << "\n";
      return false;
    case cryptoapi::ProviderFileRead::ok:
      break;
  }
  file.present = true;
  file.document = Json::parse(text, nullptr, false);
  if (file.document.is_discarded() || !file.document.is_object() ||
      !nestedWithin(file.document, kMaxNesting)) {
    err << "kestrune provider " << command << ": " << file.path
        << " is not a JSON object of providers" << unchanged << "\n";
    return false;
  }
  return true;
}

bool saveProviderFile(const char* command, const ProviderFile& file, std::ostream& err) {
  const std::string text = file.document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  if (text.size() > cryptoapi::kMaxProviderFile) {
    err << "kestrune provider " << command << ": " << file.path << " would grow beyond "
        << cryptoapi::kMaxProviderFile << " bytes, which it is not read past; left unchanged\n";
    return false;
  }
  if (const int error = cryptoapi::replaceProviderFile(file.path, text); error != 0) {
    err << "kestrune provider " << command << ": cannot write " << file.path << ": "
        << (error == ELOOP ? "it is a symbolic link; edit the file it names instead"
                           : std::strerror(error))
        << "; left unchanged\n";
    return false;
  }
  return true;
}

// entryOf reads one entry with the key-provider layer's own rule, so the list shows what
// CryptAcquireContextA will find.
std::optional<cryptoapi::ProviderEntry> entryOf(const std::string& name, const Json& value) {
  const Json single = Json::object({{name, value}});
  return cryptoapi::findProviderEntry(single.dump(-1, ' ', false, Json::error_handler_t::replace),
                                      name);
}

// LoadedModule holds a module loaded to be looked at, and unloads it.
class LoadedModule {
 public:
  explicit LoadedModule(const std::string& name) : handle_(platform::loadLibrary(name.c_str())) {}
  ~LoadedModule() { platform::unloadLibrary(handle_); }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  platform::LibraryHandle get() const { return handle_; }

 private:
  platform::LibraryHandle handle_;
};

// moduleProblem returns why module can't be a PKCS#11 module: it doesn't load (the loader's
// reason names the file), or it exports no C_GetFunctionList, the one entry point every
// module has. Empty when it can. The module is loaded as its use would load it (its
// initialisers run) and unloaded again.
std::string moduleProblem(const std::string& module) {
  platform::libraryError();  // a failure of earlier must not pass for this one's
  const LoadedModule loaded(module);
  if (loaded.get() == nullptr) {
    const std::string reason = platform::libraryError();
    return "the module " + oneLine(module) + " does not load: " +
           (reason.empty() ? std::string("the loader gives no reason") : oneLine(reason));
  }
  if (platform::findSymbol(loaded.get(), "C_GetFunctionList") == nullptr) {
    return "the module " + oneLine(module) +
           " loads but exports no C_GetFunctionList: it is not a PKCS#11 module";
  }
  return {};
}

}  // namespace

ProviderCommands::ProviderCommands(CLI::App& app) {
  provider_ = app.add_subcommand(
      "provider",
      "The key providers: the built-in software provider and the PKCS#11 tokens of "
      "$XDG_CONFIG_HOME/kestrune/providers.json");
  provider_->require_subcommand(1, 1);
  list_ = provider_->add_subcommand(
      "list",
      "One line per provider, tab-separated: name, then \"built-in software provider\" or its "
      "module and token");
  list_->add_flag("--json", json_,
                  "One JSON array instead, an object per provider: name, type (builtIn, pkcs11, "
                  "or ignored for an entry that is not {\"pkcs11\": MODULE, \"token\": LABEL}), "
                  "module, token (null: the first token present), shadowed (by a built-in "
                  "provider's name)");
  add_ = provider_->add_subcommand(
      "add", "Name a PKCS#11 module (and token) as a provider in providers.json");
  add_->add_option("name", name_, "the provider's name, as CryptAcquireContextA is given it")
      ->required();
  add_->add_option("--pkcs11", module_, "the PKCS#11 module: a file name or a path")->required();
  add_->add_option("--token", token_, "the token's label (default: the first token present)");
  add_->add_flag("--force", force_,
                 "add the module even when it does not load as a PKCS#11 module (a warning says "
                 "why)");
  remove_ = provider_->add_subcommand("remove", "Remove a provider from providers.json");
  remove_->add_option("name", name_, "the provider's name")->required();
}

int ProviderCommands::run(std::ostream& out, std::ostream& err) const {
  if (list_->parsed()) return list(out, err);
  if (add_->parsed()) return add(err);
  if (remove_->parsed()) return remove(err);
  return kUsageError;
}

int ProviderCommands::list(std::ostream& out, std::ostream& err) const {
  if (json_) return listAsJson(out, err);
  for (const char* name : kBuiltInProviders) out << name << "\tbuilt-in software provider\n";
  ProviderFile file;
  if (!loadProviderFile("list", file, err)) return kFailed;
  for (const auto& [name, value] : file.document.items()) {
    out << oneLine(name);
    if (const auto entry = entryOf(name, value)) {
      out << "\tpkcs11 " << oneLine(entry->module) << "\t"
          << (entry->tokenLabel.empty() ? std::string("first token present")
                                        : "token " + oneLine(entry->tokenLabel));
    } else {
      out << "\tignored: not {\"pkcs11\": MODULE, \"token\": LABEL}";
    }
    if (isBuiltIn(name)) out << "\tshadowed by the built-in provider";
    out << "\n";
  }
  return kDone;
}

int ProviderCommands::listAsJson(std::ostream& out, std::ostream& err) const {
  Json providers = Json::array();
  for (const char* name : kBuiltInProviders) {
    providers.push_back({{"name", name},
                         {"type", "builtIn"},
                         {"module", nullptr},
                         {"token", nullptr},
                         {"shadowed", false}});
  }
  ProviderFile file;
  const bool loaded = loadProviderFile("list", file, err);
  if (loaded) {
    for (const auto& [name, value] : file.document.items()) {
      Json provider = {{"name", name},
                       {"type", "ignored"},
                       {"module", nullptr},
                       {"token", nullptr},
                       {"shadowed", isBuiltIn(name)}};
      if (const auto entry = entryOf(name, value)) {
        provider["type"] = "pkcs11";
        provider["module"] = entry->module;
        if (!entry->tokenLabel.empty()) provider["token"] = entry->tokenLabel;
      }
      providers.push_back(std::move(provider));
    }
  }
  // A file that can't be read leaves the built-in providers listed and the status 1, as the
  // text form does.
  out << providers.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  return loaded ? kDone : kFailed;
}

int ProviderCommands::add(std::ostream& err) const {
  if (!goodText(name_, kMaxProviderName)) {
    err << "kestrune provider add: a provider name is UTF-8 text of 1 to " << kMaxProviderName
        << " bytes without control characters\n";
    return kUsageError;
  }
  if (isBuiltIn(name_)) {
    err << "kestrune provider add: \"" << name_
        << "\" is the built-in software provider's name; choose another\n";
    return kUsageError;
  }
  if (!goodText(module_, kMaxModule)) {
    err << "kestrune provider add: --pkcs11 takes a module name or path of 1 to " << kMaxModule
        << " bytes\n";
    return kUsageError;
  }
  if (add_->count("--token") > 0 && !goodText(token_, kMaxTokenLabel)) {
    err << "kestrune provider add: --token takes a token label of 1 to " << kMaxTokenLabel
        << " bytes (PKCS#11 labels are no longer)\n";
    return kUsageError;
  }
  // A name that loads nothing would only fail later, at the first CryptAcquireContextA, far
  // from the command that wrote it.
  if (const std::string problem = moduleProblem(module_); !problem.empty()) {
    if (!force_) {
      err << "kestrune provider add: " << problem << "; not added (--force adds it anyway)\n";
      return kFailed;
    }
    err << "kestrune provider add: warning: " << problem << "; added anyway (--force)\n";
  }
  ProviderFile file;
  if (!loadProviderFile("add", file, err)) return kFailed;
  if (file.document.contains(name_)) {
    err << "kestrune provider add: " << file.path << " already names \"" << name_
        << "\"; remove it first\n";
    return kFailed;
  }
  Json entry = Json::object({{"pkcs11", module_}});
  if (!token_.empty()) entry["token"] = token_;
  file.document[name_] = std::move(entry);
  return saveProviderFile("add", file, err) ? kDone : kFailed;
}

int ProviderCommands::remove(std::ostream& err) const {
  if (isBuiltIn(name_)) {
    err << "kestrune provider remove: \"" << oneLine(name_)
        << "\" is the built-in software provider, which can't be removed\n";
    return kFailed;
  }
  ProviderFile file;
  if (!loadProviderFile("remove", file, err)) return kFailed;
  if (!file.document.contains(name_)) {
    err << "kestrune provider remove: no provider \"" << oneLine(name_) << "\" in " << file.path
        << "\n";
    return kFailed;
  }
  file.document.erase(name_);
  return saveProviderFile("remove", file, err) ? kDone : kFailed;
}

}  // namespace kestrune::host
