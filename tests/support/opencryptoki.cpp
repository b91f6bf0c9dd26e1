#include "tests/support/opencryptoki.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tests/support/cryptoki_use.h"

extern char** environ;

namespace kestrune::testing {
namespace {

using detail::ModuleUse;
using detail::Session;
using detail::succeeded;

constexpr std::string_view kHelper = "OpenCryptoki";
constexpr const char* kDaemon = "/usr/sbin/pkcsslotd";
constexpr const char* kSocket = "/var/run/pkcsslotd.socket";
// The folders the daemon and the module lock in; systemd's tmpfiles make them at boot, which
// a machine without systemd never does.
constexpr const char* kLockFolders[] = {"/var/lock/opencryptoki", "/var/lock/opencryptoki/swtok"};
// The soft token's model, as C_GetTokenInfo gives it (blank-padded).
constexpr std::string_view kSoftTokenModel = "IBM SoftTok";

bool exists(const char* path) {
  struct stat status {};
  return stat(path, &status) == 0;
}

bool socketPresent() {
  struct stat status {};
  return stat(kSocket, &status) == 0 && S_ISSOCK(status.st_mode);
}

std::string hex(CK_RV rv) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%lX", rv);
  return text;
}

// makeLockFolders creates the lock folders the package's tmpfiles entry would, owned by the
// pkcs11 group; returns why not when that fails.
std::string makeLockFolders() {
  const group* pkcs11 = getgrnam("pkcs11");
  if (pkcs11 == nullptr) return "there is no pkcs11 group (the opencryptoki package adds it)";
  for (const char* folder : kLockFolders) {
    if (mkdir(folder, 0770) != 0) {
      if (errno == EEXIST) continue;
      return std::string("cannot create ") + folder + ": " + std::strerror(errno);
    }
    if (chown(folder, static_cast<uid_t>(-1), pkcs11->gr_gid) != 0 || chmod(folder, 0770) != 0) {
      return std::string("cannot give ") + folder + " to the pkcs11 group: " + std::strerror(errno);
    }
  }
  return {};
}

// startDaemon runs pkcsslotd, which puts itself in the background, and waits for its socket;
// returns why not when it does not come up. The daemon's standard streams go to /dev/null:
// it outlives the test, and must not hold the test runner's output open.
std::string startDaemon() {
  if (std::string why = makeLockFolders(); !why.empty()) return why;
  unlink(kSocket);  // a stale socket of a daemon that was killed
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int stream = 0; stream < 3; ++stream) {
    posix_spawn_file_actions_addopen(&actions, stream, "/dev/null", O_RDWR, 0);
  }
  char* argv[] = {const_cast<char*>(kDaemon), nullptr};
  pid_t child = 0;
  const int spawned = posix_spawn(&child, kDaemon, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return std::string("cannot run ") + kDaemon + ": " + std::strerror(spawned);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::string(kDaemon) + " failed (status " + std::to_string(status) +
           "; it needs root or the pkcs11 group)";
  }
  for (int wait = 0; wait < 100 && !socketPresent(); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return socketPresent() ? std::string() : std::string(kDaemon) + " started but opened no socket";
}

// moduleAnswers tries C_Initialize and undoes it; the CK_RV it gave.
CK_RV moduleAnswers() {
  CK_FUNCTION_LIST* functions = detail::moduleFunctions(openCryptokiModule());
  if (functions == nullptr) return CKR_GENERAL_ERROR;
  const CK_RV rv = functions->C_Initialize(nullptr);
  if (rv == CKR_OK) functions->C_Finalize(nullptr);
  return rv == CKR_CRYPTOKI_ALREADY_INITIALIZED ? CKR_OK : rv;
}

std::string trimmed(const CK_UTF8CHAR* text, std::size_t size) {
  std::string value(reinterpret_cast<const char*>(text), size);
  value.erase(value.find_last_not_of(' ') + 1);
  return value;
}

}  // namespace

OpenCryptoki::OpenCryptoki() : TestToken(openCryptokiModule()) {
  if (!exists(openCryptokiModule())) {
    why_ = std::string("opencryptoki is not installed (no ") + openCryptokiModule() +
           "; scripts/deps.sh installs it)";
    return;
  }
  if (!exists(kDaemon)) {
    why_ = std::string("opencryptoki's slot daemon is not installed (no ") + kDaemon + ")";
    return;
  }
  // The module only works while the daemon runs: start it when its socket is missing, and
  // once more when the module can't reach a socket that is there.
  const bool missing = !socketPresent();
  if (missing) why_ = startDaemon();
  if (why_.empty() && !missing && moduleAnswers() != CKR_OK) why_ = startDaemon();
  if (why_.empty()) {
    if (const CK_RV rv = moduleAnswers(); rv != CKR_OK) {
      why_ = "opencryptoki's C_Initialize fails with " + hex(rv) + " although " + kDaemon + " runs";
    }
  }
  if (!why_.empty()) {
    why_ = "opencryptoki's slot daemon can't run here: " + why_;
    return;
  }
  initialiseToken();
}

void OpenCryptoki::initialiseToken() {
  ModuleUse module(openCryptokiModule(), kHelper);
  CK_FUNCTION_LIST* functions = module.functions();
  if (functions == nullptr) return;
  if (module.joined()) {
    ADD_FAILURE() << kHelper << ": opencryptoki is still initialised; close the layer's session";
    return;
  }
  CK_ULONG count = 0;
  if (!succeeded(functions->C_GetSlotList(CK_TRUE, nullptr, &count), kHelper, "C_GetSlotList")) {
    return;
  }
  std::vector<CK_SLOT_ID> present(count);
  if (!succeeded(functions->C_GetSlotList(CK_TRUE, present.data(), &count), kHelper,
                 "C_GetSlotList")) {
    return;
  }
  present.resize(count);
  std::optional<CK_SLOT_ID> softToken;
  for (CK_SLOT_ID slot : present) {
    CK_TOKEN_INFO info{};
    if (functions->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
    if (trimmed(info.model, sizeof info.model) == kSoftTokenModel) softToken = slot;
  }
  if (!softToken) {
    ADD_FAILURE() << kHelper << ": no slot holds the soft token (\"" << kSoftTokenModel
                  << "\") among " << present.size() << " slots with a token";
    return;
  }

  const std::string_view soPin = kOpenCryptokiSoPin;
  const std::string_view userPin = kUserPin;
  const std::string label = detail::paddedLabel("token0");
  const CK_RV rv =
      functions->C_InitToken(*softToken, detail::utf8(soPin), soPin.size(), detail::utf8(label));
  if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LOCKED) {
    ADD_FAILURE() << kHelper << ": the soft token refuses opencryptoki's default SO PIN ("
                  << hex(rv) << "); its data in /var/lib/opencryptoki/swtok must be removed "
                  << "(with pkcsslotd stopped) to start over";
    return;
  }
  if (!succeeded(rv, kHelper, "C_InitToken")) return;
  Session session(module, *softToken, kHelper);
  if (!session.login(CKU_SO, soPin)) return;
  if (!succeeded(functions->C_InitPIN(session.handle(), detail::utf8(userPin), userPin.size()),
                 kHelper, "C_InitPIN")) {
    return;
  }
  slots_ = {*softToken};
  userPins_ = {kUserPin};
}

}  // namespace kestrune::testing
