// CryptMsgOpenToDecode / CryptMsgUpdate / CryptMsgGetParam / CryptMsgClose for PKCS#7 on
// OpenSSL: the message is collected until the final update, then decoded whole.
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include "common/der.h"
#include "common/ptr.h"
#include "platform/linux/cryptoapi/certs/pkcs7_ptr.h"
#include "platform/linux/cryptoapi/certs/capi.h"

namespace kestrune::cryptoapi {
namespace {

struct Message {
  DWORD wantedType = 0;  // 0: whatever the message is
  Bytes collected;
  bool final = false;
  Ptr<PKCS7> decoded;
};

// CryptoAPI's message types (CMSG_DATA ... CMSG_ENCRYPTED).
DWORD typeOf(const PKCS7* message) {
  switch (OBJ_obj2nid(message->type)) {
    case NID_pkcs7_data:
      return 1;
    case NID_pkcs7_signed:
      return 2;
    case NID_pkcs7_enveloped:
      return 3;
    case NID_pkcs7_signedAndEnveloped:
      return 4;
    case NID_pkcs7_digest:
      return 5;
    case NID_pkcs7_encrypted:
      return 6;
    default:
      return 0;
  }
}

const ASN1_OCTET_STRING* contentOf(const PKCS7* message) {
  if (PKCS7_type_is_data(message)) return message->d.data;
  if (PKCS7_type_is_signed(message) && message->d.sign != nullptr &&
      message->d.sign->contents != nullptr && PKCS7_type_is_data(message->d.sign->contents)) {
    return message->d.sign->contents->d.data;
  }
  return nullptr;
}

}  // namespace
}  // namespace kestrune::cryptoapi

using namespace kestrune::cryptoapi;

HCRYPTMSG CryptMsgOpenToDecode(DWORD encodingType, DWORD, DWORD msgType, HCRYPTPROV_LEGACY,
                               PCERT_INFO, PCMSG_STREAM_INFO) {
  if ((encodingType & PKCS_7_ASN_ENCODING) == 0 || msgType > 6) {
    SetLastError(kInvalidArg);
    return nullptr;
  }
  auto* message = new Message;
  message->wantedType = msgType;
  return message;
}

BOOL CryptMsgUpdate(HCRYPTMSG handle, const BYTE* data, DWORD length, BOOL final) {
  if (handle == nullptr || (data == nullptr && length != 0)) return fail(kInvalidArg);
  auto& message = *static_cast<Message*>(handle);
  if (message.final) return fail(kMsgError);
  if (length != 0) message.collected.insert(message.collected.end(), data, data + length);
  if (!final) return TRUE;
  message.final = true;
  const Bytes& bytes = message.collected;
  if (bytes.empty()) return fail(kAsn1Eod);
  if (bytes[0] != 0x30) return fail(CRYPT_E_ASN1_BADTAG);
  const unsigned char* p = bytes.data();
  message.decoded.reset(d2i_PKCS7(nullptr, &p, static_cast<long>(bytes.size())));
  if (!message.decoded) return fail(CRYPT_E_ASN1_CORRUPT);
  const DWORD type = typeOf(message.decoded.get());
  if (type == 0 || (message.wantedType != 0 && type != message.wantedType)) {
    message.decoded.reset();
    return fail(CRYPT_E_INVALID_MSG_TYPE);
  }
  return TRUE;
}

BOOL CryptMsgGetParam(HCRYPTMSG handle, DWORD param, DWORD, void* data, DWORD* length) {
  if (handle == nullptr || length == nullptr) return fail(kInvalidArg);
  const auto& message = *static_cast<const Message*>(handle);
  if (!message.decoded) return fail(CRYPT_E_INVALID_MSG_TYPE);
  const PKCS7* decoded = message.decoded.get();
  switch (param) {
    case CMSG_TYPE_PARAM: {
      const DWORD type = typeOf(decoded);
      return copyOut(ByteView(reinterpret_cast<const std::uint8_t*>(&type), sizeof type), data,
                     length);
    }
    case CMSG_CONTENT_PARAM: {
      if (!PKCS7_type_is_data(decoded) && !PKCS7_type_is_signed(decoded))
        return fail(CRYPT_E_INVALID_MSG_TYPE);
      const ASN1_OCTET_STRING* content = contentOf(decoded);
      if (content == nullptr) return copyOut({}, data, length);  // detached: no content
      return copyOut(ByteView(ASN1_STRING_get0_data(content),
                              static_cast<std::size_t>(ASN1_STRING_length(content))),
                     data, length);
    }
    case CMSG_ENCODED_MESSAGE: {
      Bytes der;
      if (!kestrune::toDer(decoded, i2d_PKCS7, der)) return fail(CRYPT_E_ASN1_ERROR);
      return copyOut(der, data, length);
    }
    default:
      return fail(kInvalidArg);
  }
}

BOOL CryptMsgClose(HCRYPTMSG handle) {
  delete static_cast<Message*>(handle);
  return TRUE;
}
