#include "tools/kestrune/store_commands.h"

#include <algorithm>
#include <array>
#include <memory>
#include <set>
#include <utility>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

// OpenSSL's headers come before CryptoAPI's, whose X509_NAME macro would hide OpenSSL's type.
#include "tools/kestrune/certificate_file.h"

#include "platform/cryptoapi.h"
#include "platform/refused_files.h"
#include "tools/kestrune/display_text.h"
#include "tools/kestrune/store_entry.h"

namespace kestrune::host {
namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

constexpr std::array<std::string_view, 5> kStoreNames = {"My", "Root", "CA", "AddressBook",
                                                         "Request"};
// CryptAcquireContext refuses longer container names; a provider name is held to the same.
constexpr std::size_t kMaxKeyName = 260;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct StoreCloser {
  void operator()(void* store) const { CertCloseStore(store, 0); }
};
using StoreOwner = std::unique_ptr<void, StoreCloser>;

struct ContextFreer {
  void operator()(PCCERT_CONTEXT context) const { CertFreeCertificateContext(context); }
};
using ContextOwner = std::unique_ptr<const CERT_CONTEXT, ContextFreer>;

bool sameIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return (x >= 'a' && x <= 'z' ? x - 32 : x) == (y >= 'a' && y <= 'z' ? y - 32 : y);
  });
}

// canonicalStore returns the system store's own spelling of name; empty for another name.
std::string canonicalStore(std::string_view name) {
  for (const std::string_view known : kStoreNames) {
    if (sameIgnoringCase(known, name)) return std::string(known);
  }
  return {};
}

bool knownStore(const std::string& name, std::string& canonical, std::ostream& err) {
  canonical = canonicalStore(name);
  if (!canonical.empty()) return true;
  err << "kestrune store: no system store \"" << oneLine(name.substr(0, 64))
      << "\"; one of My, Root, CA, AddressBook, Request\n";
  return false;
}

StoreOwner openStore(const std::string& name, bool machine, bool readOnly) {
  const std::wstring wide(name.begin(), name.end());  // the store names are ASCII
  const DWORD flags = (machine ? CERT_SYSTEM_STORE_LOCAL_MACHINE : CERT_SYSTEM_STORE_CURRENT_USER) |
                      (readOnly ? CERT_STORE_READONLY_FLAG : 0);
  return StoreOwner(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, flags, wide.c_str()));
}

std::string storeLabel(const std::string& name, bool machine) {
  return (machine ? "the local machine's " : "the current user's ") + name + " store";
}

// wideOfUtf8 converts a name from the command line; false for malformed UTF-8.
bool wideOfUtf8(const std::string& text, std::wstring& wide) {
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
  if (size <= 0) return false;
  std::vector<wchar_t> buffer(static_cast<std::size_t>(size));
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, buffer.data(), size) !=
      size)
    return false;
  wide.assign(buffer.data());
  return true;
}

bool keyName(const char* what, const std::string& text, std::wstring& wide, std::ostream& err) {
  if (text.empty() || text.size() > kMaxKeyName || text.find('\0') != std::string::npos ||
      !wideOfUtf8(text, wide)) {
    err << "kestrune store add: " << what << " must be UTF-8 text of 1 to " << kMaxKeyName
        << " bytes\n";
    return false;
  }
  return true;
}

bool isThumbprint(std::string_view text) {
  return text.size() == 40 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

using Json = nlohmann::ordered_json;

// entryAsJson holds the text form's columns under stable names; the key's are null when the
// certificate names no key.
Json entryAsJson(const std::string& store, const StoreEntry& entry) {
  Json object = {{"store", store},
                 {"thumbprint", entry.thumbprint},
                 {"subject", entry.subject},
                 {"issuer", entry.issuer},
                 {"notAfter", entry.notAfter},
                 {"provider", nullptr},
                 {"container", nullptr},
                 {"keySpec", nullptr}};
  if (entry.key) {
    object["provider"] = entry.key->provider;
    object["container"] = entry.key->container;
    object["keySpec"] = entry.key->keySpec;
  }
  return object;
}

// listStore prints the store's certificates, or adds them to json when it is given; false
// (with a line on err) when the store can't be opened.
bool listStore(const std::string& name, bool machine, std::ostream& out, std::ostream& err,
               Json* json) {
  const StoreOwner store = openStore(name, machine, true);
  if (!store) {
    err << "kestrune store list: cannot open " << storeLabel(name, machine) << ": "
        << errorText(GetLastError()) << "\n";
    return false;
  }
  PCCERT_CONTEXT context = nullptr;
  while ((context = CertEnumCertificatesInStore(store.get(), context)) != nullptr) {
    if (json != nullptr) {
      json->push_back(entryAsJson(name, readStoreEntry(context)));
    } else {
      out << name << "\t" << describeCertificate(context) << "\n";
    }
  }
  return true;
}

// RefusedFilesSaid says on err, once each, the store files and folders the stores passed
// over while it lives, since another user may have written them.
class RefusedFilesSaid {
 public:
  RefusedFilesSaid(const char* command, std::ostream& err)
      : previous_(platform::setRefusedFileSink([this, command, &err](const std::string& path) {
          if (!said_.insert(path).second) return;
          err << "kestrune store " << command << ": passed over " << oneLine(path)
              << ": other users may write it; it must be owned by you (or root) and writable by "
                 "no one else (chmod go-w)\n";
        })) {}
  ~RefusedFilesSaid() { platform::setRefusedFileSink(std::move(previous_)); }
  RefusedFilesSaid(const RefusedFilesSaid&) = delete;
  RefusedFilesSaid& operator=(const RefusedFilesSaid&) = delete;

 private:
  std::set<std::string> said_;
  platform::RefusedFileSink previous_;
};

}  // namespace

