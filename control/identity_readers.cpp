// Reading a token's identifiers where its layout keeps them: SID1, SID2 and the card serial
// number (CSN) of Linkway, SafeNet, TaiOne and ZRML tokens.
#include <algorithm>
#include <array>
#include <vector>

#include "FEDIX509/fedi_x509.h"
#include "control/cert_internal.h"
#include "control/control_internal.h"
#include "control/identity_internal.h"
#include "control/identity_objects.h"
#include "control/number_text.h"
#include "token/labels.h"

namespace kestrune {
namespace {

// The TaiOne "UserData" record: SID2 from offset 0, SID1 from offset 36, each up to the next
// space; the card serial number as a big-endian number in bytes 72 to 79.
constexpr std::size_t kUserDataSid2 = 0;
constexpr std::size_t kUserDataSid1 = 36;
constexpr std::size_t kUserDataSerial = 72;
constexpr std::size_t kUserDataSerialLength = 8;
constexpr std::size_t kCsnBuffer = 1024;

// userDataField returns the text from offset up to the next space; no value when the record
// has no space after offset.
std::optional<std::string> userDataField(const token::Bytes& record, std::size_t offset) {
  const std::span<const std::uint8_t> rest = std::span(record).subspan(offset);
  const auto space = std::find(rest.begin(), rest.end(), std::uint8_t{' '});
  if (space == rest.end()) return std::nullopt;
  return control::textOf(rest.first(static_cast<std::size_t>(space - rest.begin())));
}

// safeNetCsn returns 0 and the label of the token's first public data object, which a
// SafeNet token's issuer names after the card serial number; 12 when the token isn't laid
// out so.
std::int32_t safeNetCsn(token::TokenSession* session, std::string& csn) {
  token::p11_SetPrivateObjects(0);
  if (token::p11_ObjectExists(session, token::kSafeNetPublicKeyLabel) !=
      +token::TokenCode::kTokenOk)
    return +ControlCode::kReadFailed;
  std::vector<token::TokenObjectRecord> records;
  if (token::p11_ListObjects(session, token::kKindData, records) != +token::TokenCode::kTokenOk ||
      records.empty()) {
    return +ControlCode::kReadFailed;
  }
  csn = std::move(records.front().label);
  return +ControlCode::kOk;
}

// numberText writes the big-endian number in radix into text; false when it has too many
// digits to be written.
bool numberText(std::span<const std::uint8_t> number, std::int32_t radix, std::string& text) {
  // Three characters a byte cover every radix from 10 up, and two more the terminator and a
  // lone zero digit.
  std::vector<char> buffer(3 * number.size() + 2);
  const std::int32_t length = control::bytesToRadix(number, buffer, radix);
  if (length < 0) return false;
  text.assign(buffer.data(), static_cast<std::size_t>(length));
  return true;
}

// serialText writes the magnitude of a certificate's serial number in radix.
bool serialText(const ASN1_INTEGER* serial, std::int32_t radix, std::string& text) {
  if (serial == nullptr) return false;
  const std::span<const std::uint8_t> magnitude(
      ASN1_STRING_get0_data(serial), static_cast<std::size_t>(ASN1_STRING_length(serial)));
  return numberText(magnitude, radix, text);
}

}  // namespace

std::int32_t control::readCsn(ControlState& state, std::int32_t type, std::string& csn) {
  if (const auto code = connectToken(state, nullptr); code != +ControlCode::kOk) return code;
  switch (type) {
    case control::kSafeNet:
      return safeNetCsn(state.session(), csn);

    case control::kTaiOne: {
      if (state.pinVerified() == 0) return +ControlCode::kPinNotVerified;
      token::p11_SetPrivateObjects(1);
      token::Bytes record;
      if (const auto code = control::readUserData(state.session(), record);
          code != +ControlCode::kOk)
        return code;
      std::array<char, kCsnBuffer> buffer{};
      const std::int32_t length = control::bytesToRadix(
          std::span(record).subspan(kUserDataSerial, kUserDataSerialLength), buffer, 10);
      if (length < 0) return +ControlCode::kReadFailed;
      csn.assign(buffer.data(), static_cast<std::size_t>(length));
      return +ControlCode::kOk;
    }

    case control::kZrml: {
      token::p11_SetPrivateObjects(0);
      control::X509Ptr certificate;
      if (const auto code =
              control::readX509Object(state.session(), state.certLabel.view(), certificate);
          code != +ControlCode::kOk) {
        return code;
      }
      return serialText(X509_get0_serialNumber(certificate.get()), 16, csn)
                 ? +ControlCode::kOk
                 : +ControlCode::kReadFailed;
    }

    default: {
      // Linkway, and a token of no known type: the serial number of the user's certificate.
      if (const auto code = loadUserCertificate(state); code != +ControlCode::kOk) return code;
      const fedi::RecordPtr<FEDI_X509> certificate(
          FEDICERT_get_cert(state.userCertificate.get(), 0));
      if (!certificate) return +ControlCode::kBagCount;
      return serialText(FEDI_X509_get_serialNumber(certificate.get()), 10, csn)
                 ? +ControlCode::kOk
                 : +ControlCode::kReadFailed;
    }
  }
}

std::int32_t control::readSid(ControlState& state, int which, std::int32_t type) {
  std::optional<std::string>& cache = which == 1 ? state.sid1Cache : state.sid2Cache;
  if (cache) return +ControlCode::kOk;

  std::string value;
  switch (type) {
    case control::kSafeNet: {
      // The data object named after the card serial number holds SID1 as its value and SID2
      // as its application.
      if (const auto code = connectToken(state, nullptr); code != +ControlCode::kOk) return code;
      std::string csn;
      if (safeNetCsn(state.session(), csn) != +ControlCode::kOk) return +ControlCode::kReadFailed;
      token::Bytes bytes;
      const auto read = which == 1 ? token::p11_ReadDataValue(state.session(), csn, bytes)
                                   : token::p11_ReadDataApplication(state.session(), csn, bytes);
      if (read != +token::TokenCode::kTokenOk) return +ControlCode::kReadFailed;
      value = control::textOf(bytes);
      break;
    }

    case control::kTaiOne: {
      if (state.pinVerified() == 0) return +ControlCode::kPinNotVerified;
      token::p11_SetPrivateObjects(1);
      token::Bytes record;
      if (const auto code = control::readUserData(state.session(), record);
          code != +ControlCode::kOk)
        return code;
      auto field = userDataField(record, which == 1 ? kUserDataSid1 : kUserDataSid2);
      if (!field) return +ControlCode::kReadFailed;
      value = std::move(*field);
      break;
    }

    case control::kZrml: {
      // SID1 is the subject's CN, SID2 the issuer's O.
      token::p11_SetPrivateObjects(0);
      control::X509Ptr certificate;
      if (const auto code =
              control::readX509Object(state.session(), state.certLabel.view(), certificate);
          code != +ControlCode::kOk) {
        return code;
      }
      auto entry = which == 1
                       ? control::nameEntryText(X509_get_subject_name(certificate.get()), "CN")
                       : control::nameEntryText(X509_get_issuer_name(certificate.get()), "O");
      if (!entry) return +ControlCode::kNoMemory;
      value =
          control::textOf({reinterpret_cast<const std::uint8_t*>(entry->data()), entry->size()});
      break;
    }

    default: {
      if (const auto code = connectToken(state, nullptr); code != +ControlCode::kOk) return code;
      token::p11_SetPrivateObjects(0);
      token::Bytes bytes;
      if (token::p11_ReadDataValue(state.session(),
                                   which == 1 ? token::kSid1Label : token::kSid2Label,
                                   bytes) != +token::TokenCode::kTokenOk) {
        return +ControlCode::kReadFailed;
      }
      value = control::textOf(bytes);
      break;
    }
  }
  cache = std::move(value);
  return +ControlCode::kOk;
}

}  // namespace kestrune
