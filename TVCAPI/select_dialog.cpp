// The selection over a collection: the model handed to the platform's dialog, the answer
// remembered and mapped to the lookup's codes.
#include <new>

#include "TVCAPI/select_collection.h"
#include "TVCAPI/select_model.h"
#include "TVCAPI/tvcapi.h"

namespace {

std::int32_t outOfMemory() {
  tvxCAPIDebugMessage("%s:%d:\n%s:%s", "TVCAPISelectCert", __LINE__, "tvxCAPISelectCertificate",
                      "malloc NULL");
  return TVCAPI_NO_MEMORY;
}

}  // namespace

std::int32_t tvxCAPISelectFromCollection(const CertCollection* collection, const char* message,
                                         std::uint32_t messageLength, PCCERT_CONTEXT* cert) {
  if (collection == nullptr || cert == nullptr) return TVCAPI_BAD_ARGUMENT;
  if (collection->count != 0 && collection->certs == nullptr) return TVCAPI_BAD_ARGUMENT;
  kestrune::platform::CertificateDialogAnswer answer;
  {
    kestrune::platform::CertificateDialogModel model;
    try {
      model.texts = dialogTexts(tvxCAPIDisplayLanguage());
      if (message != nullptr && messageLength != 0) {
        model.hasMessage = true;
        model.message.assign(message, messageLength);
      }
      model.memory = tvxCAPIDialogMemory();
    } catch (const std::bad_alloc&) {
      return outOfMemory();
    }
    if (!rowsOf(collection->certs, collection->count, model.rows)) return outOfMemory();
    answer = kestrune::platform::showCertificateDialog(model);
  }
  if (answer.choice == kestrune::platform::kDialogUnavailable) return TVCAPI_FAILED;
  rememberAnswer(tvxCAPIDialogMemory(), answer, collection->count);
  if (answer.choice == kestrune::platform::kDialogCancelled) return TVCAPI_CANCELLED;
  if (answer.choice < 0 || static_cast<DWORD>(answer.choice) >= collection->count) {
    return TVCAPI_FAILED;
  }
  PCCERT_CONTEXT chosen =
      CertDuplicateCertificateContext(collection->certs[static_cast<DWORD>(answer.choice)]);
  if (chosen == nullptr) return TVCAPI_NO_MEMORY;
  *cert = chosen;
  return TVCAPI_OK;
}
