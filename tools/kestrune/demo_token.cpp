#include "tools/kestrune/demo_token.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include <openssl/x509.h>

#include "common/der.h"
#include "common/ptr.h"
#include "platform/platform.h"
#include "token/pkcs11.h"
#include "token/token.h"

namespace kestrune::host {
namespace {

std::string hex(CK_RV rv) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(rv));
  return text;
}

// Pkcs11Module owns a loaded module and uses it beside the control's session and key
// providers in this process: the last of them to go finalises it.
class Pkcs11Module {
 public:
  Pkcs11Module() = default;
  Pkcs11Module(Pkcs11Module&& other) noexcept
      : library_(std::exchange(other.library_, nullptr)),
        functions_(std::exchange(other.functions_, nullptr)),
        joined_(std::exchange(other.joined_, false)) {}
  Pkcs11Module(const Pkcs11Module&) = delete;
  Pkcs11Module& operator=(const Pkcs11Module&) = delete;
  Pkcs11Module& operator=(Pkcs11Module&&) = delete;
  ~Pkcs11Module() {
    if (joined_) {
      CK_FUNCTION_LIST* f = functions_;
      token::leaveModule(f->C_Initialize, [f] { return f->C_Finalize(nullptr); });
    }
    if (library_ != nullptr) platform::unloadLibrary(library_);
  }

  bool open(const std::string& path, std::string& why) {
    library_ = platform::loadLibrary(path.c_str());
    if (library_ == nullptr) {
      why = "cannot load the PKCS#11 module " + path;
      return false;
    }
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(platform::findSymbol(library_, "C_GetFunctionList"));
    if (getFunctionList == nullptr || getFunctionList(&functions_) != CKR_OK ||
        functions_ == nullptr) {
      why = path + " gives no PKCS#11 function list";
      return false;
    }
    CK_FUNCTION_LIST* f = functions_;
    const CK_RV rv = token::joinModule(f->C_Initialize, [f] { return f->C_Initialize(nullptr); });
    if (rv != CKR_OK) {
      why = "C_Initialize failed with " + hex(rv);
      return false;
    }
    joined_ = true;
    return true;
  }

  CK_FUNCTION_LIST* operator->() const { return functions_; }

 private:
  platform::LibraryHandle library_ = nullptr;
  CK_FUNCTION_LIST* functions_ = nullptr;
  bool joined_ = false;
};

// Session owns an open session and closes it.
class Session {
 public:
  explicit Session(const Pkcs11Module& module) : module_(module) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (open_) module_->C_CloseSession(handle_);
  }

  CK_RV open(CK_SLOT_ID slot) {
    const CK_RV rv = module_->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                            nullptr, &handle_);
    open_ = rv == CKR_OK;
    return rv;
  }
  CK_SESSION_HANDLE handle() const { return handle_; }

 private:
  const Pkcs11Module& module_;
  CK_SESSION_HANDLE handle_ = 0;
  bool open_ = false;
};

CK_UTF8CHAR* utf8(const char* text) {
  return reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(text));
}

struct SlotSurvey {
  bool hasInitialisedToken = false;
  bool hasFreeSlot = false;
  CK_SLOT_ID freeSlot = 0;
};

struct SlotToken {
  CK_SLOT_ID slot = 0;
  CK_TOKEN_INFO info{};
};

// listTokens returns every slot with a token present, with the token's information.
bool listTokens(const Pkcs11Module& module, std::vector<SlotToken>& tokens, std::string& why) {
  CK_ULONG count = 0;
  CK_RV rv = module->C_GetSlotList(CK_TRUE, nullptr, &count);
  std::vector<CK_SLOT_ID> slots(count);
  if (rv == CKR_OK) rv = module->C_GetSlotList(CK_TRUE, slots.data(), &count);
  if (rv != CKR_OK) {
    why = "C_GetSlotList failed with " + hex(rv);
    return false;
  }
  slots.resize(count);
  tokens.clear();
  for (CK_SLOT_ID slot : slots) {
    SlotToken token{slot, {}};
    rv = module->C_GetTokenInfo(slot, &token.info);
    if (rv != CKR_OK) {
      why = "C_GetTokenInfo failed with " + hex(rv);
      return false;
    }
    tokens.push_back(token);
  }
  return true;
}

bool isInitialised(const SlotToken& token) {
  return (token.info.flags & CKF_TOKEN_INITIALIZED) != 0;
}

