// A test's token on one PKCS#11 module: the objects a card issuer writes, laid out through
// PKCS#11, and reads for checks. SoftHsm (a private SoftHSM2 token per test) and OpenCryptoki
// (the one software token of opencryptoki's slot daemon) are the two kinds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "token/pkcs11.h"

namespace kestrune::testing {

inline constexpr const char* kUserPin = "123456";
inline constexpr const char* kSoPin = "12345678";

// Object helpers open their own session and finalise the module afterwards, so call them
// while the control / token layer has no session open on the same module.
// In detail: each helper runs C_Initialize, opens a read/write session, logs in as the user
// (with kUserPin or the PIN last given to setUserPin), does its work, logs out, closes the
// session and runs C_Finalize. When the module is already initialised in this process (the
// layer has it open), the helper joins instead: it keeps an existing login and leaves the
// module initialised.
class TestToken {
 public:
  virtual ~TestToken() = default;
  TestToken(const TestToken&) = delete;
  TestToken& operator=(const TestToken&) = delete;

  // The module's path, as the control's loadLib takes it.
  const char* module() const { return module_; }
  // Slot ids of the initialised tokens, in slot-list order.
  std::vector<CK_SLOT_ID> slots() const { return slots_; }

  struct DataObject {
    std::string label{};
    std::vector<std::uint8_t> value{};
    bool isPrivate = false;
    std::string application{};   // CKA_APPLICATION; empty: not set
    bool labelWithZero = false;  // store the label with a terminating zero byte
  };
  // Each returns the new object's handle; the test fails (ADD_FAILURE) and 0 comes back when
  // the module refuses.
  CK_OBJECT_HANDLE createData(int token, const DataObject& object);
  // createCertificate stores an X.509 certificate; with an id, beside the key of that CKA_ID.
  CK_OBJECT_HANDLE createCertificate(int token, std::string_view label,
                                     const std::vector<std::uint8_t>& der,
                                     const std::vector<std::uint8_t>& id = {});
  // An RSA key pair; the public key is public and the private key private, as cards have them.
  void generateKeyPair(int token, std::string_view publicLabel, std::string_view privateLabel,
                       CK_ULONG bits);
  // relabel gives the one object of that class and label a new label (for example the public
  // half of an imported key pair, which softhsm2-util labels as its private key).
  void relabel(int token, CK_OBJECT_CLASS objectClass, std::string_view label,
               std::string_view newLabel);
  // Labels of every object on the token (after a user login), for checks.
  std::vector<std::string> labels(int token);
  // An attribute of the one object with that label; empty when absent.
  std::vector<std::uint8_t> attribute(int token, std::string_view label, CK_ATTRIBUTE_TYPE type);
  // Change the user PIN / lock it out by making it refuse logins.
  void setUserPin(int token, std::string_view pin);
  // wrapPrivateKey tries to take the private key with that label off the token: C_WrapKey
  // under a fresh session AES key, with the first of AES-CBC-PAD and AES-KEY-WRAP-PAD that the
  // module offers for it. It returns the CK_RV (CKR_OK: the key left the token, its wrapped
  // length in wrappedLength), or CKR_GENERAL_ERROR after a test failure when the set-up failed.
  CK_RV wrapPrivateKey(int token, std::string_view label, CK_ULONG* wrappedLength = nullptr);

 protected:
  explicit TestToken(const char* module) : module_(module) {}

  // slotOf returns the slot of token `token`; no value, after a test failure naming `helper`,
  // when there is no such token.
  std::optional<CK_SLOT_ID> slotOf(int token, std::string_view helper) const;

  const char* module_;
  std::vector<CK_SLOT_ID> slots_;
  std::vector<std::string> userPins_;
};

}  // namespace kestrune::testing
