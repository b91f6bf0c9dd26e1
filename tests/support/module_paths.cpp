#include "tests/support/opencryptoki.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {

const char* softHsmModule() {
  return KESTRUNE_SOFTHSM_MODULE_PATH;
}
const char* proxyModule() {
  return KESTRUNE_PROXY_MODULE_PATH;
}
const char* liteProxyModule() {
  return KESTRUNE_LITE_PROXY_MODULE_PATH;
}
const char* openCryptokiModule() {
  return KESTRUNE_OPENCRYPTOKI_MODULE_PATH;
}

}  // namespace kestrune::testing