bool surveySlots(const Pkcs11Module& module, SlotSurvey& survey, std::string& why) {
  std::vector<SlotToken> tokens;
  if (!listTokens(module, tokens, why)) return false;
  for (const SlotToken& token : tokens) {
    if (isInitialised(token)) {
      survey.hasInitialisedToken = true;
    } else if (!survey.hasFreeSlot) {
      survey.hasFreeSlot = true;
      survey.freeSlot = token.slot;
    }
  }
  return true;
}

bool initialiseToken(const Pkcs11Module& module, CK_SLOT_ID slot, std::string& why) {
  CK_UTF8CHAR label[32];
  std::memset(label, ' ', sizeof label);
  std::memcpy(label, kDemoTokenLabel, std::min(sizeof label, std::strlen(kDemoTokenLabel)));
  CK_RV rv = module->C_InitToken(slot, utf8(kDemoSoPin), std::strlen(kDemoSoPin), label);
  if (rv != CKR_OK) {
    why = "C_InitToken failed with " + hex(rv);
    return false;
  }
  Session session(module);
  rv = session.open(slot);
  if (rv == CKR_OK)
    rv = module->C_Login(session.handle(), CKU_SO, utf8(kDemoSoPin), std::strlen(kDemoSoPin));
  if (rv == CKR_OK) {
    rv = module->C_InitPIN(session.handle(), utf8(kDemoUserPin), std::strlen(kDemoUserPin));
    module->C_Logout(session.handle());
  }
  if (rv != CKR_OK) {
    why = "setting the user PIN failed with " + hex(rv);
    return false;
  }
  return true;
}

}  // namespace

bool prepareDemoToken(const std::string& dir, const std::string& modulePath, DemoToken& token,
                      std::string& why) {
  std::error_code error;
  const std::filesystem::path root = std::filesystem::absolute(dir, error);
  const std::filesystem::path tokens = root / "tokens";
  // The folder goes into a line-based configuration file: a line break would end its entry.
  if (tokens.string().find_first_of("\r\n") != std::string::npos) {
    why = "the folder's name holds a line break";
    return false;
  }
  if (!error) std::filesystem::create_directories(tokens, error);
  if (error) {
    why = "cannot create " + tokens.string() + ": " + error.message();
    return false;
  }
  token.configPath = (root / "softhsm2.conf").string();
  std::string config = "# SoftHSM2 configuration of the kestrune demo\n";
  config += "directories.tokendir = " + tokens.string() + "\n";
  config += "objectstore.backend = file\n";
  config += "log.level = ERROR\n";
  config += "slots.removable = false\n";
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(config.data()), config.size());
  if (platform::writeFile(token.configPath.c_str(), bytes) != platform::FileStatus::ok) {
    why = "cannot write " + token.configPath;
    return false;
  }
  if (!platform::setEnvironmentVariable("SOFTHSM2_CONF", token.configPath.c_str())) {
    why = "cannot set SOFTHSM2_CONF";
    return false;
  }

  Pkcs11Module module;
  if (!module.open(modulePath, why)) return false;
  SlotSurvey survey;
  if (!surveySlots(module, survey, why)) return false;
  token.created = !survey.hasInitialisedToken;
  if (!token.created) return true;
  if (!survey.hasFreeSlot) {
    why = "the module offers no slot with a free token";
    return false;
  }
  return initialiseToken(module, survey.freeSlot, why);
}

}  // namespace kestrune::host

