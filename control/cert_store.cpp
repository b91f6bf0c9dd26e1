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
    if (const auto code = judgeParkedCertificate(state, current.get(), fate);
        code != +ControlCode::kOk)
      return code;
    token::p11_SetPrivateObjects(0);
    if (fate == control::ParkedFate::kPromote) {
      current.reset();
      if (const auto code = promoteNewCertificate(state.session()); code != +ControlCode::kOk)
        return code;
      current = readFediCertObject(state, token::kUserCertLabel);
      if (!current) return state.lastErrorCode;
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
                                             control::ParkedFate& fate) {
  fate = control::ParkedFate::kDrop;
  const auto parked = readFediCertObject(state, token::kNewCertLabel);
  if (!parked)
    return state.lastErrorCode == +ControlCode::kUndecodable ? +ControlCode::kOk
                                                             : state.lastErrorCode;
  if (FEDICERT_get_num(parked.get()) != 1) return +ControlCode::kOk;
  const auto certificate = control::firstCertificate(parked.get());
  if (!certificate || certNotAfterTime(state, parked.get()) <= certNotAfterTime(state, current))
    return +ControlCode::kOk;
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
  if (!state.caCertificate) {
    auto stored = readFediCertObject(state, token::kCaCertLabel);
    if (!stored) return state.lastErrorCode;
    state.caCertificate = std::move(stored);
  }
  if (FEDICERT_get_num(state.caCertificate.get()) != 1 || FEDICERT_get_num(bag) != 1) {
    return +ControlCode::kUndecodable;
  }
  const auto caCert = control::firstCertificate(state.caCertificate.get());
  const auto newCert = control::firstCertificate(bag);
  if (!caCert || !newCert) return +ControlCode::kBagCount;
  const Ptr<EVP_PKEY> caKey(FEDI_X509_get_pubkey(caCert.get()));
  if (!caKey) return +ControlCode::kNoPublicKey;
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
