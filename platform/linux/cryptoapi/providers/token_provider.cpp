// A provider backed by a PKCS#11 token. It keeps its own session on its own module instance
// rather than the token layer's one process-wide session, so a CryptoAPI context never
// disturbs the control's session on the same card.
#include "platform/linux/cryptoapi/providers/token_provider.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include "platform/platform.h"
#include "token/pkcs11.h"
#include "token/token.h"

namespace kestrune::cryptoapi {
namespace {

constexpr std::size_t kMaxObjects = 256;
constexpr std::size_t kMaxAttribute = 16 * 1024;
constexpr std::size_t kMaxPin = 64;
constexpr DWORD kNoSuchCertificate = 0x8010002C;  // SCARD_E_NO_SUCH_CERTIFICATE
constexpr DWORD kSecurityViolation = 0x8010006A;  // SCARD_W_SECURITY_VIOLATION: not logged in

// A module loaded and initialised once per process, shared by every context on it.
struct Module {
  platform::LibraryHandle library = nullptr;
  CK_FUNCTION_LIST* f = nullptr;
  bool joined = false;
  // The module is shared with the token layer's session in this process: it is finalised
  // only when neither uses it any more.
  ~Module() {
    if (joined) token::leaveModule(f->C_Initialize, [this] { return f->C_Finalize(nullptr); });
    if (library != nullptr) platform::unloadLibrary(library);
  }
};

std::map<std::string, std::weak_ptr<Module>> modules;

std::shared_ptr<Module> openModule(const std::string& name) {
  if (auto existing = modules[name].lock()) return existing;
  auto module = std::make_shared<Module>();
  module->library = platform::loadLibrary(name.c_str());
  if (module->library == nullptr) return nullptr;
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(
      platform::findSymbol(module->library, "C_GetFunctionList"));
  if (getList == nullptr || getList(&module->f) != CKR_OK || module->f == nullptr) return nullptr;
  CK_FUNCTION_LIST* f = module->f;
  if (token::joinModule(f->C_Initialize, [f] { return f->C_Initialize(nullptr); }) != CKR_OK) {
    return nullptr;
  }
  module->joined = true;
  modules[name] = module;
  return module;
}

std::string hexOf(const Bytes& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

}  // namespace

class TokenContainer {
 public:
  std::shared_ptr<Module> module;
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  Bytes id;  // CKA_ID of the container's key
  std::string name;
  // The private key once an operation has found it: a signature then costs the card one
  // operation instead of a search and a label read per key. A login drops it.
  CK_OBJECT_HANDLE knownPrivateKey = CK_INVALID_HANDLE;
  // False while the pair was only guessed: before login a container named after a hidden
  // private key is taken to be the one public key whose private half is hidden. The login
  // confirms the guess by the private key's name, or corrects it.
  bool confirmed = true;
  ~TokenContainer() {
    if (session != CK_INVALID_HANDLE) module->f->C_CloseSession(session);
  }

  CK_FUNCTION_LIST& f() const { return *module->f; }

  std::vector<CK_OBJECT_HANDLE> find(CK_OBJECT_CLASS objectClass, const Bytes* withId) const {
    CK_KEY_TYPE rsa = CKK_RSA;
    std::array<CK_ATTRIBUTE, 3> tmpl{{{CKA_CLASS, &objectClass, sizeof objectClass},
                                      {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                      {CKA_ID, nullptr, 0}}};
    CK_ULONG count = 1;
    if (objectClass != CKO_CERTIFICATE) count = 2;
    if (withId != nullptr) {
      tmpl[count] = {CKA_ID, const_cast<std::uint8_t*>(withId->data()), withId->size()};
      ++count;
    }
    std::vector<CK_OBJECT_HANDLE> found(kMaxObjects);
    CK_ULONG n = 0;
    if (f().C_FindObjectsInit(session, tmpl.data(), count) != CKR_OK) return {};
    if (f().C_FindObjects(session, found.data(), found.size(), &n) != CKR_OK) n = 0;
    f().C_FindObjectsFinal(session);
    found.resize(std::min<std::size_t>(n, kMaxObjects));
    return found;
  }

  // An attribute's bytes, bounded; empty when absent or unreadable.
  Bytes attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (f().C_GetAttributeValue(session, object, &a, 1) != CKR_OK ||
        a.ulValueLen == CK_UNAVAILABLE_INFORMATION || a.ulValueLen > kMaxAttribute)
      return {};
    Bytes value(a.ulValueLen);
    a.pValue = value.data();
    if (f().C_GetAttributeValue(session, object, &a, 1) != CKR_OK || a.ulValueLen > value.size())
      return {};
    value.resize(a.ulValueLen);
    return value;
  }

  bool flag(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) const {
    Bytes value = attribute(object, type);
    return value.size() == 1 && value[0] != 0;
  }

