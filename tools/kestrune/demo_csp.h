// The demo's CryptoAPI signing: the token's key pair gets an X.509 certificate from the test
// authority, placed as a card issuer places a card's certificate (beside the key on the
// token), in the demo's own My store with the key's provider named, and the token declared as
// a key provider. The control then signs EDIFACT messages through that provider and through
// the store, and each signed message is verified with the certificate.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kestrune/demo_steps.h"

namespace kestrune::host {

// The provider's name in the demo's provider file.
inline constexpr const char* kDemoProvider = "Kestrune Demo Card";
inline constexpr const char* kCspCertificateFile = "csp-signer.der";

// cspSigningSteps returns the steps, for a demo on the module modulePath.
std::vector<DemoStep> cspSigningSteps(const std::string& modulePath);

// installDemoSigner points the process's XDG_CONFIG_HOME and XDG_DATA_HOME at folders of the
// demo (so nothing of the user's own is touched), declares the token under modulePath as the
// provider kDemoProvider, and puts the certificate into the My store, emptied first, with its
// key in that provider's container keyContainer. Returns false with the reason in why.
bool installDemoSigner(const std::string& dir, const std::string& modulePath,
                       const std::vector<std::uint8_t>& certificate, const char* keyContainer,
                       std::string& why);

}  // namespace kestrune::host
