#include "ca/message_service.h"

#include <openssl/err.h>

#include <climits>
#include <new>
#include <optional>

#include "FEDIX509/fedi_message.h"
#include "ca/request_handlers.h"

namespace kestrune::ca {

namespace {

using StatusPtr = std::unique_ptr<FEDI_STATUS, IdRecordFree>;

HttpAnswer plain(int status, const char* text) {
  const std::string body(text);
  return {status, "text/plain; charset=us-ascii", {body.begin(), body.end()}};
}

Outcome dispatch(const AuthorityContext& context, FEDI_MESSAGE& message) {
  const FEDI_CONTENT* content = message.content;
  if (content == nullptr || content->record == nullptr) {
    return refuse(kRefuseMalformed, "the message has no content");
  }
  std::string error;
  auto store = AuthorityStore::open(context.databasePath, error);
  if (!store) return storeFailure();
  void* record = content->record;
  switch (content->type) {
    case FEDI_CT_NEW_CERT_REQ:
      return answerNewCertificate(context, *store, *static_cast<FEDIREQ*>(record));
    case FEDI_CT_EXT_REQ:
      return answerRenewal(context, *store, *static_cast<FEDIEXT*>(record));
    case FEDI_CT_REV_REQ:
      return answerRevocation(context, *store, *static_cast<FEDIREV*>(record));
    case FEDI_CT_GET_CERT:
    case FEDI_CT_GET_CRL:
    case FEDI_CT_GET_CAPK: {
      const auto* query = static_cast<const FEDI_QUERY*>(record);
      if (query->getCert != nullptr)
        return answerCertificateQuery(context, *store, *query->getCert);
      if (query->getCrl != nullptr)
        return answerRevocationListQuery(context, *store, *query->getCrl);
      if (query->getCaPk != nullptr)
        return answerAuthorityKeyQuery(context, *store, *query->getCaPk);
      return refuse(kRefuseMalformed, "the query has no body");
    }
    case FEDI_CT_CCHN_REQ:
      return answerIdentifierQuery(*store, *static_cast<const FEDI_CCHN_REQ*>(record));
    default:
      return refuse(kRefuseContentType, "the authority does not answer this content type");
  }
}

// encodeAnswer returns the DER of the answer message around record, with digest (the request's,
// or none) in place of the answer's own; no bytes on failure.
std::vector<std::uint8_t> encodeAnswer(int type, void* record, const ASN1_OCTET_STRING* digest) {
  fedi::MessagePtr message(FEDI_MESSAGE_new());
  if (!message || FEDI_MESSAGE_fill(message.get(), 0, 0, kAuthorityAgent, type, record) != 0) {
    return {};
  }
  if (digest == nullptr) {
    ASN1_OCTET_STRING_free(message->digest);
    message->digest = nullptr;
  } else if (ASN1_STRING_copy(message->digest, digest) != 1) {
    return {};
  }
  const int length = i2d_FEDI_MESSAGE(message.get(), nullptr);
  if (length <= 0) return {};
  std::vector<std::uint8_t> der(static_cast<std::size_t>(length));
  unsigned char* pos = der.data();
  if (i2d_FEDI_MESSAGE(message.get(), &pos) != length) return {};
  return der;
}

std::vector<std::uint8_t> encodeRefusal(const Refusal& refusal, const ASN1_OCTET_STRING* digest) {
  StatusPtr status(FEDI_STATUS_new());
  if (!status || refusal.text.size() > INT_MAX ||
      ASN1_INTEGER_set(status->code, refusal.code) != 1 ||
      ASN1_OCTET_STRING_set(status->text,
                            reinterpret_cast<const unsigned char*>(refusal.text.data()),
                            static_cast<int>(refusal.text.size())) != 1) {
    return {};
  }
  status->value = refusal.code;
  return encodeAnswer(FEDI_CT_STATUS, status.get(), digest);
}

HttpAnswer send(const Outcome& outcome, const ASN1_OCTET_STRING* digest) {
  std::vector<std::uint8_t> der;
  if (const auto* answer = std::get_if<Answer>(&outcome)) {
    der = encodeAnswer(answer->type, answer->get(), digest);
    if (der.empty()) der = encodeRefusal({kRefuseInternal, "the answer cannot be encoded"}, digest);
  } else {
    der = encodeRefusal(std::get<Refusal>(outcome), digest);
  }
  if (der.empty()) return plain(500, "the answer cannot be encoded\n");
  return {200, kAnswerContentType, std::move(der)};
}

}  // namespace

HttpAnswer answerMessage(const AuthorityContext& context,
                         std::span<const std::uint8_t> body) noexcept {
  // What a refused decoding or verification left on this worker thread's OpenSSL error queue
  // says nothing to the next request.
  struct ClearErrors {
    ~ClearErrors() { ERR_clear_error(); }
  } clearErrors;
  try {
    if (body.size() > static_cast<std::size_t>(LONG_MAX)) return plain(413, "too large\n");
    const unsigned char* pos = body.data();
    fedi::MessagePtr request(d2i_FEDI_MESSAGE(nullptr, &pos, static_cast<long>(body.size())));
    if (request && pos == body.data() + body.size()) {
      return send(dispatch(context, *request), request->digest);
    }
    const ASN1_OCTET_STRING* digest = request ? request->digest : nullptr;
    switch (request ? UndecodableBody::malformed : classifyUndecodable(body)) {
      case UndecodableBody::notAMessage:
        return plain(400, "not a FEDI message\n");
      case UndecodableBody::unknownContentType:
        return send(refuse(kRefuseContentType, "the content type has no coder"), digest);
      case UndecodableBody::malformed:
        break;
    }
    return send(refuse(kRefuseMalformed, "the message does not decode"), digest);
  } catch (const std::bad_alloc&) {
    return plain(500, "out of memory\n");
  }
}

}  // namespace kestrune::ca
