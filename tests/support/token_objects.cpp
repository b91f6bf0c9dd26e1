// The object helpers of TestToken: objects laid out on a token as a card issuer would write
// them, and reads for checks.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <memory>

#include "common/der.h"
#include "common/ptr.h"
#include "tests/support/cryptoki_use.h"
#include "tests/support/test_token.h"

namespace kestrune::testing {
namespace {

using detail::ModuleUse;
using detail::Session;
using detail::succeeded;
using Bytes = std::vector<std::uint8_t>;

// A logged-in user session for one helper call.
struct UserSession {
  UserSession(const char* path, CK_SLOT_ID slot, std::string_view pin, std::string_view helper)
      : module(path, helper), session(module, slot, helper), ready(session.login(CKU_USER, pin)) {}
  CK_FUNCTION_LIST& functions() const { return session.functions(); }
  CK_SESSION_HANDLE handle() const { return session.handle(); }

  ModuleUse module;
  Session session;
  bool ready;
};

CK_ATTRIBUTE field(CK_ATTRIBUTE_TYPE type, const void* bytes, std::size_t length) {
  // Cryptoki's templates are non-const, though C_CreateObject only reads them.
  return CK_ATTRIBUTE{type, const_cast<void*>(bytes), length};
}

template <class T>
CK_ATTRIBUTE field(CK_ATTRIBUTE_TYPE type, const T& scalar) {
  return field(type, &scalar, sizeof scalar);
}

CK_ATTRIBUTE field(CK_ATTRIBUTE_TYPE type, std::string_view text) {
  return field(type, text.data(), text.size());
}

CK_ATTRIBUTE field(CK_ATTRIBUTE_TYPE type, const Bytes& bytes) {
  return field(type, bytes.data(), bytes.size());
}

constexpr CK_BBOOL kTrue = CK_TRUE;
constexpr CK_BBOOL kFalse = CK_FALSE;

CK_OBJECT_HANDLE create(const UserSession& user, std::vector<CK_ATTRIBUTE>& attributes,
                        std::string_view helper) {
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  const CK_RV rv =
      user.functions().C_CreateObject(user.handle(), attributes.data(), attributes.size(), &object);
  return succeeded(rv, helper, "C_CreateObject") ? object : CK_INVALID_HANDLE;
}

// find returns the handles of every object matching `pattern`; no value after a failure.
std::optional<std::vector<CK_OBJECT_HANDLE>> find(const UserSession& user,
                                                  std::vector<CK_ATTRIBUTE>& pattern,
                                                  std::string_view helper) {
  CK_FUNCTION_LIST& functions = user.functions();
  if (!succeeded(functions.C_FindObjectsInit(user.handle(), pattern.data(), pattern.size()), helper,
                 "C_FindObjectsInit")) {
    return std::nullopt;
  }
  std::vector<CK_OBJECT_HANDLE> found;
  CK_RV rv = CKR_OK;
  for (;;) {
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG got = 0;
    rv = functions.C_FindObjects(user.handle(), batch, std::size(batch), &got);
    if (rv != CKR_OK || got == 0) break;
    found.insert(found.end(), batch, batch + got);
  }
  functions.C_FindObjectsFinal(user.handle());
  if (!succeeded(rv, helper, "C_FindObjects")) return std::nullopt;
  return found;
}

// read returns one attribute of an object; no value when the object lacks it or keeps it
// secret, and after a test failure when the module refuses otherwise.
std::optional<Bytes> read(const UserSession& user, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                          std::string_view helper) {
  CK_ATTRIBUTE query{type, nullptr, 0};
  CK_RV rv = user.functions().C_GetAttributeValue(user.handle(), object, &query, 1);
  if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE) return std::nullopt;
  if (!succeeded(rv, helper, "C_GetAttributeValue")) return std::nullopt;
  Bytes bytes(query.ulValueLen);
  query.pValue = bytes.data();
  rv = user.functions().C_GetAttributeValue(user.handle(), object, &query, 1);
  if (!succeeded(rv, helper, "C_GetAttributeValue")) return std::nullopt;
  bytes.resize(query.ulValueLen);
  return bytes;
}

// The fields that PKCS#11 wants beside an X.509 certificate's value.
struct CertificateFields {
  Bytes subject, issuer, serialNumber;
};

std::optional<CertificateFields> certificateFields(const Bytes& der) {
  const unsigned char* in = der.data();
  Ptr<X509> certificate(d2i_X509(nullptr, &in, static_cast<long>(der.size())));
  if (!certificate) return std::nullopt;
  return CertificateFields{toDer(X509_get_subject_name(certificate.get()), i2d_X509_NAME),
                           toDer(X509_get_issuer_name(certificate.get()), i2d_X509_NAME),
                           toDer(X509_get0_serialNumber(certificate.get()), i2d_ASN1_INTEGER)};
}

}  // namespace

