#include "tests/support/softhsm.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "tests/support/cryptoki_use.h"

namespace kestrune::testing {
namespace {

using detail::ModuleUse;
using detail::Session;
using detail::succeeded;

constexpr std::string_view kConstructor = "SoftHsm";

std::string makeTempDir() {
  std::error_code error;
  auto base = std::filesystem::temp_directory_path(error);
  if (error) base = "/tmp";
  std::string pattern = (base / "kestrune-softhsm-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "SoftHsm: mkdtemp failed for " << pattern;
    return {};
  }
  return pattern;
}

std::string tokenLabel(int index) {
  return "token" + std::to_string(index);
}

// The token label as SoftHSM2 reports it, without its blank padding.
std::string labelOf(CK_FUNCTION_LIST& functions, CK_SLOT_ID slot) {
  CK_TOKEN_INFO info{};
  if (!succeeded(functions.C_GetTokenInfo(slot, &info), kConstructor, "C_GetTokenInfo")) return {};
  std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
  label.erase(label.find_last_not_of(' ') + 1);
  return label;
}

std::vector<CK_SLOT_ID> slotList(CK_FUNCTION_LIST& functions) {
  CK_ULONG count = 0;
  if (!succeeded(functions.C_GetSlotList(CK_TRUE, nullptr, &count), kConstructor,
                 "C_GetSlotList")) {
    return {};
  }
  std::vector<CK_SLOT_ID> slots(count);
  if (!succeeded(functions.C_GetSlotList(CK_TRUE, slots.data(), &count), kConstructor,
                 "C_GetSlotList")) {
    return {};
  }
  slots.resize(count);
  return slots;
}

bool isInitialised(CK_FUNCTION_LIST& functions, CK_SLOT_ID slot) {
  CK_TOKEN_INFO info{};
  return functions.C_GetTokenInfo(slot, &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED);
}

// initToken (re)initialises the token in `slot` with `label`, kSoPin and kUserPin.
bool initToken(const ModuleUse& module, CK_SLOT_ID slot, const std::string& label) {
  CK_FUNCTION_LIST& functions = *module.functions();
  const std::string padded = detail::paddedLabel(label);
  const std::string_view soPin = kSoPin;
  const std::string_view userPin = kUserPin;
  if (!succeeded(
          functions.C_InitToken(slot, detail::utf8(soPin), soPin.size(), detail::utf8(padded)),
          kConstructor, "C_InitToken")) {
    return false;
  }
  Session session(module, slot, kConstructor);
  return session.login(CKU_SO, soPin) &&
         succeeded(functions.C_InitPIN(session.handle(), detail::utf8(userPin), userPin.size()),
                   kConstructor, "C_InitPIN");
}

// A module use that must start SoftHSM2 afresh, since only C_Initialize reads the
// configuration and looks for new tokens.
bool startedAfresh(const ModuleUse& module) {
  if (module.functions() == nullptr) return false;
  if (module.joined()) {
    ADD_FAILURE() << "SoftHsm: SoftHSM2 is still initialised; close the layer's session first";
    return false;
  }
  return true;
}

}  // namespace

SoftHsm::SoftHsm(int tokens) : TestToken(softHsmModule()), tokens_(tokens) {
  if (const char* previous = getenv("SOFTHSM2_CONF")) {
    previousConf_ = previous;
    hadPreviousConf_ = true;
  }
  dir_ = makeTempDir();
  if (dir_.empty()) return;
  const std::string tokenDir = dir_ + "/tokens";
  const std::string conf = dir_ + "/softhsm2.conf";
  std::error_code error;
  std::filesystem::create_directory(tokenDir, error);
  std::ofstream(conf) << "directories.tokendir = " << tokenDir << "\n"
                      << "objectstore.backend = file\n"
                      << "log.level = ERROR\n"
                      << "slots.removable = false\n";
  setenv("SOFTHSM2_CONF", conf.c_str(), 1);
  userPins_.assign(tokens_ > 0 ? tokens_ : 0, kUserPin);
  initialiseTokens();
}

SoftHsm::~SoftHsm() {
  if (hadPreviousConf_) {
    setenv("SOFTHSM2_CONF", previousConf_.c_str(), 1);
  } else {
    unsetenv("SOFTHSM2_CONF");
  }
  if (!dir_.empty()) {
    std::error_code error;
    std::filesystem::remove_all(dir_, error);
  }
}

// Tokens are initialised one module start each: SoftHSM2 offers the next free slot only
// after a fresh C_Initialize. Slot ids derive from the random serial numbers, and the slot
// list is sorted by them, so the labels are put in slot-list order at the end by
// re-initialising the tokens that landed out of place (slot ids survive that).
void SoftHsm::initialiseTokens() {
  for (int index = 0; index < tokens_; ++index) {
    ModuleUse module(softHsmModule(), kConstructor);
    if (!startedAfresh(module)) return;
    std::optional<CK_SLOT_ID> freeSlot;
    for (CK_SLOT_ID slot : slotList(*module.functions())) {
      if (!isInitialised(*module.functions(), slot)) freeSlot = slot;
    }
    if (!freeSlot) {
      ADD_FAILURE() << "SoftHsm: SoftHSM2 offers no free slot for " << tokenLabel(index);
      return;
    }
    if (!initToken(module, *freeSlot, tokenLabel(index))) return;
  }

  ModuleUse module(softHsmModule(), kConstructor);
  if (!startedAfresh(module)) return;
  for (CK_SLOT_ID slot : slotList(*module.functions())) {
    if (isInitialised(*module.functions(), slot)) slots_.push_back(slot);
  }
  if (slots_.size() != static_cast<std::size_t>(tokens_ > 0 ? tokens_ : 0)) {
    ADD_FAILURE() << "SoftHsm: " << slots_.size() << " initialised tokens instead of " << tokens_;
    return;
  }
  for (std::size_t position = 0; position < slots_.size(); ++position) {
    const std::string wanted = tokenLabel(static_cast<int>(position));
    if (labelOf(*module.functions(), slots_[position]) == wanted) continue;
    if (!initToken(module, slots_[position], wanted)) return;
  }
}

}  // namespace kestrune::testing
