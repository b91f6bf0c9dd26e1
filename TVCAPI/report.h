// The library's three diagnostic forms, shown only when the debug flag is on.
#pragma once

#include "TVCAPI/tvcapi.h"
#include "platform/cryptoapi.h"

// A CryptoAPI call failed: module, line, operation, the function and the thread's last error.
#define TVCAPI_REPORT_CALL(module, operation, function)                          \
  tvxCAPIDebugMessage("%s:%d:\n%s:%s:%x", module, __LINE__, operation, function, \
                      static_cast<unsigned>(GetLastError()))
// Memory ran out.
#define TVCAPI_REPORT_NO_MEMORY(module, operation) \
  tvxCAPIDebugMessage("%s:%d:\n%s:%s", module, __LINE__, operation, "malloc NULL")
// A supplied hash value has the wrong length.
#define TVCAPI_REPORT_HASH_LENGTH(module, operation) \
  tvxCAPIDebugMessage("%s:%d:%s", module, __LINE__, operation)