CK_OBJECT_HANDLE TestToken::createData(int token, const DataObject& object) {
  constexpr std::string_view kHelper = "createData";
  const auto slot = slotOf(token, kHelper);
  if (!slot) return CK_INVALID_HANDLE;
  UserSession user(module_, *slot, userPins_[token], kHelper);
  if (!user.ready) return CK_INVALID_HANDLE;

  std::string label = object.label;
  if (object.labelWithZero) label.push_back('\0');
  const CK_OBJECT_CLASS dataClass = CKO_DATA;
  const CK_BBOOL isPrivate = object.isPrivate ? CK_TRUE : CK_FALSE;
  std::vector<CK_ATTRIBUTE> attributes = {
      field(CKA_CLASS, dataClass),    field(CKA_TOKEN, kTrue),
      field(CKA_PRIVATE, isPrivate),  field(CKA_LABEL, std::string_view(label)),
      field(CKA_VALUE, object.value),
  };
  if (!object.application.empty()) {
    attributes.push_back(field(CKA_APPLICATION, std::string_view(object.application)));
  }
  return create(user, attributes, kHelper);
}

CK_OBJECT_HANDLE TestToken::createCertificate(int token, std::string_view label,
                                              const std::vector<std::uint8_t>& der,
                                              const std::vector<std::uint8_t>& id) {
  constexpr std::string_view kHelper = "createCertificate";
  const auto fields = certificateFields(der);
  if (!fields) {
    ADD_FAILURE() << kHelper << ": the DER is not an X.509 certificate";
    return CK_INVALID_HANDLE;
  }
  const auto slot = slotOf(token, kHelper);
  if (!slot) return CK_INVALID_HANDLE;
  UserSession user(module_, *slot, userPins_[token], kHelper);
  if (!user.ready) return CK_INVALID_HANDLE;

  const CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
  const CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  std::vector<CK_ATTRIBUTE> attributes = {
      field(CKA_CLASS, certificateClass),
      field(CKA_CERTIFICATE_TYPE, x509),
      field(CKA_TOKEN, kTrue),
      field(CKA_PRIVATE, kFalse),
      field(CKA_LABEL, label),
      field(CKA_VALUE, der),
      field(CKA_SUBJECT, fields->subject),
      field(CKA_ISSUER, fields->issuer),
      field(CKA_SERIAL_NUMBER, fields->serialNumber),
  };
  if (!id.empty()) attributes.push_back(field(CKA_ID, id));
  return create(user, attributes, kHelper);
}

void TestToken::generateKeyPair(int token, std::string_view publicLabel,
                                std::string_view privateLabel, CK_ULONG bits) {
  constexpr std::string_view kHelper = "generateKeyPair";
  const auto slot = slotOf(token, kHelper);
  if (!slot) return;
  UserSession user(module_, *slot, userPins_[token], kHelper);
  if (!user.ready) return;

  const Bytes exponent = {0x01, 0x00, 0x01};
  std::vector<CK_ATTRIBUTE> publicKey = {
      field(CKA_TOKEN, kTrue),       field(CKA_PRIVATE, kFalse),
      field(CKA_LABEL, publicLabel), field(CKA_ENCRYPT, kTrue),
      field(CKA_VERIFY, kTrue),      field(CKA_WRAP, kTrue),
      field(CKA_MODULUS_BITS, bits), field(CKA_PUBLIC_EXPONENT, exponent),
  };
  std::vector<CK_ATTRIBUTE> privateKey = {
      field(CKA_TOKEN, kTrue),     field(CKA_PRIVATE, kTrue), field(CKA_LABEL, privateLabel),
      field(CKA_SENSITIVE, kTrue), field(CKA_DECRYPT, kTrue), field(CKA_SIGN, kTrue),
      field(CKA_UNWRAP, kTrue),
  };
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE publicHandle = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE privateHandle = CK_INVALID_HANDLE;
  succeeded(user.functions().C_GenerateKeyPair(user.handle(), &mechanism, publicKey.data(),
                                               publicKey.size(), privateKey.data(),
                                               privateKey.size(), &publicHandle, &privateHandle),
            kHelper, "C_GenerateKeyPair");
}

void TestToken::relabel(int token, CK_OBJECT_CLASS objectClass, std::string_view label,
                        std::string_view newLabel) {
  constexpr std::string_view kHelper = "relabel";
  const auto slot = slotOf(token, kHelper);
  if (!slot) return;
  UserSession user(module_, *slot, userPins_[token], kHelper);
  if (!user.ready) return;

  std::vector<CK_ATTRIBUTE> pattern = {field(CKA_CLASS, objectClass), field(CKA_LABEL, label)};
  const auto objects = find(user, pattern, kHelper);
  if (!objects || objects->size() != 1) {
    ADD_FAILURE() << kHelper << ": " << (objects ? objects->size() : 0)
                  << " objects of the class are labelled \"" << label << "\"";
    return;
  }
  CK_ATTRIBUTE renamed = field(CKA_LABEL, newLabel);
  succeeded(user.functions().C_SetAttributeValue(user.handle(), objects->front(), &renamed, 1),
            kHelper, "C_SetAttributeValue");
}