StoreCommands::StoreCommands(CLI::App& app) {
  store_ = app.add_subcommand("store",
                              "The system certificate stores My, Root, CA, AddressBook and "
                              "Request: list, add and remove certificates");
  store_->require_subcommand(1, 1);
  // The stores' location, as CryptoAPI names it: the current user's (the default) or the
  // local machine's.
  const auto addLocation = [this](CLI::App* command) {
    command
        ->add_option_function<std::string>(
            "--location",
            [this](const std::string& location) { machine_ = location == "LocalMachine"; },
            "CurrentUser (the default) or LocalMachine, in any case")
        ->transform(CLI::IsMember({"CurrentUser", "LocalMachine"}, CLI::ignore_case));
  };
  const auto storeHelp = "My (the default), Root, CA, AddressBook or Request, in any case";

  list_ = store_->add_subcommand(
      "list",
      "One line per certificate, tab-separated: store, thumbprint, subject, issuer, notAfter, "
      "and the key's provider, container and keySpec when it has them");
  list_->add_option("--store", storeName_, "one store, in any case; all five when absent");
  addLocation(list_);
  list_->add_flag("--json", json_,
                  "One JSON array instead, an object per certificate: store, thumbprint, "
                  "subject, issuer, notAfter, provider, container, keySpec (the last three null "
                  "when the certificate names no key). A store that can't be opened is left out "
                  "and the exit status is 1");

  add_ = store_->add_subcommand(
      "add", "Add a certificate (DER or PEM) to a store and print its thumbprint");
  add_->add_option("--store", storeName_, storeHelp);
  add_->add_option("certificate", certificateFile_, "the certificate file, DER or PEM")->required();
  auto* provider =
      add_->add_option("--provider", provider_, "the key's provider (with --container)");
  auto* container =
      add_->add_option("--container", container_, "the key's container (with --provider)");
  provider->needs(container);
  container->needs(provider);
  add_->add_option_function<std::string>(
          "--key-spec",
          [this](const std::string& spec) {
            keySpec_ = spec == "signature" ? AT_SIGNATURE : AT_KEYEXCHANGE;
          },
          "exchange (AT_KEYEXCHANGE, the default) or signature, in any case")
      ->transform(CLI::IsMember({"exchange", "signature"}, CLI::ignore_case))
      ->needs(provider);
  addLocation(add_);

  remove_ = store_->add_subcommand("remove", "Remove a certificate from a store by thumbprint");
  remove_->add_option("--store", storeName_, storeHelp);
  remove_->add_option("thumbprint", thumbprint_, "the SHA-1 of the certificate, 40 hex digits")
      ->required();
  addLocation(remove_);
}

int StoreCommands::run(std::ostream& out, std::ostream& err) const {
  const char* command = list_->parsed() ? "list" : add_->parsed() ? "add" : "remove";
  const RefusedFilesSaid refused(command, err);
  if (list_->parsed()) return list(out, err);
  if (add_->parsed()) return add(out, err);
  if (remove_->parsed()) return remove(err);
  return kUsageError;
}

int StoreCommands::list(std::ostream& out, std::ostream& err) const {
  Json entries = Json::array();
  Json* const json = json_ ? &entries : nullptr;
  bool all = true;
  if (!storeName_.empty()) {
    std::string name;
    if (!knownStore(storeName_, name, err)) return kUsageError;
    all = listStore(name, machine_, out, err, json);
  } else {
    // A store that can't be opened doesn't hide the others.
    for (const std::string_view name : kStoreNames)
      all = listStore(std::string(name), machine_, out, err, json) && all;
  }
  if (json != nullptr) out << entries.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  return all ? kDone : kFailed;
}

