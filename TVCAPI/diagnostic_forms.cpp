// The two diagnostic forms every part emits: memory exhausted, and a CryptoAPI call refused.
#include "TVCAPI/core_internal.h"

std::int32_t tvxCAPIOutOfMemory(const char* module, int line, const char* operation) {
  tvxCAPIDebugMessage("%s:%d:\n%s:%s", module, line, operation, "malloc NULL");
  return TVCAPI_NO_MEMORY;
}

void tvxCAPICallFailed(const char* module, int line, const char* operation, const char* function) {
  const DWORD error = GetLastError();
  tvxCAPIDebugMessage("%s:%d:\n%s:%s:%x", module, line, operation, function,
                      static_cast<unsigned int>(error));
  SetLastError(error);
}
