// Test support: private SoftHSM2 tokens, objects laid out on them through PKCS#11 as a card
// issuer would write them, and the fault-injecting proxy module.
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

// Paths of the modules: SoftHSM2 itself, our proxy that forwards to it, and the proxy
// variant that lacks some entry points (C_SetPIN, C_GenerateKeyPair, C_SetAttributeValue,
// C_DestroyObject, C_Sign, C_GetSessionInfo).
const char* softHsmModule();
const char* proxyModule();
const char* liteProxyModule();

// SoftHsm gives a test its own token directory (a fresh folder under the system temp dir),
// writes softhsm2.conf there and points SOFTHSM2_CONF at it, then initialises `tokens`
// tokens labelled "token0", "token1" ... with kUserPin and kSoPin. SoftHSM2 always adds one
// slot with an uninitialised token after them. The destructor removes the folder.
//
// Object helpers open their own session and finalise the module afterwards, so call them
// while the control / token layer has no session open on the same module.
// In detail: each helper runs C_Initialize, opens a read/write session, logs in as the user
// (with kUserPin or the PIN last given to setUserPin), does its work, logs out, closes the
// session and runs C_Finalize. When the module is already initialised (the layer has it
// open), the helper joins instead: it keeps an existing login and leaves the module
// initialised. The constructor can't join: SoftHSM2 reads SOFTHSM2_CONF in C_Initialize, so
// build the tokens before the layer initialises. softhsm2.conf lies in dir(), the tokens in
// dir()/tokens. Token i (labelled "token<i>") is at position i of the slot list.
class SoftHsm {
 public:
  explicit SoftHsm(int tokens = 1);
  ~SoftHsm();
  SoftHsm(const SoftHsm&) = delete;
  SoftHsm& operator=(const SoftHsm&) = delete;

  const std::string& dir() const { return dir_; }
  // Slot ids of the initialised tokens, in slot-list order.
  std::vector<CK_SLOT_ID> slots() const;

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
  CK_OBJECT_HANDLE createCertificate(int token, std::string_view label,
                                     const std::vector<std::uint8_t>& der);
  // An RSA key pair; the public key is public and the private key private, as cards have them.
  void generateKeyPair(int token, std::string_view publicLabel, std::string_view privateLabel,
                       CK_ULONG bits);
  // Labels of every object on the token (after a user login), for checks.
  std::vector<std::string> labels(int token);
  // An attribute of the one object with that label; empty when absent.
  std::vector<std::uint8_t> attribute(int token, std::string_view label, CK_ATTRIBUTE_TYPE type);
  // Change the user PIN / lock it out by making it refuse logins.
  void setUserPin(int token, std::string_view pin);

 private:
  // slotOf returns the slot of token `token`; no value, after a test failure naming `helper`,
  // when there is no such token.
  std::optional<CK_SLOT_ID> slotOf(int token, std::string_view helper) const;
  void initialiseTokens();

  std::string dir_;
  int tokens_;
  std::vector<CK_SLOT_ID> slots_;
  std::vector<std::string> userPins_;
  std::string previousConf_;  // SOFTHSM2_CONF before this instance, restored by the destructor
  bool hadPreviousConf_ = false;
};

// The proxy's faults: a list "C_Name=RV[*N];..." where RV is decimal or 0x-hex and *N limits
// the fault to the next N calls (without it the fault stays). An empty text clears all faults.
// Each call replaces the whole list. "C_GetSlotList=empty" answers CKR_OK with no slot (a
// reader without a card). A malformed text fails the test and leaves the faults unchanged.
// A faulted call returns RV without reaching SoftHSM2. These reach the full proxy
// (proxyModule()) that the layer under test loads; the proxy can also take its faults from
// KESTRUNE_P11PROXY_FAULTS as it loads, and forwards to KESTRUNE_P11PROXY_TARGET (default
// softHsmModule()).
void setProxyFaults(std::string_view spec);
// Calls the proxy forwarded or answered for one function name since the last reset
// (an empty name counts all functions); resetProxyCalls zeroes the counters.
std::uint64_t proxyCalls(std::string_view function = {});
void resetProxyCalls();

}  // namespace kestrune::testing
