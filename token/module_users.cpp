// The users of each PKCS#11 module in the process, counted so that a module is initialised
// once and finalised when its last user goes.
#include <map>
#include <mutex>

#include "token/token.h"

namespace kestrune::token {
namespace {

struct Users {
  unsigned count = 0;
  bool initialisedByUs = false;  // false: the module was initialised before any user came
};

std::mutex usersLock;
std::map<CK_C_Initialize, Users> moduleUsers;

}  // namespace

CK_RV joinModule(CK_C_Initialize module, const ModuleCall& initialize) {
  const std::lock_guard hold(usersLock);
  Users& users = moduleUsers[module];
  if (users.count == 0) {
    const CK_RV rv = initialize();
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
      moduleUsers.erase(module);
      return rv;
    }
    users.initialisedByUs = rv == CKR_OK;
  }
  ++users.count;
  return CKR_OK;
}

CK_RV leaveModule(CK_C_Initialize module, const ModuleCall& finalize) {
  const std::lock_guard hold(usersLock);
  const auto found = moduleUsers.find(module);
  if (found == moduleUsers.end()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (--found->second.count != 0) return CKR_OK;
  const bool ours = found->second.initialisedByUs;
  moduleUsers.erase(found);
  return ours ? finalize() : CKR_OK;
}

}  // namespace kestrune::token