  std::string nameOf(CK_OBJECT_HANDLE object) const {
    Bytes label = attribute(object, CKA_LABEL);
    if (!label.empty()) return std::string(label.begin(), label.end());
    return hexOf(attribute(object, CKA_ID));
  }

  // The container's keys: the private keys, and before login (when private objects are
  // hidden) the public halves that the card shows in their place.
  std::vector<CK_OBJECT_HANDLE> keys() const {
    auto found = find(CKO_PRIVATE_KEY, nullptr);
    if (found.empty()) found = find(CKO_PUBLIC_KEY, nullptr);
    return found;
  }

  // True while the session sees only public objects: nobody is logged in to the token.
  bool privateObjectsHidden() const {
    CK_SESSION_INFO info{};
    if (f().C_GetSessionInfo(session, &info) != CKR_OK) return true;
    return info.state == CKS_RO_PUBLIC_SESSION || info.state == CKS_RW_PUBLIC_SESSION;
  }

  // The container's private key: the private key with the container's name, else (a public
  // half chose the container) the one with its CKA_ID.
  CK_OBJECT_HANDLE privateKey() const {
    for (auto object : find(CKO_PRIVATE_KEY, nullptr))
      if (nameOf(object) == name) return object;
    if (id.empty()) return CK_INVALID_HANDLE;
    auto found = find(CKO_PRIVATE_KEY, &id);
    return found.empty() ? CK_INVALID_HANDLE : found.front();
  }

  // The public half of a key pair: the public key with the pair's CKA_ID.
  CK_OBJECT_HANDLE publicHalf(const Bytes& pairId) const {
    if (pairId.empty()) return CK_INVALID_HANDLE;
    auto found = find(CKO_PUBLIC_KEY, &pairId);
    return found.empty() ? CK_INVALID_HANDLE : found.front();
  }

