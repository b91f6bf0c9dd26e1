// The demo's SoftHSM2 token: a token folder of its own, set up once and reused.
#pragma once

#include <string>

namespace kestrune::host {

inline constexpr const char* kDemoUserPin = "123456";
inline constexpr const char* kDemoSoPin = "12345678";
inline constexpr const char* kDemoTokenLabel = "Kestrune demo";

struct DemoToken {
  std::string configPath;  // the softhsm2.conf that SOFTHSM2_CONF now names
  bool created = false;    // false: the folder held an initialised token already
};

// prepareDemoToken writes dir/softhsm2.conf (tokens in dir/tokens), points SOFTHSM2_CONF at
// it and, when no token there is initialised yet, initialises the free slot's token through
// PKCS#11 with kDemoSoPin and the user PIN kDemoUserPin. The module is finalised and unloaded
// again before it returns. Returns false with the reason in why.
bool prepareDemoToken(const std::string& dir, const std::string& modulePath, DemoToken& token,
                      std::string& why);

}  // namespace kestrune::host
