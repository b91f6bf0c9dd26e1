#include "bench/token_bed.h"

#include <dlfcn.h>

#include <string>

#include "tests/support/softhsm.h"

namespace kestrune::bench {

std::vector<std::uint8_t> textWithZero(std::string_view text) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

void endSharedSession() {
  TVFEDIMiniKeyCrypt closer;
}

bool logInOnSoftHsm(TVFEDIMiniKeyCrypt& control) {
  const std::string path = testing::softHsmModule();
  const std::string pin = testing::kUserPin;
  return control.loadLib(std::u16string(path.begin(), path.end())) == +ControlCode::kOk &&
         control.checkPassword(std::u16string(pin.begin(), pin.end())) == +ControlCode::kOk;
}

CK_FUNCTION_LIST* softHsmFunctions() {
  void* module = dlopen(testing::softHsmModule(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return nullptr;
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
  CK_FUNCTION_LIST* functions = nullptr;
  if (getList == nullptr || getList(&functions) != CKR_OK) return nullptr;
  return functions;
}

}  // namespace kestrune::bench
