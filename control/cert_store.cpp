// The user's certificate on the token: reading it, promoting a parked renewal once the current
// certificate has expired (or dropping one that is older or for another key), and storing a
// new one after checking it against the CA and the token's key pair.
#include "control/cert_internal.h"
#include "control/control_internal.h"
#include "platform/platform.h"

namespace kestrune {
namespace {

// promoteNewCertificate replaces the expired "EOICert" by the parked "EOICertNew": 0, 12 when
// the current one can't be copied, 1514 when it can't be deleted, 1500 when the renaming
// fails. A failed renaming puts the deleted certificate back, so the promotion is simply tried
// again by the next reader instead of leaving the token without "EOICert".
std::int32_t promoteNewCertificate(token::TokenSession* session) {
  token::DataObjectCopy expired;
  if (token::p11_ReadDataObjectCopy(session, token::kUserCertLabel, expired) !=
      +token::TokenCode::kTokenOk) {
    return +ControlCode::kReadFailed;
  }
  if (token::p11_DestroyObject(session, token::kUserCertLabel) != +token::TokenCode::kTokenOk) {
    return +ControlCode::kDeleteFailed;
  }
  if (token::p11_RenameObject(session, token::kNewCertLabel, token::kUserCertLabel) !=
      +token::TokenCode::kTokenOk) {
    token::p11_RestoreDataObject(session, token::kUserCertLabel, expired);
    return +ControlCode::kTokenFailure;
  }
  return +ControlCode::kOk;
}

// loadCaCertificate makes sure caCertificate holds the CA's bag from the token: 0, or the
// code of readFediCertObject.
std::int32_t loadCaCertificate(control::ControlState& state) {
  if (state.caCertificate) return +ControlCode::kOk;
  auto stored = control::readFediCertObject(state, token::kCaCertLabel);
  if (!stored) return state.lastErrorCode;
  state.caCertificate = std::move(stored);
  return +ControlCode::kOk;
}

// caPublicKey sets key to the key of the CA's certificate in caCertificate: 0, 10002 without a
// certificate, 10003 without a readable key.
std::int32_t caPublicKey(control::ControlState& state, Ptr<EVP_PKEY>& key) {
  const auto caCert = control::firstCertificate(state.caCertificate.get());
  if (!caCert) return +ControlCode::kBagCount;
  key.reset(FEDI_X509_get_pubkey(caCert.get()));
  return key ? +ControlCode::kOk : +ControlCode::kNoPublicKey;
}

Ptr<FEDICERT> decodeBag(const token::Bytes& der) {
  const unsigned char* position = der.data();
  return Ptr<FEDICERT>(d2i_FEDICERT(nullptr, &position, static_cast<long>(der.size())));
}

}  // namespace

Ptr<FEDICERT> control::readFediCertObject(ControlState& state, std::string_view label) {
  token::p11_SetPrivateObjects(0);
  token::Bytes value;
  if (token::p11_ReadDataValue(state.session(), label, value) != +token::TokenCode::kTokenOk) {
    state.lastErrorCode = +ControlCode::kReadFailed;
    return nullptr;
  }
  auto bag = decodeBag(value);
  state.lastErrorCode = bag ? +ControlCode::kOk : +ControlCode::kUndecodable;
  return bag;
}

std::int32_t control::loadUserCertificate(ControlState& state) {
  if (state.userCertificate) return +ControlCode::kOk;
  if (const auto code = connectToken(state, nullptr); code != +ControlCode::kOk) return code;
  auto current = readFediCertObject(state, token::kUserCertLabel);
  if (!current) return state.lastErrorCode;
  if (token::p11_ObjectExists(state.session(), token::kNewCertLabel) ==
          +token::TokenCode::kTokenOk &&
      platform::currentTime() > certNotAfterTime(state, current.get())) {
    auto fate = control::ParkedFate::kDrop;
    Ptr<FEDICERT> parked;
    if (const auto code = judgeParkedCertificate(state, current.get(), fate, parked);
        code != +ControlCode::kOk)
      return code;
    token::p11_SetPrivateObjects(0);
    if (fate == control::ParkedFate::kPromote) {
      if (const auto code = promoteNewCertificate(state.session()); code != +ControlCode::kOk)
        return code;
      // The renamed object holds the bytes just judged: no second read from the token.
      current = std::move(parked);
    } else if (fate == control::ParkedFate::kDrop &&
               token::p11_DestroyObject(state.session(), token::kNewCertLabel) !=
                   +token::TokenCode::kTokenOk) {
      return +ControlCode::kDeleteFailed;
    }
  }
  state.userCertificate = std::move(current);
  return +ControlCode::kOk;
}

// A mode-0 store replaces "EOICert" and leaves a parked renewal where it is, so by the time
// the current certificate expires the parked one may be older than it, or (after makeCard)
// for a key the token no longer holds. Newer means a later notAfter: the parked certificate
// has to serve beyond the current one's end, and a parked copy of the current certificate
// (the same one loaded twice in mode 1) never does.
std::int32_t control::judgeParkedCertificate(ControlState& state, FEDICERT* current,
                                             control::ParkedFate& fate, Ptr<FEDICERT>& parked) {
  fate = control::ParkedFate::kDrop;
  parked = readFediCertObject(state, token::kNewCertLabel);
  if (!parked)
    return state.lastErrorCode == +ControlCode::kUndecodable ? +ControlCode::kOk
                                                             : state.lastErrorCode;
  if (FEDICERT_get_num(parked.get()) != 1) return +ControlCode::kOk;
  const auto certificate = control::firstCertificate(parked.get());
  if (!certificate || certNotAfterTime(state, parked.get()) <= certNotAfterTime(state, current))
    return +ControlCode::kOk;
  // The parked object is checked as a store checks a certificate: one the CA didn't sign is
  // dropped; one the CA can't be read for now, or not yet valid, waits.
  Ptr<EVP_PKEY> caKey;
  if (loadCaCertificate(state) != +ControlCode::kOk ||
      FEDICERT_get_num(state.caCertificate.get()) != 1 ||
      caPublicKey(state, caKey) != +ControlCode::kOk) {
    fate = control::ParkedFate::kKeep;
    return +ControlCode::kOk;
  }
  if (FEDI_X509_verify(certificate.get(), caKey.get()) != 1) return +ControlCode::kOk;
  if (certNotBeforeTime(state, parked.get()) > platform::currentTime()) {
    fate = control::ParkedFate::kKeep;
    return +ControlCode::kOk;
  }
  const auto& linkway = control::kLabelledTypes[control::kLinkway];
  const auto match =
      keyMatchesToken(state, linkway.privateKey, linkway.publicKey, certificate.get());
  // A key that can't be read now says nothing about the certificate: keep both and let a
  // later reader decide.
  if (match < 0) fate = control::ParkedFate::kKeep;
  if (match == 0) fate = control::ParkedFate::kPromote;
  return +ControlCode::kOk;
}

std::int32_t control::storeUserCertificate(ControlState& state, FEDICERT* bag, std::int32_t mode) {
  state.userCertificate.reset();
  if (const auto code = loadCaCertificate(state); code != +ControlCode::kOk) return code;
  if (FEDICERT_get_num(state.caCertificate.get()) != 1 || FEDICERT_get_num(bag) != 1) {
    return +ControlCode::kUndecodable;
  }
  const auto newCert = control::firstCertificate(bag);
  if (!newCert) return +ControlCode::kBagCount;
  Ptr<EVP_PKEY> caKey;
  if (const auto code = caPublicKey(state, caKey); code != +ControlCode::kOk) return code;
  if (FEDI_X509_verify(newCert.get(), caKey.get()) != 1) return +ControlCode::kSignatureInvalid;
  const auto& linkway = control::kLabelledTypes[control::kLinkway];
  if (keyMatchesToken(state, linkway.privateKey, linkway.publicKey, newCert.get()) != 0) {
    return +ControlCode::kKeyMismatch;
  }
  std::vector<std::uint8_t> der;
  if (const auto code = control::encodeBag(bag, der, +ControlCode::kMalformedArgument);
      code != +ControlCode::kOk) {
    return code;
  }

  token::p11_SetPrivateObjects(0);
  const std::int64_t now = platform::currentTime();
  token::Bytes stored;
  const bool haveStored = token::p11_ReadDataValue(state.session(), token::kUserCertLabel,
                                                   stored) == +token::TokenCode::kTokenOk;
  // Our own writes carry one zero byte more than the DER, so only a value written by another
  // application can be the same certificate.
  if (haveStored && stored == der) return +ControlCode::kOk;
  Ptr<FEDICERT> old;
  if (haveStored) old = decodeBag(stored);

  std::string_view target = token::kUserCertLabel;
  // A stored value that doesn't decode is replaced like an old certificate: left in place it
  // would make every later creation fail.
  bool replace = haveStored;
  if (mode == 1 && old && now > certNotBeforeTime(state, old.get()) &&
      now < certNotAfterTime(state, old.get())) {
    // The current certificate stays in force; the new one waits beside it.
    target = token::kNewCertLabel;
    replace = token::p11_ObjectExists(state.session(), token::kNewCertLabel) ==
              +token::TokenCode::kTokenOk;
  }
  return control::writeCertificateObject(state.session(), target, der, replace);
}

}  // namespace kestrune
