// A memory store: the add dispositions, enumeration order, deletion, and what a context in
// the store carries.
#include "tests/cryptoapi_compare/probe.h"

namespace probe {
namespace {

// Certificates are told apart by serial number: names are compared elsewhere.
std::string serialOf(PCCERT_CONTEXT c) {
  return hex(c->pCertInfo->SerialNumber.pbData, c->pCertInfo->SerialNumber.cbData);
}

// listing enumerates to the end, where the enumeration frees its last context itself.
std::string listing(HCERTSTORE store) {
  std::string text;
  int count = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c)) {
    text += " [" + serialOf(c) + "]";
    ++count;
  }
  return std::to_string(count) + text + " end=" + lastError();
}

std::string added(HCERTSTORE store, const Bytes& der, DWORD disposition) {
  PCCERT_CONTEXT stored = nullptr;
  SetLastError(0);
  BOOL ok =
      CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                       static_cast<DWORD>(der.size()), disposition, &stored);
  Context owned(stored);
  std::string text = outcome(ok);
  if (owned)
    text += std::string(" in-store=") + (owned->hCertStore == store ? "yes" : "no") +
            " encoding=" + hexWord(owned->dwCertEncodingType);
  return text;
}

// A context made outside the store and added: the store keeps its own copy, and a property
// set on that copy stays with it.
void probeAddedContext(HCERTSTORE store) {
  Context outside = contextOf(fixture("utf8_cjk.der"));
  PCCERT_CONTEXT stored = nullptr;
  emit("store/add-context", outcome(CertAddCertificateContextToStore(store, outside.get(),
                                                                     CERT_STORE_ADD_NEW, &stored)));
  Context copy(stored);
  if (copy) {
    emit("store/add-context-copies", copy.get() == outside.get() ? "same context" : "new context");
    wchar_t container[] = L"c";
    wchar_t provider[] = L"p";
    CRYPT_KEY_PROV_INFO info{container, provider, PROV_RSA_FULL, 0, 0, nullptr, AT_KEYEXCHANGE};
    CertSetCertificateContextProperty(copy.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
  }
  DWORD length = 0;
  emit("store/outside-context-has-property",
       outcome(CertGetCertificateContextProperty(outside.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr,
                                                 &length)));
  std::string found = "none";
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c)) {
    length = 0;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &length))
      found = serialOf(c);
  }
  emit("store/property-kept-on", found);
}

}  // namespace

void probeStores() {
  StoreHandle store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  if (!store) {
    emit("store/open", outcome(FALSE));
    return;
  }
  const Bytes& plain = fixture("plain.der");
  emit("store/empty", listing(store.get()));
  emit("store/add-new", added(store.get(), plain, CERT_STORE_ADD_NEW));
  emit("store/add-new-again", added(store.get(), plain, CERT_STORE_ADD_NEW));
  emit("store/add-use-existing", added(store.get(), plain, CERT_STORE_ADD_USE_EXISTING));
  emit("store/add-replace-existing", added(store.get(), plain, CERT_STORE_ADD_REPLACE_EXISTING));
  emit("store/after-one", listing(store.get()));
  emit("store/add-always", added(store.get(), plain, CERT_STORE_ADD_ALWAYS));
  emit("store/after-always", listing(store.get()));
  emit("store/add-bad-disposition", added(store.get(), plain, 99));
  emit("store/add-garbage",
       added(store.get(), Bytes{0x30, 0x03, 0x02, 0x01, 0x01}, CERT_STORE_ADD_NEW));
  for (const char* name : {"quotes.der", "bmp.der", "multi_valued.der"})
    emit(std::string("store/add/") + name, added(store.get(), fixture(name), CERT_STORE_ADD_NEW));
  emit("store/after-four", listing(store.get()));
  probeAddedContext(store.get());

  // Deleting the first certificate the enumeration gives (the call frees the context).
  PCCERT_CONTEXT first = CertEnumCertificatesInStore(store.get(), nullptr);
  emit("store/delete-first", outcome(CertDeleteCertificateFromStore(first)));
  emit("store/after-delete", listing(store.get()));
  emit("store/close", outcome(CertCloseStore(store.release(), 0)));
}

}  // namespace probe
