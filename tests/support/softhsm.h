// Test support: private SoftHSM2 tokens (objects laid out on them through TestToken's
// helpers) and the fault-injecting proxy module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/test_token.h"
#include "token/pkcs11.h"

namespace kestrune::testing {

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
// The object helpers are TestToken's. The constructor can't join an initialised module:
// SoftHSM2 reads SOFTHSM2_CONF in C_Initialize, so build the tokens before the layer
// initialises. softhsm2.conf lies in dir(), the tokens in dir()/tokens. Token i (labelled
// "token<i>") is at position i of the slot list.
class SoftHsm : public TestToken {
 public:
  explicit SoftHsm(int tokens = 1);
  ~SoftHsm() override;

  const std::string& dir() const { return dir_; }

 private:
  void initialiseTokens();

  std::string dir_;
  int tokens_;
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