int StoreCommands::add(std::ostream& out, std::ostream& err) const {
  std::string name;
  if (!knownStore(storeName_.empty() ? "My" : storeName_, name, err)) return kUsageError;
  std::wstring providerName;
  std::wstring containerName;
  const bool withKey = !provider_.empty() || !container_.empty();
  if (withKey && (!keyName("--provider", provider_, providerName, err) ||
                  !keyName("--container", container_, containerName, err))) {
    return kUsageError;
  }

  // A file that can't be read is the operation failing, not the command line: the name may be
  // right and the file not (yet) what it should be.
  std::vector<std::uint8_t> bytes;
  std::string why;
  switch (readBoundedFile(certificateFile_, kMaxCertificateFile, bytes, why)) {
    case FileRead::ok:
      break;
    case FileRead::cannotRead:
      err << "kestrune store add: cannot read " << oneLine(certificateFile_) << ": " << why << "\n";
      return kFailed;
    case FileRead::tooLarge:
      err << "kestrune store add: cannot read " << oneLine(certificateFile_)
          << ": it is larger than " << kMaxCertificateFile << " bytes; not a certificate\n";
      return kFailed;
  }
  CertificateFile certificate;
  if (!decodeCertificateFile(bytes, certificate, why)) {
    err << "kestrune store add: " << certificateFile_ << " " << why << "\n";
    return kUsageError;
  }

  const StoreOwner store = openStore(name, machine_, false);
  if (!store) {
    err << "kestrune store add: cannot open " << storeLabel(name, machine_) << ": "
        << errorText(GetLastError()) << "\n";
    return kFailed;
  }
  // Adding a certificate the store has keeps the stored one and its key property, unless a
  // new key is named below.
  PCCERT_CONTEXT added = nullptr;
  if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, certificate.der.data(),
                                        static_cast<DWORD>(certificate.der.size()),
                                        CERT_STORE_ADD_USE_EXISTING, &added)) {
    err << "kestrune store add: cannot add the certificate to " << storeLabel(name, machine_)
        << ": " << errorText(GetLastError()) << "\n";
    return kFailed;
  }
  const ContextOwner context(added);
  const std::string thumbprint = thumbprintOf(context.get());
  if (withKey) {
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = containerName.data();
    info.pwszProvName = providerName.data();
    info.dwProvType = PROV_RSA_FULL;
    // A machine store's certificate names a key of the machine's key sets, as Windows keeps it.
    info.dwFlags = machine_ ? CRYPT_MACHINE_KEYSET : 0;
    info.dwKeySpec = keySpec_;
    if (!CertSetCertificateContextProperty(context.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
      err << "kestrune store add: the certificate " << thumbprint << " is stored, but its key "
          << "property could not be set: " << errorText(GetLastError()) << "\n";
      return kFailed;
    }
  }
  out << thumbprint << "\n";
  return kDone;
}

int StoreCommands::remove(std::ostream& err) const {
  std::string name;
  if (!knownStore(storeName_.empty() ? "My" : storeName_, name, err)) return kUsageError;
  if (!isThumbprint(thumbprint_)) {
    err << "kestrune store remove: a thumbprint is 40 hexadecimal digits (the certificate's "
           "SHA-1, as store list shows it)\n";
    return kUsageError;
  }
  std::string wanted = thumbprint_;
  std::transform(wanted.begin(), wanted.end(), wanted.begin(),
                 [](char c) { return c >= 'a' && c <= 'f' ? static_cast<char>(c - 32) : c; });

  const StoreOwner store = openStore(name, machine_, false);
  if (!store) {
    err << "kestrune store remove: cannot open " << storeLabel(name, machine_) << ": "
        << errorText(GetLastError()) << "\n";
    return kFailed;
  }
  PCCERT_CONTEXT found = nullptr;
  PCCERT_CONTEXT context = nullptr;
  while ((context = CertEnumCertificatesInStore(store.get(), context)) != nullptr) {
    if (thumbprintOf(context) == wanted) {
      found = CertDuplicateCertificateContext(context);
      CertFreeCertificateContext(context);
      break;
    }
  }
  if (found == nullptr) {
    err << "kestrune store remove: no certificate " << wanted << " in "
        << storeLabel(name, machine_) << "\n";
    return kFailed;
  }
  // The delete frees the context, whatever its outcome.
  if (!CertDeleteCertificateFromStore(found)) {
    err << "kestrune store remove: cannot remove " << wanted << " from "
        << storeLabel(name, machine_) << ": " << errorText(GetLastError()) << "\n";
    return kFailed;
  }
  return kDone;
}

}  // namespace kestrune::host
