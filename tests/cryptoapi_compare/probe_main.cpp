// The CryptoAPI probe's entry point: every area in a fixed order.
#include <cstdio>

#include "tests/cryptoapi_compare/probe.h"

int main() {
  probe::probeNames();
  probe::probeDecodedNames();
  probe::probeCodePages();
  probe::probeHashes();
  probe::probeKeys();
  probe::probeCertificates();
  probe::probeStores();
  probe::probeMessages();
  probe::probeSignerInfo();
  probe::probeErrors();
  std::fflush(stdout);
  return 0;
}
