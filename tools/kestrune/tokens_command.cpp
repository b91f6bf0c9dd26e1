#include "tools/kestrune/tokens_command.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/web_policy.h"
#include "platform/platform.h"
#include "token/pkcs11.h"
#include "tools/kestrune/display_text.h"
#include "tools/kestrune/module_names.h"

namespace kestrune::host {
namespace {

using Json = nlohmann::ordered_json;

// A module may claim any number of slots: more than this are not listed.
constexpr CK_ULONG kMaxSlots = 256;

struct TokenFlag {
  CK_FLAGS bit;
  const char* name;  // for --json
  const char* text;  // for people
};
constexpr std::array<TokenFlag, 9> kTokenFlags{{
    {CKF_TOKEN_INITIALIZED, "tokenInitialized", "initialised"},
    {CKF_LOGIN_REQUIRED, "loginRequired", "login required"},
    {CKF_USER_PIN_INITIALIZED, "userPinInitialized", "user PIN set"},
    {CKF_WRITE_PROTECTED, "writeProtected", "write-protected"},
    {CKF_PROTECTED_AUTHENTICATION_PATH, "protectedAuthenticationPath", "PIN pad"},
    {CKF_USER_PIN_COUNT_LOW, "userPinCountLow", "a wrong user PIN was given"},
    {CKF_USER_PIN_FINAL_TRY, "userPinFinalTry", "one user PIN try left"},
    {CKF_USER_PIN_LOCKED, "userPinLocked", "user PIN locked"},
    {CKF_SO_PIN_LOCKED, "soPinLocked", "SO PIN locked"},
}};

// A blank-padded PKCS#11 text field, trimmed, on one line.
template <std::size_t N>
std::string fieldText(const CK_UTF8CHAR (&field)[N]) {
  std::string_view text(reinterpret_cast<const char*>(field), N);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  return oneLine(text);
}

struct Slot {
  CK_SLOT_ID id = 0;
  std::string description;
  std::optional<CK_TOKEN_INFO> token;
  std::optional<std::size_t> index;  // the number setCurrentSlot takes for it
};

struct ModuleListing {
  std::string name;  // as asked for, or p11-kit's name
  std::string path;
  std::vector<Slot> slots;
  std::string error;  // why the module could not be asked; empty when listed
};

// Owns a loaded module for the listing: initialised by us (and finalised again) unless the
// process had it initialised already.
class ModuleUse {
 public:
  explicit ModuleUse(const std::string& path) : library_(platform::loadLibrary(path.c_str())) {}
  ~ModuleUse() {
    if (initialised_) functions_->C_Finalize(nullptr);
    if (library_ != nullptr) platform::unloadLibrary(library_);
  }
  ModuleUse(const ModuleUse&) = delete;
  ModuleUse& operator=(const ModuleUse&) = delete;

  // open readies the module; false with the reason.
  bool open(std::string& why) {
    if (library_ == nullptr) {
      why = "cannot be loaded: " + platform::libraryError();
      return false;
    }
    auto getList =
        reinterpret_cast<CK_C_GetFunctionList>(platform::findSymbol(library_, "C_GetFunctionList"));
    if (getList == nullptr || getList(&functions_) != CKR_OK || functions_ == nullptr) {
      why = "is not a PKCS#11 module (no C_GetFunctionList)";
      return false;
    }
    const CK_RV rv = functions_->C_Initialize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
      why = "C_Initialize failed (CK_RV 0x" + hex(rv) + ")";
      return false;
    }
    initialised_ = rv == CKR_OK;
    return true;
  }

  CK_FUNCTION_LIST& f() const { return *functions_; }

  static std::string hex(CK_RV rv) {
    std::string text;
    do {
      text.insert(text.begin(), "0123456789ABCDEF"[rv & 15]);
      rv >>= 4;
    } while (rv != 0);
    return text;
  }

