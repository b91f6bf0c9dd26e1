#include "control/identity_objects.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <algorithm>
#include <memory>

#include "control/control_codes.h"
#include "control/text_conversion.h"
#include "token/labels.h"

namespace kestrune::control {
namespace {

// valueText returns a name entry's value as code-page-950 text. Unicode values go through
// UCS-2 (OpenSSL's multi-byte conversion to a BMPString) into the control's text conversion.
std::optional<std::string> valueText(const ASN1_STRING* value) {
  const int type = ASN1_STRING_type(value);
  const unsigned char* data = ASN1_STRING_get0_data(value);
  const int length = ASN1_STRING_length(value);
  if (type != V_ASN1_BMPSTRING && type != V_ASN1_UTF8STRING) {
    return std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
  }
  ASN1_STRING* converted = nullptr;
  if (ASN1_mbstring_copy(&converted, data, length,
                         type == V_ASN1_BMPSTRING ? MBSTRING_BMP : MBSTRING_UTF8,
                         B_ASN1_BMPSTRING) < 0) {
    return std::nullopt;
  }
  const Ptr<ASN1_STRING> ucs2(converted);
  const unsigned char* units = ASN1_STRING_get0_data(ucs2.get());
  std::u16string wide;
  for (int at = 0; at + 1 < ASN1_STRING_length(ucs2.get()); at += 2) {
    wide.push_back(static_cast<char16_t>((units[at] << 8) | units[at + 1]));
  }
  std::string text;
  if (textToCodePage950(wide, text) != +ControlCode::kOk) return std::nullopt;
  return text;
}

}  // namespace

std::int32_t deleteIfPresent(token::TokenSession* session, std::string_view label) {
  if (token::p11_ObjectExists(session, label) != +token::TokenCode::kTokenOk)
    return +ControlCode::kOk;
  return token::p11_DestroyObject(session, label) == +token::TokenCode::kTokenOk
             ? +ControlCode::kOk
             : +ControlCode::kDeleteFailed;
}

std::int32_t writeText(token::TokenSession* session, std::string_view label,
                       std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  if (token::p11_CreateDataObject(session, label, {bytes, text.size()}) ==
      +token::TokenCode::kTokenOk) {
    return +ControlCode::kOk;
  }
  return token::p11_GetLastRV() == CKR_DEVICE_MEMORY ? +ControlCode::kTokenMemoryFull
                                                     : +ControlCode::kWriteFailed;
}

std::string textOf(std::span<const std::uint8_t> value) {
  const auto end = std::find(value.begin(), value.end(), std::uint8_t{0});
  return std::string(value.begin(), end);
}

std::int32_t readUserData(token::TokenSession* session, token::Bytes& record) {
  if (token::p11_ReadDataValue(session, token::kTaiOneUserDataLabel, record) !=
          +token::TokenCode::kTokenOk ||
      record.size() != kUserDataLength) {
    return +ControlCode::kReadFailed;
  }
  return +ControlCode::kOk;
}

std::int32_t readX509Object(token::TokenSession* session, std::string_view label,
                            X509Ptr& certificate) {
  token::Bytes der;
  if (token::p11_ReadCertificateValue(session, label, der) != +token::TokenCode::kTokenOk)
    return +ControlCode::kReadFailed;
  const unsigned char* in = der.data();
  certificate.reset(d2i_X509(nullptr, &in, static_cast<long>(der.size())));
  return certificate ? +ControlCode::kOk : +ControlCode::kUndecodable;
}

std::optional<std::string> nameEntryText(const X509_NAME* name, std::string_view shortName) {
  const int entries = X509_NAME_entry_count(name);
  for (int i = 0; i < entries; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    const char* entryName = OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)));
    if (entryName == nullptr || shortName != entryName) continue;
    return valueText(X509_NAME_ENTRY_get_data(entry));
  }
  return std::nullopt;
}

}  // namespace kestrune::control
