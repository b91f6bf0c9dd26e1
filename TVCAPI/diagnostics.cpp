// The library's diagnostics: with the debug flag on, a message box captioned "Debug Message";
// with it off, nothing at all.
#include <cstdarg>
#include <cstdio>

#include "TVCAPI/tvcapi.h"
#include "platform/cryptoapi.h"

namespace {
int32_t debugFlag = 0;
}

extern "C" void TVXCAPI_SetDebugFlag(int32_t flag) {
  debugFlag = flag;
}

extern "C" void tvxCAPIDebugMessage(const char* format, ...) {
  if (debugFlag == 0 || format == nullptr) return;
  char text[4096];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  MessageBoxA(nullptr, text, "Debug Message", MB_OK);
}
