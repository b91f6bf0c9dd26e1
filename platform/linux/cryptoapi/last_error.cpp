// The thread's last error, as GetLastError and SetLastError keep it on Windows.
#include "platform/cryptoapi.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD GetLastError() {
  return lastError;
}

void SetLastError(DWORD error) {
  lastError = error;
}
