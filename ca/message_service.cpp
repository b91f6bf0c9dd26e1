#include "ca/message_service.h"

#include <openssl/err.h>

#include <climits>
#include <new>
#include <optional>

#include "common/der.h"
#include "common/ptr.h"

#include "FEDIX509/fedi_message.h"
#include "ca/request_handlers.h"

namespace kestrune::ca {

namespace {

using StatusPtr = Ptr<FEDI_STATUS>;

HttpAnswer plain(int status, const char* text) {
  const std::string body(text);
  HttpAnswer answer;
  answer.status = status;
  answer.contentType = "text/plain; charset=us-ascii";
  answer.body.assign(body.begin(), body.end());
  return answer;
}

Outcome dispatch(const AuthorityContext& context, FEDI_MESSAGE& message, RequestNote& note) {
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
      note.type = "new-certificate";
      return answerNewCertificate(context, *store, *static_cast<FEDIREQ*>(record), note);
    case FEDI_CT_EXT_REQ:
      note.type = "renewal";
      return answerRenewal(context, *store, *static_cast<FEDIEXT*>(record), note);
    case FEDI_CT_REV_REQ:
      note.type = "revocation";
      return answerRevocation(context, *store, *static_cast<FEDIREV*>(record), note);
    case FEDI_CT_GET_CERT:
    case FEDI_CT_GET_CRL:
    case FEDI_CT_GET_CAPK: {
      const auto* query = static_cast<const FEDI_QUERY*>(record);
      note.type = "query";
      if (query->getCert != nullptr) {
        note.type = "certificate-query";
        return answerCertificateQuery(context, *store, *query->getCert);
      }
      if (query->getCrl != nullptr) {
        note.type = "revocation-list-query";
        return answerRevocationListQuery(context, *store, *query->getCrl);
      }
      if (query->getCaPk != nullptr) {
        note.type = "authority-key-query";
        return answerAuthorityKeyQuery(context, *store, *query->getCaPk);
      }
      return refuse(kRefuseMalformed, "the query has no body");
    }
    case FEDI_CT_CCHN_REQ:
      note.type = "identifier-query";
      return answerIdentifierQuery(*store, *static_cast<const FEDI_CCHN_REQ*>(record));
    default:
      note.type = "unanswered-type";
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
  return kestrune::toDer(message.get(), i2d_FEDI_MESSAGE);
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

HttpAnswer send(const Outcome& outcome, const ASN1_OCTET_STRING* digest, const RequestNote& note) {
  std::vector<std::uint8_t> der;
  Refusal refused{0, {}};
  if (const auto* answer = std::get_if<Answer>(&outcome)) {
    der = encodeAnswer(answer->type, answer->get(), digest);
    if (der.empty()) {
      refused = {kRefuseInternal, "the answer cannot be encoded"};
      der = encodeRefusal(refused, digest);
    }
  } else {
    refused = std::get<Refusal>(outcome);
    der = encodeRefusal(refused, digest);
  }
  if (der.empty()) return plain(500, "the answer cannot be encoded\n");
  return {200, kAnswerContentType, std::move(der), note, refused.code, std::move(refused.text)};
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
    RequestNote note;
    if (request && pos == body.data() + body.size()) {
      const Outcome outcome = dispatch(context, *request, note);
      return send(outcome, request->digest, note);
    }
    const ASN1_OCTET_STRING* digest = request ? request->digest : nullptr;
    switch (request ? UndecodableBody::malformed : classifyUndecodable(body)) {
      case UndecodableBody::notAMessage:
        return plain(400, "not a FEDI message\n");
      case UndecodableBody::unknownContentType:
        return send(refuse(kRefuseContentType, "the content type has no coder"), digest, note);
      case UndecodableBody::malformed:
        break;
    }
    return send(refuse(kRefuseMalformed, "the message does not decode"), digest, note);
  } catch (const std::bad_alloc&) {
    return plain(500, "out of memory\n");
  }
}

}  // namespace kestrune::ca
