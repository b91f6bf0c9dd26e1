#include "tests/support/cryptoki_use.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "tests/support/softhsm.h"

namespace kestrune::testing::detail {
namespace {

CK_FUNCTION_LIST* loadModule(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    ADD_FAILURE() << "cannot load " << path << ": " << dlerror();
    return nullptr;
  }
  // The handle stays open for the life of the process: the layer under test shares this
  // instance, and unloading the module between tests would only cost a reload.
  auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
  CK_FUNCTION_LIST* functions = nullptr;
  if (getFunctionList == nullptr || getFunctionList(&functions) != CKR_OK) {
    ADD_FAILURE() << path << " gives no function list";
    return nullptr;
  }
  return functions;
}

}  // namespace

CK_FUNCTION_LIST* moduleFunctions(const char* path) {
  static std::map<std::string, CK_FUNCTION_LIST*> loaded;
  const auto found = loaded.find(path);
  if (found != loaded.end()) return found->second;
  CK_FUNCTION_LIST* functions = loadModule(path);
  if (functions != nullptr) loaded.emplace(path, functions);
  return functions;
}

CK_FUNCTION_LIST* softHsmFunctions() {
  return moduleFunctions(softHsmModule());
}

bool succeeded(CK_RV rv, std::string_view helper, std::string_view function) {
  if (rv == CKR_OK) return true;
  char hex[24];
  std::snprintf(hex, sizeof hex, "0x%lX", rv);
  ADD_FAILURE() << helper << ": " << function << " failed with CK_RV " << hex;
  return false;
}

ModuleUse::ModuleUse(const char* module, std::string_view helper) {
  CK_FUNCTION_LIST* functions = moduleFunctions(module);
  if (functions == nullptr) return;
  const CK_RV rv = functions->C_Initialize(nullptr);
  if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    joined_ = true;
  } else if (!succeeded(rv, helper, "C_Initialize")) {
    return;
  }
  functions_ = functions;
}

ModuleUse::~ModuleUse() {
  if (functions_ != nullptr && !joined_) functions_->C_Finalize(nullptr);
}

Session::Session(const ModuleUse& module, CK_SLOT_ID slot, std::string_view helper)
    : helper_(helper) {
  CK_FUNCTION_LIST* functions = module.functions();
  if (functions == nullptr) return;
  const CK_RV rv = functions->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                            nullptr, &handle_);
  if (succeeded(rv, helper_, "C_OpenSession")) functions_ = functions;
}

Session::~Session() {
  if (functions_ == nullptr) return;
  if (loggedIn_) functions_->C_Logout(handle_);
  functions_->C_CloseSession(handle_);
}

bool Session::login(CK_USER_TYPE user, std::string_view pin) {
  if (functions_ == nullptr) return false;
  const CK_RV rv = functions_->C_Login(handle_, user, utf8(pin), pin.size());
  if (rv == CKR_USER_ALREADY_LOGGED_IN) return true;
  loggedIn_ = succeeded(rv, helper_, "C_Login");
  return loggedIn_;
}

std::string paddedLabel(std::string_view label) {
  std::string padded(label.substr(0, 32));
  padded.resize(32, ' ');
  return padded;
}

}  // namespace kestrune::testing::detail
