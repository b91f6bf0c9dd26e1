// Validity dates of the user's certificate: as texts for the caller, and as local times for
// the renewal rule.
#include <limits>

#include "control/cert_internal.h"
#include "control/control_internal.h"

namespace kestrune {
namespace {

const ASN1_TIME* validityTime(const FEDI_X509* certificate, bool notAfter) {
  return notAfter ? FEDI_X509_get_notAfter(certificate) : FEDI_X509_get_notBefore(certificate);
}

// localValidityTime reads a validity time as a local time. A notAfter of all nines is the
// FEDI mark of a certificate that never expires: read as digits it would fall in 2007.
std::int64_t localValidityTime(const ASN1_TIME* time, bool notAfter) {
  if (time == nullptr) return 0;
  if (notAfter && control::neverExpires(time)) return std::numeric_limits<std::int64_t>::max();
  std::string text;
  control::formatCertTime(time, text, control::kDateTime);
  return control::parseDateText(text);
}

}  // namespace

std::int64_t control::certNotBeforeTime(ControlState& state, FEDICERT* bag) {
  const auto certificate = control::firstCertificate(bag);
  if (!certificate) {
    state.lastErrorCode = +ControlCode::kBagCount;
    return 0;
  }
  return localValidityTime(validityTime(certificate.get(), false), false);
}

std::int64_t control::certNotAfterTime(ControlState& state, FEDICERT* bag) {
  const auto certificate = control::firstCertificate(bag);
  if (!certificate) {
    state.lastErrorCode = +ControlCode::kBagCount;
    return 0;
  }
  return localValidityTime(validityTime(certificate.get(), true), true);
}

std::optional<std::u16string> control::certDate(ControlState& state, bool notAfter) {
  state.lastErrorCode = +ControlCode::kNotCompleted;
  if (const auto code = loadUserCertificate(state); code != +ControlCode::kOk) {
    state.lastErrorCode = code;
    return std::nullopt;
  }
  const auto certificate = control::firstCertificate(state.userCertificate.get());
  if (!certificate) {
    state.lastErrorCode = +ControlCode::kBagCount;
    return std::nullopt;
  }
  std::optional<std::u16string> result;
  if (const ASN1_TIME* time = validityTime(certificate.get(), notAfter)) {
    std::string text;
    if (const auto code = control::formatCertTime(time, text, control::kDateOnly);
        code != +ControlCode::kOk) {
      state.lastErrorCode = code;
      return std::nullopt;
    }
    result = toBstr(state, text);
    if (!result) return std::nullopt;
  }
  state.lastErrorCode = +ControlCode::kOk;
  return result;
}

std::optional<std::u16string> control::certTimeText(ControlState& state, bool notAfter, int mode,
                                                    bool localWithZone) {
  state.lastErrorCode = +ControlCode::kNotCompleted;
  const std::int32_t type = detectKeyType(state);
  std::string text;
  bool haveTime = false;
  if (type == control::kLinkway) {
    if (const auto code = loadUserCertificate(state); code != +ControlCode::kOk) {
      state.lastErrorCode = code;
      return std::nullopt;
    }
    const auto certificate = control::firstCertificate(state.userCertificate.get());
    if (!certificate) {
      state.lastErrorCode = +ControlCode::kBagCount;
      return std::nullopt;
    }
    if (const ASN1_TIME* time = validityTime(certificate.get(), notAfter)) {
      haveTime = true;
      if (const auto code = control::formatCertTime(time, text, mode); code != +ControlCode::kOk) {
        state.lastErrorCode = code;
        return std::nullopt;
      }
    }
  } else if (type == control::kZrml) {
    // A ZRML token holds a standard X.509 certificate object instead of a FEDI bag.
    token::p11_SetPrivateObjects(0);
    token::Bytes der;
    if (token::p11_ReadCertificateValue(state.session(), state.certLabel.view(), der) !=
        +token::TokenCode::kTokenOk) {
      state.lastErrorCode = +ControlCode::kReadFailed;
      return std::nullopt;
    }
    const unsigned char* position = der.data();
    const Ptr<X509> certificate(d2i_X509(nullptr, &position, static_cast<long>(der.size())));
    if (!certificate) {
      state.lastErrorCode = +ControlCode::kUndecodable;
      return std::nullopt;
    }
    const ASN1_TIME* time =
        notAfter ? X509_get0_notAfter(certificate.get()) : X509_get0_notBefore(certificate.get());
    if (time != nullptr) {
      haveTime = true;
      if (const auto code = control::formatCertTime(time, text, mode); code != +ControlCode::kOk) {
        state.lastErrorCode = code;
        return std::nullopt;
      }
    }
  } else {
    // The other layouts carry no certificate; a failed detection has left its own code.
    return std::nullopt;
  }

  std::optional<std::u16string> result;
  if (haveTime) {
    // When the rewriting fails the UTC text stands.
    if (std::string local; localWithZone && control::toLocalTimeWithZone(text, local) == 0) {
      text = std::move(local);
    }
    result = toBstr(state, text);
    if (!result) return std::nullopt;
  }
  state.lastErrorCode = +ControlCode::kOk;
  return result;
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getBeginDate() {
  return control::inFrame(*this, [this] { return control::certDate(*this, false); });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getEndDate() {
  return control::inFrame(*this, [this] { return control::certDate(*this, true); });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getBeginDateTime() {
  return control::inFrame(
      *this, [this] { return control::certTimeText(*this, false, control::kDateTime, false); });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getEndDateTime() {
  return control::inFrame(
      *this, [this] { return control::certTimeText(*this, true, control::kDateTime, false); });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getCertNotBefore(std::int32_t iFlags) {
  return control::inFrame(*this, [&] {
    return control::certTimeText(*this, false, control::kDateTimeZone, iFlags == 1);
  });
}

std::optional<std::u16string> TVFEDIMiniKeyCrypt::getCertNotAfter(std::int32_t iFlags) {
  return control::inFrame(*this, [&] {
    return control::certTimeText(*this, true, control::kDateTimeZone, iFlags == 1);
  });
}

}  // namespace kestrune