std::vector<std::string> TestToken::labels(int token) {
  constexpr std::string_view kHelper = "labels";
  const auto slot = slotOf(token, kHelper);
  if (!slot) return {};
  UserSession user(module_, *slot, userPins_[token], kHelper);
  if (!user.ready) return {};

  std::vector<CK_ATTRIBUTE> everything;
  const auto objects = find(user, everything, kHelper);
  if (!objects) return {};
  std::vector<std::string> result;
  for (CK_OBJECT_HANDLE object : *objects) {
    if (const auto label = read(user, object, CKA_LABEL, kHelper)) {
      result.emplace_back(label->begin(), label->end());
    }
  }
  return result;
}

std::vector<std::uint8_t> TestToken::attribute(int token, std::string_view label,
                                               CK_ATTRIBUTE_TYPE type) {
  constexpr std::string_view kHelper = "attribute";
  const auto slot = slotOf(token, kHelper);
  if (!slot) return {};
  UserSession user(module_, *slot, userPins_[token], kHelper);
  if (!user.ready) return {};

  std::vector<CK_ATTRIBUTE> pattern = {field(CKA_LABEL, label)};
  const auto objects = find(user, pattern, kHelper);
  if (!objects || objects->empty()) return {};
  if (objects->size() > 1) {
    ADD_FAILURE() << kHelper << ": " << objects->size() << " objects are labelled \"" << label
                  << "\"";
    return {};
  }
  return read(user, objects->front(), type, kHelper).value_or(Bytes{});
}

void TestToken::setUserPin(int token, std::string_view pin) {
  constexpr std::string_view kHelper = "setUserPin";
  const auto slot = slotOf(token, kHelper);
  if (!slot) return;
  UserSession user(module_, *slot, userPins_[token], kHelper);
  if (!user.ready) return;

  const std::string& oldPin = userPins_[token];
  if (succeeded(user.functions().C_SetPIN(user.handle(), detail::utf8(oldPin), oldPin.size(),
                                          detail::utf8(pin), pin.size()),
                kHelper, "C_SetPIN")) {
    userPins_[token] = pin;
  }
}

CK_RV TestToken::wrapPrivateKey(int token, std::string_view label, CK_ULONG* wrappedLength) {
  constexpr std::string_view kHelper = "wrapPrivateKey";
  const auto slot = slotOf(token, kHelper);
  if (!slot) return CKR_GENERAL_ERROR;
  UserSession user(module_, *slot, userPins_[token], kHelper);
  if (!user.ready) return CKR_GENERAL_ERROR;

  const CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  std::vector<CK_ATTRIBUTE> pattern = {field(CKA_CLASS, privateClass), field(CKA_LABEL, label)};
  const auto objects = find(user, pattern, kHelper);
  if (!objects || objects->size() != 1) {
    ADD_FAILURE() << kHelper << ": " << (objects ? objects->size() : 0)
                  << " private keys are labelled \"" << label << "\"";
    return CKR_GENERAL_ERROR;
  }

  const CK_ULONG keyBytes = 16;
  std::vector<CK_ATTRIBUTE> wrapping = {field(CKA_TOKEN, kFalse), field(CKA_WRAP, kTrue),
                                        field(CKA_VALUE_LEN, keyBytes)};
  CK_MECHANISM keyGeneration{CKM_AES_KEY_GEN, nullptr, 0};
  CK_OBJECT_HANDLE wrappingKey = CK_INVALID_HANDLE;
  if (!succeeded(user.functions().C_GenerateKey(user.handle(), &keyGeneration, wrapping.data(),
                                                wrapping.size(), &wrappingKey),
                 kHelper, "C_GenerateKey")) {
    return CKR_GENERAL_ERROR;
  }
  // Modules differ in how they wrap a private key: SoftHSM2 only with the key-wrap
  // mechanisms, opencryptoki only with the block cipher modes.
  std::uint8_t iv[16] = {};
  CK_MECHANISM mechanisms[] = {{CKM_AES_CBC_PAD, iv, sizeof iv},
                               {CKM_AES_KEY_WRAP_PAD, nullptr, 0}};
  CK_RV rv = CKR_MECHANISM_INVALID;
  for (CK_MECHANISM& mechanism : mechanisms) {
    Bytes wrapped(4096);
    CK_ULONG length = wrapped.size();
    rv = user.functions().C_WrapKey(user.handle(), &mechanism, wrappingKey, objects->front(),
                                    wrapped.data(), &length);
    if (rv == CKR_MECHANISM_INVALID) continue;
    if (rv == CKR_OK && wrappedLength != nullptr) *wrappedLength = length;
    break;
  }
  user.functions().C_DestroyObject(user.handle(), wrappingKey);
  return rv;
}

std::optional<CK_SLOT_ID> TestToken::slotOf(int token, std::string_view helper) const {
  if (token >= 0 && static_cast<std::size_t>(token) < slots_.size() &&
      static_cast<std::size_t>(token) < userPins_.size()) {
    return slots_[token];
  }
  ADD_FAILURE() << helper << ": no token " << token << " (there are " << slots_.size() << ")";
  return std::nullopt;
}

}  // namespace kestrune::testing
