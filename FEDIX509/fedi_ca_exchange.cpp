// The exchange: one FEDI_MESSAGE posted to the authority's set URL, one decoded back, and the
// check that the answer belongs to the request.
#include <openssl/asn1.h>
#include <openssl/crypto.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "FEDIX509/fedi_ca_client.h"
#include "FEDIX509/fedi_net_internal.h"
#include "common/der.h"

namespace {

// Releases the response body on every path.
struct ResponseGuard {
  NetResponse response{};
  ~ResponseGuard() { net_FreeResponse(&response); }
};

// answerMatches accepts a status answer whatever its digest; any other answer must echo the
// request's digest exactly (an answer without one does not).
bool answerMatches(const FEDI_MESSAGE& request, const FEDI_MESSAGE& answer) {
  if (answer.content != nullptr && answer.content->type == FEDI_CT_STATUS) return true;
  return answer.digest != nullptr && request.digest != nullptr &&
         ASN1_STRING_cmp(answer.digest, request.digest) == 0;
}

int exchange(CaConnection& connection, int type, void* record) {
  // An answer of an earlier exchange must not pass for this one's.
  FEDI_MESSAGE_free(connection.lastAnswer);
  connection.lastAnswer = nullptr;
  kestrune::fedi::MessagePtr request(FEDI_MESSAGE_new());
  if (!request) return NET_NO_MEMORY;
  const int filled = FEDI_MESSAGE_fill(request.get(), 0, 0, kCaMessageAgent, type, record);
  if (filled != FEDI_MSG_OK) return filled;
  // A buffer that can't be had is told apart from a message that doesn't encode; the
  // content's DER is cached, so the second pass only copies it.
  std::vector<std::uint8_t> der;
  try {
    if (!kestrune::toDer(request.get(), i2d_FEDI_MESSAGE, der)) return CA_ENCODE_FAILED;
  } catch (const std::bad_alloc&) {
    return NET_NO_MEMORY;
  }

  ResponseGuard guard;
  NetResponse& response = guard.response;
  const int sent = net_Request(connection.setUrl, "POST", kCaMessageType, der.data(),
                               static_cast<int>(der.size()), &response);
  if (sent != NET_OK) return kestrune::fedi::detail::caResult(sent, response);

  const unsigned char* read = response.body;
  kestrune::fedi::MessagePtr answer(
      read == nullptr ? nullptr : d2i_FEDI_MESSAGE(nullptr, &read, response.bodyLength));
  // The whole body must be the one message.
  if (!answer || read != response.body + response.bodyLength) {
    return kestrune::fedi::detail::caResult(CA_DECODE_FAILED, response);
  }
  connection.lastAnswer = answer.release();
  if (!answerMatches(*request, *connection.lastAnswer)) {
    return kestrune::fedi::detail::caResult(CA_ANSWER_MISMATCH, response);
  }
  return NET_OK;
}

}  // namespace

int ca_Exchange(CaConnection* connection, int type, void* record) {
  if (connection == nullptr) return NET_CALL_FAILED;
  return exchange(*connection, type, record);
}

void ca_FreeConnection(CaConnection* connection) {
  if (connection == nullptr) return;
  std::free(connection->setUrl);
  std::free(connection->casid);
  FEDI_MESSAGE_free(connection->lastAnswer);
  *connection = CaConnection{};
}

int ca_SendNewCertRequest(CaConnection* connection, FEDIREQ* request) {
  return ca_Exchange(connection, FEDI_CT_NEW_CERT_REQ, request);
}
int ca_SendExtendRequest(CaConnection* connection, FEDIEXT* request) {
  return ca_Exchange(connection, FEDI_CT_EXT_REQ, request);
}
int ca_SendRevokeRequest(CaConnection* connection, FEDIREV* request) {
  return ca_Exchange(connection, FEDI_CT_REV_REQ, request);
}
int ca_QueryCertificate(CaConnection* connection, FEDI_QUERY* query) {
  return ca_Exchange(connection, FEDI_CT_GET_CERT, query);
}
int ca_QueryCrl(CaConnection* connection, FEDI_QUERY* query) {
  return ca_Exchange(connection, FEDI_CT_GET_CRL, query);
}
int ca_QueryCaPublicKey(CaConnection* connection, FEDI_QUERY* query) {
  return ca_Exchange(connection, FEDI_CT_GET_CAPK, query);
}
int ca_QuerySid(CaConnection* connection, FEDI_CCHN_REQ* query) {
  return ca_Exchange(connection, FEDI_CT_CCHN_REQ, query);
}
