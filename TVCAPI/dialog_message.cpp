// The selection dialog's message: one process-wide copy of the caller's bytes.
#include <cstdlib>
#include <cstring>

#include "TVCAPI/tvcapi_internal.h"

namespace {
char* message = nullptr;
std::uint32_t messageLength = 0;
}  // namespace

extern "C" void TVXCAPI_SetDialogMessage(const char* text, uint32_t length) {
  tvxCAPIClearDialogMessage();
  if (text == nullptr) return;
  auto* copy = static_cast<char*>(std::malloc(std::size_t{length} + 1));
  if (copy == nullptr) return;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  message = copy;
  messageLength = length;
}

const char* tvxCAPIDialogMessage(std::uint32_t* length) {
  if (length != nullptr) *length = messageLength;
  return message;
}

void tvxCAPIClearDialogMessage() {
  std::free(message);
  message = nullptr;
  messageLength = 0;
}