 private:
  platform::LibraryHandle library_;
  CK_FUNCTION_LIST* functions_ = nullptr;
  bool initialised_ = false;
};

// The module's slots, all of them or those with a token present; false with the CK_RV.
CK_RV slotList(const ModuleUse& module, CK_BBOOL tokenPresent, std::vector<CK_SLOT_ID>& ids) {
  CK_ULONG count = 0;
  CK_RV rv = module.f().C_GetSlotList(tokenPresent, nullptr, &count);
  if (rv != CKR_OK) return rv;
  ids.resize(std::min(count, kMaxSlots));
  count = ids.size();
  rv = module.f().C_GetSlotList(tokenPresent, ids.data(), &count);
  // A slot added between the two calls: list the ones asked for.
  if (rv == CKR_BUFFER_TOO_SMALL) rv = CKR_OK;
  ids.resize(std::min<CK_ULONG>(count, ids.size()));
  return rv;
}

ModuleListing listModule(const std::string& name, const std::string& path) {
  ModuleListing listing{name, path, {}, {}};
  ModuleUse module(path);
  if (!module.open(listing.error)) return listing;
  std::vector<CK_SLOT_ID> ids;
  std::vector<CK_SLOT_ID> withToken;
  CK_RV rv = slotList(module, CK_FALSE, ids);
  if (rv == CKR_OK) rv = slotList(module, CK_TRUE, withToken);
  if (rv != CKR_OK) {
    listing.error = "C_GetSlotList failed (CK_RV 0x" + ModuleUse::hex(rv) + ")";
    return listing;
  }
  for (const CK_SLOT_ID id : ids) {
    Slot slot{id, {}, std::nullopt, std::nullopt};
    // setCurrentSlot numbers the slots that hold a token.
    const auto present = std::find(withToken.begin(), withToken.end(), id);
    if (present != withToken.end())
      slot.index = static_cast<std::size_t>(present - withToken.begin());
    CK_SLOT_INFO info{};
    if (module.f().C_GetSlotInfo(id, &info) == CKR_OK) {
      slot.description = fieldText(info.slotDescription);
      CK_TOKEN_INFO token{};
      if ((info.flags & CKF_TOKEN_PRESENT) != 0 && module.f().C_GetTokenInfo(id, &token) == CKR_OK)
        slot.token = token;
    }
    listing.slots.push_back(std::move(slot));
  }
  return listing;
}

void printText(const ModuleListing& listing, std::ostream& out) {
  out << oneLine(listing.name);
  if (listing.path != listing.name) out << ": " << oneLine(listing.path);
  out << "\n";
  if (listing.slots.empty()) out << "  no slots\n";
  for (const Slot& slot : listing.slots) {
    if (slot.index)
      out << "  slot " << *slot.index << " (id " << slot.id << ")";
    else
      out << "  slot id " << slot.id;
    if (!slot.token) {
      out << ": no token\n";
      continue;
    }
    const CK_TOKEN_INFO& token = *slot.token;
    if ((token.flags & CKF_TOKEN_INITIALIZED) == 0) {
      out << ": a token not initialised\n";
      continue;
    }
    out << ": token \"" << fieldText(token.label) << "\", " << fieldText(token.manufacturerID)
        << " " << fieldText(token.model) << ", serial " << fieldText(token.serialNumber);
    const char* separator = "; ";
    for (const TokenFlag& flag : kTokenFlags) {
      if (flag.bit == CKF_TOKEN_INITIALIZED || (token.flags & flag.bit) == 0) continue;
      out << separator << flag.text;
      separator = ", ";
    }
    out << "\n";
  }
}

Json asJson(const ModuleListing& listing) {
  Json module = {{"module", listing.name}, {"path", listing.path}};
  if (!listing.error.empty()) {
    module["error"] = listing.error;
    return module;
  }
  Json slots = Json::array();
  for (const Slot& slot : listing.slots) {
    Json entry = {{"index", slot.index ? Json(*slot.index) : Json(nullptr)},
                  {"id", slot.id},
                  {"description", slot.description}};
    if (slot.token) {
      const CK_TOKEN_INFO& token = *slot.token;
      Json flags = Json::array();
      for (const TokenFlag& flag : kTokenFlags)
        if ((token.flags & flag.bit) != 0) flags.push_back(flag.name);
      entry["token"] = {{"label", fieldText(token.label)},
                        {"manufacturer", fieldText(token.manufacturerID)},
                        {"model", fieldText(token.model)},
                        {"serial", fieldText(token.serialNumber)},
                        {"flags", std::move(flags)}};
    } else {
      entry["token"] = nullptr;
    }
    slots.push_back(std::move(entry));
  }
  module["slots"] = std::move(slots);
  return module;
}

}  // namespace

TokensCommand::TokensCommand(CLI::App& app) {
  tokens_ = app.add_subcommand(
      "tokens",
      "List the slots of a PKCS#11 module and their tokens, numbered as setCurrentSlot takes "
      "them; without MODULE, of every module p11-kit registers");
  tokens_->add_option("module", module_,
                      "a module: p11-kit's name for it (softhsm2), a file name on the library "
                      "path, or a path");
  tokens_->add_flag("--json", json_, "One JSON array of the modules and their slots");
}

int TokensCommand::run(std::ostream& out, std::ostream& err) const {
  std::vector<std::pair<std::string, std::string>> modules;
  if (!module_.empty()) {
    modules.emplace_back(module_, moduleForLoadLib(module_));
  } else {
    for (const auto& [name, path] : agent::registeredModules()) modules.emplace_back(name, path);
  }
  int status = 0;
  Json all = Json::array();
  for (const auto& [name, path] : modules) {
    const ModuleListing listing = listModule(name, path);
    if (!listing.error.empty()) {
      err << "kestrune tokens: " << oneLine(listing.path) << " " << listing.error << "\n";
      status = 1;
    }
    if (json_) {
      all.push_back(asJson(listing));
    } else if (listing.error.empty()) {
      printText(listing, out);
    }
  }
  if (json_) out << all.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  if (modules.empty() && !json_) out << "p11-kit registers no PKCS#11 module\n";
  return status;
}

}  // namespace kestrune::host
