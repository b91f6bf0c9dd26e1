// A signed PKCS#7 message decoded: its type, its content, and the parameter errors.
#include "tests/cryptoapi_compare/probe.h"

namespace probe {

void probeMessages() {
  const Bytes& message = fixture("signed_message.p7");
  MessageHandle msg(
      CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
  if (!msg) {
    emit("message/open", outcome(FALSE));
    return;
  }
  emit("message/update", outcome(CryptMsgUpdate(msg.get(), message.data(),
                                                static_cast<DWORD>(message.size()), TRUE)));
  BYTE type[4] = {};
  DWORD length = sizeof type;
  BOOL ok = CryptMsgGetParam(msg.get(), CMSG_TYPE_PARAM, 0, type, &length);
  emit("message/type", ok ? hex(type, length) : outcome(FALSE));
  length = 0;
  ok = CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, nullptr, &length);
  Bytes content(ok ? length : 0);
  ok = ok && CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, content.data(), &length);
  emit("message/content",
       ok ? escaped(std::string_view(reinterpret_cast<char*>(content.data()), length))
          : outcome(FALSE));
  length = 2;
  BYTE small[2];
  emit("message/content-short-buffer",
       outcome(CryptMsgGetParam(msg.get(), CMSG_CONTENT_PARAM, 0, small, &length)) +
           " length=" + std::to_string(length));
  length = 0;
  ok = CryptMsgGetParam(msg.get(), CMSG_ENCODED_MESSAGE, 0, nullptr, &length);
  emit("message/encoded-size", ok ? std::to_string(length) : outcome(FALSE));
  length = sizeof type;
  emit("message/unknown-param", outcome(CryptMsgGetParam(msg.get(), 9999, 0, type, &length)));
  emit("message/close", outcome(CryptMsgClose(msg.release())));

  MessageHandle bad(
      CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
  const BYTE garbage[] = {0x30, 0x03, 0x06, 0x01, 0x00};
  emit("message/update-garbage", outcome(CryptMsgUpdate(bad.get(), garbage, sizeof garbage, TRUE)));
}

}  // namespace probe
