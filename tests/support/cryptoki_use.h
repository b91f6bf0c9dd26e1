// How the test helpers reach a module themselves: the module loaded once per process (the
// same instance that the layer under test gets from its own dlopen), an initialisation that
// joins one already in place, and a read/write session that undoes its own login.
#pragma once

#include <string>
#include <string_view>

#include "token/pkcs11.h"

namespace kestrune::testing::detail {

// moduleFunctions returns the function list of the module at `path`, loading it on first use
// and keeping it loaded; null, after a test failure, when it can't be loaded.
CK_FUNCTION_LIST* moduleFunctions(const char* path);
CK_FUNCTION_LIST* softHsmFunctions();

// succeeded reports a failed call as a test failure naming the helper, the function and the
// CK_RV in hex; it returns whether rv is CKR_OK.
bool succeeded(CK_RV rv, std::string_view helper, std::string_view function);

// ModuleUse initialises a module for one helper and finalises it again, unless the module
// was already initialised (the layer under test has it open): then it joins and leaves the
// module as it found it.
class ModuleUse {
 public:
  ModuleUse(const char* module, std::string_view helper);
  ~ModuleUse();
  ModuleUse(const ModuleUse&) = delete;
  ModuleUse& operator=(const ModuleUse&) = delete;

  // functions is null when the module couldn't be loaded or initialised.
  CK_FUNCTION_LIST* functions() const { return functions_; }
  bool joined() const { return joined_; }

 private:
  CK_FUNCTION_LIST* functions_ = nullptr;
  bool joined_ = false;
};

// Session is a read/write session on one slot. A login made through it is undone by a
// logout before the session closes, so a session of the layer under test on the same
// token keeps the login state it had.
class Session {
 public:
  Session(const ModuleUse& module, CK_SLOT_ID slot, std::string_view helper);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool open() const { return functions_ != nullptr; }
  CK_SESSION_HANDLE handle() const { return handle_; }
  CK_FUNCTION_LIST& functions() const { return *functions_; }
  // login logs in as `user`; an existing login of the same user counts as success.
  bool login(CK_USER_TYPE user, std::string_view pin);

 private:
  CK_FUNCTION_LIST* functions_ = nullptr;
  CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
  bool loggedIn_ = false;
  std::string helper_;
};

// utf8 passes text to Cryptoki, which takes PINs and labels through non-const pointers but
// never writes them.
inline CK_UTF8CHAR_PTR utf8(std::string_view text) {
  return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text.data()));
}

// paddedLabel returns a token label as PKCS#11 wants it: 32 bytes, blank-padded.
std::string paddedLabel(std::string_view label);

}  // namespace kestrune::testing::detail
