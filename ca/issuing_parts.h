// The pieces issueCertificate and makeBag put together, each turning one field of a spec into
// its OpenSSL object. Internal to the ca library.
#pragma once

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/x509.h>

#include <memory>
#include <variant>

#include "ca/issuing.h"
#include "common/ptr.h"

namespace kestrune::ca::detail {

// reportStatus stores status where the caller asked for it.
inline void reportStatus(Status* out, Status status) noexcept {
  if (out != nullptr) *out = status;
}

// makeTime returns the ASN1_TIME of time (UTCTime or GeneralizedTime), or null with status
// badTime (or noMemory).
Ptr<ASN1_TIME> makeTime(const FediTime& time, Status& status);

// makeName returns the two-entry name O, CN in the strings of name.kind, or null with status
// badName (or noMemory).
Ptr<X509_NAME> makeName(const FediName& name, Status& status);

// makeSerial returns the INTEGER of serial, or null (noMemory).
Ptr<ASN1_INTEGER> makeSerial(const SerialNumber& serial);

// publicHalf returns a new RSA key object holding only the public half of key, or null with
// status badSubjectKey (or noMemory).
using SubjectKey = std::variant<std::monostate, EVP_PKEY*, RsaPublicParts>;
KeyPtr publicHalf(const SubjectKey& key, Status& status);

}  // namespace kestrune::ca::detail
