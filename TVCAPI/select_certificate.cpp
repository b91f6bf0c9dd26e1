// The selection dialog with the process-wide message, which the dialog consumes.
#include "TVCAPI/select_collection.h"
#include "TVCAPI/tvcapi_internal.h"

std::int32_t tvxCAPISelectCertificate(const CertCollection* collection, PCCERT_CONTEXT* cert) {
  std::uint32_t length = 0;
  const char* message = tvxCAPIDialogMessage(&length);
  const std::int32_t rc = tvxCAPISelectFromCollection(collection, message, length, cert);
  tvxCAPIClearDialogMessage();
  return rc;
}
