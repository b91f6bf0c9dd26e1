// The process-wide message of the next certificate-selection dialog.
#include <cstdlib>
#include <cstring>

#include "TVCAPI/core_internal.h"

namespace {
char* message = nullptr;
std::uint32_t messageLength = 0;
}  // namespace

void tvxCAPIClearDialogMessage() {
  std::free(message);
  message = nullptr;
  messageLength = 0;
}

const char* tvxCAPIDialogMessage(std::uint32_t* length) {
  if (length != nullptr) *length = messageLength;
  return message;
}

// The copy is made before the old message goes, so the old message may be passed in.
extern "C" void TVXCAPI_SetDialogMessage(const char* text, uint32_t length) {
  if (text == nullptr) {
    tvxCAPIClearDialogMessage();
    return;
  }
  auto* copy = static_cast<char*>(std::malloc(std::size_t{length} + 1));
  if (copy == nullptr) {
    tvxCAPIClearDialogMessage();
    tvxCAPIOutOfMemory(kModuleXCAPI, __LINE__, "TVXCAPI_SetDialogMessage");
    return;
  }
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  tvxCAPIClearDialogMessage();
  message = copy;
  messageLength = length;
}