  // The public keys whose private halves this session can't see.
  std::vector<CK_OBJECT_HANDLE> unpairedPublicKeys() const {
    std::vector<CK_OBJECT_HANDLE> unpaired;
    for (auto object : find(CKO_PUBLIC_KEY, nullptr)) {
      Bytes pairId = attribute(object, CKA_ID);
      if (!pairId.empty() && find(CKO_PRIVATE_KEY, &pairId).empty()) unpaired.push_back(object);
    }
    return unpaired;
  }
};

namespace {

std::shared_ptr<EVP_PKEY> publicKeyOf(const TokenContainer& token, CK_OBJECT_HANDLE object) {
  Bytes modulus = token.attribute(object, CKA_MODULUS);
  Bytes exponent = token.attribute(object, CKA_PUBLIC_EXPONENT);
  if (modulus.empty() || exponent.empty()) return nullptr;
  Ptr<BIGNUM> n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
  Ptr<BIGNUM> e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
  Ptr<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
  if (!n || !e || !builder ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
    return nullptr;
  Ptr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
  Ptr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* pkey = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &pkey, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
    return nullptr;
  return std::shared_ptr<EVP_PKEY>(pkey, EVP_PKEY_free);
}

std::string trimmedLabel(const CK_UTF8CHAR (&label)[32]) {
  std::string text(reinterpret_cast<const char*>(label), sizeof label);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

// Reads a PIN from the terminal without echo; never from standard input.
bool promptPin(std::array<char, kMaxPin + 1>& pin, std::size_t& length) {
  int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return false;
  termios saved{};
  bool restore = tcgetattr(tty, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  static constexpr char kPrompt[] = "PIN: ";
  bool ok = write(tty, kPrompt, sizeof kPrompt - 1) >= 0;
  length = 0;
  char c = 0;
  while (ok) {
    ssize_t n = read(tty, &c, 1);
    if (n != 1) {
      ok = false;
      break;
    }
    if (c == '\n' || c == '\r') break;
    if (length < kMaxPin) pin[length++] = c;
  }
  c = 0;
  if (restore) tcsetattr(tty, TCSAFLUSH, &saved);
  [[maybe_unused]] auto newline = write(tty, "\n", 1);
  close(tty);
  return ok;
}

bool isPrivateKey(const TokenContainer& token, CK_OBJECT_HANDLE object) {
  CK_OBJECT_CLASS privateKey = CKO_PRIVATE_KEY;
  const auto* p = reinterpret_cast<const std::uint8_t*>(&privateKey);
  return token.attribute(object, CKA_CLASS) == Bytes(p, p + sizeof privateKey);
}

// The key that stands for the named container (the first one when no name is given); sets the
// container's name and CKA_ID. A container is named after its private key. Before login the
// private keys are hidden: a public key of that name stands in (a pair with one label), else
// the only public key whose private half is hidden, to be confirmed at login. A token with
// several hidden pairs can't tell them apart before login and has no such container yet.
CK_OBJECT_HANDLE findContainer(TokenContainer& token, const std::string& container) {
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  for (auto object : token.find(CKO_PRIVATE_KEY, nullptr)) {
    if (container.empty() || token.nameOf(object) == container) {
      key = object;
      break;
    }
  }
  if (key == CK_INVALID_HANDLE) {
    for (auto object : token.find(CKO_PUBLIC_KEY, nullptr)) {
      if (container.empty() || token.nameOf(object) == container) {
        key = object;
        break;
      }
    }
  }
  token.confirmed = key != CK_INVALID_HANDLE;
  if (key == CK_INVALID_HANDLE && !container.empty() && token.privateObjectsHidden()) {
    auto unpaired = token.unpairedPublicKeys();
    if (unpaired.size() == 1) key = unpaired.front();
  }
  if (key == CK_INVALID_HANDLE) return key;
  token.name = token.confirmed ? token.nameOf(key) : container;
  token.id = token.attribute(key, CKA_ID);
  return key;
}

// Holds the container's key pair in the context: its public key, and the rights of its
// private key (a public half mirrors them: encrypt for decrypt, verify for sign).
bool holdPair(ProviderRecord& record, const TokenContainer& token, CK_OBJECT_HANDLE key) {
  auto pkey = publicKeyOf(token, key);
  if (!pkey) pkey = publicKeyOf(token, token.publicHalf(token.id));
  if (!pkey) return false;
  bool isPrivate = isPrivateKey(token, key);
  bool decrypts = token.flag(key, isPrivate ? CKA_DECRYPT : CKA_ENCRYPT);
  bool signs = token.flag(key, isPrivate ? CKA_SIGN : CKA_VERIFY);
  HeldKey held{pkey, false, key};
  record.exchange = decrypts ? held : HeldKey{};
  record.signature = signs ? held : HeldKey{};
  record.container = token.name;
  return true;
}

// After login the private keys show: a container chosen before login is now found by its
// private key's name, and its pair held anew if the guess was another pair.
bool confirmContainer(ProviderRecord& record) {
  TokenContainer& token = *record.token;
  if (token.confirmed || record.verifyContext) return true;
  CK_OBJECT_HANDLE key = token.privateKey();
  if (key == CK_INVALID_HANDLE || token.nameOf(key) != token.name) return fail(NTE_BAD_KEYSET);
  token.id = token.attribute(key, CKA_ID);
  if (!holdPair(record, token, key)) return fail(NTE_KEYSET_ENTRY_BAD);
  token.knownPrivateKey = key;
  token.confirmed = true;
  return true;
}

}  // namespace

BOOL acquireTokenProvider(HCRYPTPROV* prov, const ProviderEntry& entry, const char* providerName,
                          std::string container, DWORD flags) {
  if ((flags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) != 0) return fail(NTE_PERM);
  auto token = std::make_shared<TokenContainer>();
  token->module = openModule(entry.module);
  if (!token->module) return fail(NTE_PROV_DLL_NOT_FOUND);
  CK_FUNCTION_LIST& f = token->f();
  std::array<CK_SLOT_ID, 64> slots{};
  CK_ULONG count = slots.size();
  if (f.C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) return fail(SCARD_E_NO_SMARTCARD);
  count = std::min<CK_ULONG>(count, slots.size());
  std::optional<CK_SLOT_ID> chosen;
  for (CK_ULONG i = 0; i < count && !chosen; ++i) {
    CK_TOKEN_INFO info{};
    if (f.C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
    if ((info.flags & CKF_TOKEN_INITIALIZED) == 0) continue;
    if (entry.tokenLabel.empty() || trimmedLabel(info.label) == entry.tokenLabel) chosen = slots[i];
  }
  if (!chosen) return fail(SCARD_E_NO_SMARTCARD);
  if (f.C_OpenSession(*chosen, CKF_SERIAL_SESSION, nullptr, nullptr, &token->session) != CKR_OK)
    return fail(SCARD_E_NO_SMARTCARD);

  auto record = std::make_unique<ProviderRecord>();
  record->providerName = providerName;
  record->verifyContext = (flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT;
  if (!record->verifyContext) {
    CK_OBJECT_HANDLE key = findContainer(*token, container);
    if (key == CK_INVALID_HANDLE) return fail(NTE_BAD_KEYSET);
    if (!holdPair(*record, *token, key)) return fail(NTE_KEYSET_ENTRY_BAD);
  }
  record->token = std::move(token);
  *prov = registerProvider(std::move(record));
  return TRUE;
}

std::vector<std::string> tokenContainers(TokenContainer& token) {
  std::vector<std::string> names;
  for (auto object : token.keys()) {
    std::string name = token.nameOf(object);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  return names;
}

bool tokenLogin(ProviderRecord& record, const BYTE* pin) {
  TokenContainer& token = *record.token;
  token.knownPrivateKey = CK_INVALID_HANDLE;
  std::array<char, kMaxPin + 1> typed{};
  std::size_t length = 0;
  const char* text = reinterpret_cast<const char*>(pin);
  if (pin == nullptr) {
    if (!promptPin(typed, length)) {
      OPENSSL_cleanse(typed.data(), typed.size());
      return fail(SCARD_W_CANCELLED_BY_USER);
    }
    text = typed.data();
  } else {
    length = strnlen(text, kMaxPin + 1);
  }
  const auto login = [&] {
    return token.f().C_Login(token.session, CKU_USER,
                             reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(text)), length);
  };
  CK_RV rv = login();
  // A card that is already open would take any PIN: the PIN handed over is checked anew, and
  // a wrong one leaves the card closed.
  if (rv == CKR_USER_ALREADY_LOGGED_IN) {
    token.f().C_Logout(token.session);
    rv = login();
  }
  OPENSSL_cleanse(typed.data(), typed.size());
  switch (rv) {
    case CKR_OK:
      return confirmContainer(record);
    case CKR_PIN_INCORRECT:
    case CKR_PIN_LEN_RANGE:
      return fail(SCARD_W_WRONG_CHV);
    case CKR_PIN_LOCKED:
      return fail(SCARD_W_CHV_BLOCKED);
    default:
      return fail(NTE_FAIL);
  }
}

bool tokenCertificate(TokenContainer& token, Bytes& der) {
  if (token.id.empty()) return fail(kNoSuchCertificate);
  CK_OBJECT_CLASS certificate = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  std::array<CK_ATTRIBUTE, 3> tmpl{{{CKA_CLASS, &certificate, sizeof certificate},
                                    {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                                    {CKA_ID, token.id.data(), token.id.size()}}};
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  CK_ULONG n = 0;
  CK_FUNCTION_LIST& f = token.f();
  if (f.C_FindObjectsInit(token.session, tmpl.data(), tmpl.size()) != CKR_OK) return fail(NTE_FAIL);
  if (f.C_FindObjects(token.session, &object, 1, &n) != CKR_OK) n = 0;
  f.C_FindObjectsFinal(token.session);
  if (n != 1) return fail(kNoSuchCertificate);
  der = token.attribute(object, CKA_VALUE);
  return der.empty() ? fail(NTE_FAIL) : true;
}

bool tokenPrivateOperation(TokenContainer& token, std::uint64_t /*key*/, bool sign,
                           std::span<const std::uint8_t> input, Bytes& output) {
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  CK_FUNCTION_LIST& f = token.f();
  const auto start = [&](CK_OBJECT_HANDLE key) {
    return sign ? f.C_SignInit(token.session, &mechanism, key)
                : f.C_DecryptInit(token.session, &mechanism, key);
  };
  CK_RV rv = token.knownPrivateKey != CK_INVALID_HANDLE ? start(token.knownPrivateKey)
                                                        : CKR_KEY_HANDLE_INVALID;
  if (rv == CKR_KEY_HANDLE_INVALID || rv == CKR_OBJECT_HANDLE_INVALID) {
    // No key known yet, or the module no longer knows it (the key was replaced). The handle
    // found before login may be the public half: look the private key up now.
    token.knownPrivateKey = token.privateKey();
    if (token.knownPrivateKey == CK_INVALID_HANDLE) return fail(kSecurityViolation);
    rv = start(token.knownPrivateKey);
  }
  if (rv != CKR_OK) token.knownPrivateKey = CK_INVALID_HANDLE;
  CK_ULONG length = 0;
  auto* data = const_cast<std::uint8_t*>(input.data());
  if (rv == CKR_OK)
    rv = sign ? f.C_Sign(token.session, data, input.size(), nullptr, &length)
              : f.C_Decrypt(token.session, data, input.size(), nullptr, &length);
  if (rv == CKR_OK && length <= kMaxAttribute) {
    output.resize(length);
    rv = sign ? f.C_Sign(token.session, data, input.size(), output.data(), &length)
              : f.C_Decrypt(token.session, data, input.size(), output.data(), &length);
    output.resize(std::min<std::size_t>(length, output.size()));
  }
  if (rv == CKR_OK) return true;
  if (rv == CKR_USER_NOT_LOGGED_IN) return fail(kSecurityViolation);
  if (!sign && (rv == CKR_ENCRYPTED_DATA_INVALID || rv == CKR_ENCRYPTED_DATA_LEN_RANGE))
    return fail(NTE_BAD_DATA);
  return fail(NTE_FAIL);
}

}  // namespace kestrune::cryptoapi
