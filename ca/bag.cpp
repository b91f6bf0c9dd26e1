// makeBag: the certificate bag the authority delivers certificates in.
//   SEQUENCE { typeTag "CeRtIfIc", version INTEGER 0, type INTEGER, time FEDI time,
//              count INTEGER, certificates SEQUENCE OF Certificate }
#include <climits>
#include <new>

#include "ca/issuing_parts.h"

namespace kestrune::ca {

namespace {

BagPtr buildBag(std::span<FEDI_X509* const> certificates, long type, const FediTime& time,
                Status& status) {
  if (certificates.size() > static_cast<std::size_t>(INT_MAX)) {
    status = Status::failed;
    return nullptr;
  }
  Ptr<ASN1_TIME> stamp = detail::makeTime(time, status);
  if (!stamp) return nullptr;
  BagPtr bag(FEDICERT_new());  // tag "CeRtIfIc", version 0
  if (!bag || FEDICERT_set_type(bag.get(), type) != 1 ||
      FEDICERT_set_time(bag.get(), stamp.get()) != 1 ||
      FEDICERT_set_count(bag.get(), static_cast<long>(certificates.size())) != 1) {
    status = Status::noMemory;
    return nullptr;
  }
  for (FEDI_X509* certificate : certificates) {
    if (certificate == nullptr) {
      status = Status::failed;
      return nullptr;
    }
    // The bag keeps a reference of its own; the caller's stays the caller's.
    if (FEDI_X509_up_ref(certificate) != 1) {
      status = Status::failed;
      return nullptr;
    }
    if (FEDICERT_push_cert(bag.get(), certificate) != 1) {
      FEDI_X509_free(certificate);
      status = Status::noMemory;
      return nullptr;
    }
  }
  return bag;
}

}  // namespace

BagPtr makeBag(std::span<FEDI_X509* const> certificates, long type, const FediTime& time,
               Status* status) noexcept {
  try {
    Status result = Status::ok;
    BagPtr bag = buildBag(certificates, type, time, result);
    if (!bag && result == Status::ok) result = Status::failed;
    detail::reportStatus(status, bag ? Status::ok : result);
    return bag;
  } catch (const std::bad_alloc&) {
    detail::reportStatus(status, Status::noMemory);
    return nullptr;
  }
}

}  // namespace kestrune::ca