namespace kestrune::host {
namespace {

constexpr std::string_view kCertificateLabel = "Kestrune demo X.509";

bool isDemoToken(const SlotToken& token) {
  const std::string_view label(reinterpret_cast<const char*>(token.info.label),
                               sizeof token.info.label);
  return isInitialised(token) && label.starts_with(kDemoTokenLabel) &&
         label.find_first_not_of(' ', std::strlen(kDemoTokenLabel)) == std::string_view::npos;
}

// findObjects gives the handles of the objects that match the template (at most 16).
std::vector<CK_OBJECT_HANDLE> findObjects(const Pkcs11Module& module, CK_SESSION_HANDLE session,
                                          std::span<CK_ATTRIBUTE> match) {
  std::vector<CK_OBJECT_HANDLE> found(16);
  CK_ULONG count = 0;
  if (module->C_FindObjectsInit(session, match.data(), match.size()) != CKR_OK) return {};
  if (module->C_FindObjects(session, found.data(), found.size(), &count) != CKR_OK) count = 0;
  module->C_FindObjectsFinal(session);
  found.resize(count);
  return found;
}

// attribute reads one attribute of an object (at most 4 KB).
bool attribute(const Pkcs11Module& module, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
               CK_ATTRIBUTE_TYPE type, std::vector<std::uint8_t>& value) {
  CK_ATTRIBUTE query{type, nullptr, 0};
  if (module->C_GetAttributeValue(session, object, &query, 1) != CKR_OK ||
      query.ulValueLen == CK_UNAVAILABLE_INFORMATION || query.ulValueLen > 4096) {
    return false;
  }
  value.assign(query.ulValueLen, 0);
  query.pValue = value.data();
  return module->C_GetAttributeValue(session, object, &query, 1) == CKR_OK;
}

}  // namespace

bool placeCertificateBesideKey(const std::string& modulePath, std::string_view keyLabel,
                               const CertificateIssuer& issue, std::vector<std::uint8_t>& der,
                               std::string& why) {
  Pkcs11Module module;
  if (!module.open(modulePath, why)) return false;
  std::vector<SlotToken> tokens;
  if (!listTokens(module, tokens, why)) return false;
  const auto demo = std::find_if(tokens.begin(), tokens.end(), isDemoToken);
  if (demo == tokens.end()) {
    why = std::string("no token labelled \"") + kDemoTokenLabel + "\"";
    return false;
  }
  Session session(module);
  CK_RV rv = session.open(demo->slot);
  if (rv == CKR_OK) {
    rv = module->C_Login(session.handle(), CKU_USER, utf8(kDemoUserPin), std::strlen(kDemoUserPin));
    if (rv == CKR_USER_ALREADY_LOGGED_IN) rv = CKR_OK;
  }
  if (rv != CKR_OK) {
    why = "logging in to the demo token failed with " + hex(rv);
    return false;
  }
  CK_OBJECT_CLASS privateKey = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE keyMatch[] = {
      {CKA_CLASS, &privateKey, sizeof privateKey},
      {CKA_LABEL, const_cast<char*>(keyLabel.data()), keyLabel.size()},
  };
  const std::vector<CK_OBJECT_HANDLE> keys = findObjects(module, session.handle(), keyMatch);
  std::vector<std::uint8_t> id;
  TokenPublicKey key;
  if (keys.size() != 1 || !attribute(module, session.handle(), keys[0], CKA_ID, id) ||
      !attribute(module, session.handle(), keys[0], CKA_MODULUS, key.modulus) ||
      !attribute(module, session.handle(), keys[0], CKA_PUBLIC_EXPONENT, key.exponent)) {
    why = "the token holds no single readable private key labelled " + std::string(keyLabel);
    return false;
  }
  der = issue(key, why);
  if (der.empty()) return false;
  const unsigned char* position = der.data();
  const Ptr<X509> parsed(d2i_X509(nullptr, &position, static_cast<long>(der.size())));
  std::vector<std::uint8_t> subject =
      parsed ? toDer(X509_get_subject_name(parsed.get()), i2d_X509_NAME)
             : std::vector<std::uint8_t>{};
  if (subject.empty()) {
    why = "the certificate made for the key does not decode";
    return false;
  }

  // A certificate of an earlier run goes first: the key's CKA_ID must lead to one certificate.
  CK_OBJECT_CLASS certificate = CKO_CERTIFICATE;
  CK_ATTRIBUTE earlierMatch[] = {{CKA_CLASS, &certificate, sizeof certificate},
                                 {CKA_ID, id.data(), id.size()}};
  for (CK_OBJECT_HANDLE earlier : findObjects(module, session.handle(), earlierMatch)) {
    module->C_DestroyObject(session.handle(), earlier);
  }
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  CK_BBOOL yes = CK_TRUE;
  CK_BBOOL no = CK_FALSE;
  CK_ATTRIBUTE object[] = {
      {CKA_CLASS, &certificate, sizeof certificate},
      {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
      {CKA_TOKEN, &yes, sizeof yes},
      {CKA_PRIVATE, &no, sizeof no},
      {CKA_LABEL, const_cast<char*>(kCertificateLabel.data()), kCertificateLabel.size()},
      {CKA_ID, id.data(), id.size()},
      {CKA_SUBJECT, subject.data(), subject.size()},
      {CKA_VALUE, der.data(), der.size()},
  };
  CK_OBJECT_HANDLE created = CK_INVALID_HANDLE;
  rv = module->C_CreateObject(session.handle(), object, std::size(object), &created);
  if (rv != CKR_OK) {
    why = "storing the certificate on the token failed with " + hex(rv);
    return false;
  }
  return true;
}

}  // namespace kestrune::host
