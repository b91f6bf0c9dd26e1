// fedi-ca's message service end to end, from any body: decoding, the handler of the content
// type with its signature, MAC and database checks, and the answer, against an authority made
// once per process in a scratch folder (fuzz/authority_requests.h: two holders enrolled, holder
// A holding certificate 2, a fixed clock). Checked: a body that is not even a DER SEQUENCE gets
// HTTP 400 and every other body a FEDI message of the answer type of its request or a status
// record; the answer echoes the request's digest, carries the authority's agent, re-encodes to
// its own bytes, and a status record's refusal is a known number with a printable text;
// certificates handed out are signed by the authority.
#include <openssl/err.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "FEDIX509/fedi_crl.h"
#include "FEDIX509/fedi_message.h"
#include "FEDIX509/fedi_x509.h"
#include "ca/authority.h"
#include "ca/authority_context.h"
#include "ca/authority_store.h"
#include "ca/message_service.h"
#include "common/der.h"
#include "fuzz/authority_requests.h"
#include "fuzz/fuzz_require.h"
#include "fuzz/scratch_folder.h"
#include "platform/platform.h"

namespace {

namespace authority = kestrune::fuzz::authority;
using kestrune::Ptr;

void require(bool condition, const char* what) {
  kestrune::fuzz::require("ca_message_fuzzer", condition, what);
}

// The authority of every input.
class Authority {
 public:
  Authority() : scratch_("ca_message_fuzzer") {
    const std::string dir = (scratch_.path() / "authority").string();
    // The authority's own certificate is valid from the fixed clock's hour before.
    const kestrune::platform::Clock previous =
        kestrune::platform::setClock([] { return authority::kNow; });
    std::string why;
    require(kestrune::ca::initAuthority(dir, kestrune::ca::InitOptions{}, &why) ==
                kestrune::ca::AuthorityResult::ok,
            "the authority can't be made");
    kestrune::platform::setClock(previous);
    {
      auto store = kestrune::ca::AuthorityStore::open(
          kestrune::ca::pathIn(dir, kestrune::ca::kDatabaseFileName), why);
      require(store.has_value(), "the authority's store can't be opened");
      for (const authority::Holder* holder : {&authority::kHolderA, &authority::kHolderB}) {
        require(store->setPassPhrase({holder->sid1, holder->sid2}, holder->pass, authority::kNow),
                "a holder can't be enrolled");
      }
    }
    kestrune::ca::ServerOptions options;
    options.clock = [] { return authority::kNow; };
    require(kestrune::ca::loadAuthority(dir, options, context_, why) ==
                kestrune::ca::AuthorityResult::ok,
            "the authority can't be loaded");

    // Holder A's certificate, the one the seeds' renewal and revocation name.
    const authority::Bytes request =
        authority::newCertificateRequest(authority::kHolderA, authority::kHolderA.pass);
    const kestrune::ca::HttpAnswer answer = kestrune::ca::answerMessage(context_, request);
    require(answer.status == 200 && answer.refusal == 0, "holder A's certificate isn't issued");
    std::vector<kestrune::ca::CertificateListing> issued;
    require(kestrune::ca::listCertificates(dir, issued) == kestrune::ca::AuthorityResult::ok &&
                issued.size() == 2 && issued[1].serial == authority::kHolderASerial &&
                issued[1].sid1 == authority::kHolderA.sid1,
            "holder A's certificate isn't serial 2");
  }

  const kestrune::ca::AuthorityContext& context() const { return context_; }

 private:
  kestrune::fuzz::ScratchFolder scratch_;
  kestrune::ca::AuthorityContext context_;
};

// answerTypeOf is the content type that answers a request of type; -1 for a type the
// authority answers only with a status record.
int answerTypeOf(int type) {
  switch (type) {
    case FEDI_CT_NEW_CERT_REQ:
      return FEDI_CT_NEW_CERT;
    case FEDI_CT_EXT_REQ:
      return FEDI_CT_EXT_CERT;
    case FEDI_CT_REV_REQ:
      return FEDI_CT_REV_CRL;
    case FEDI_CT_GET_CERT:
      return FEDI_CT_GET_CERT_ANS;
    case FEDI_CT_GET_CRL:
      return FEDI_CT_GET_CRL_ANS;
    case FEDI_CT_GET_CAPK:
      return FEDI_CT_GET_CAPK_ANS;
    case FEDI_CT_CCHN_REQ:
      return FEDI_CT_CCHN_RESP;
    default:
      return -1;
  }
}

bool sameString(const ASN1_STRING* a, const ASN1_STRING* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return ASN1_STRING_length(a) == ASN1_STRING_length(b) &&
         std::equal(ASN1_STRING_get0_data(a), ASN1_STRING_get0_data(a) + ASN1_STRING_length(a),
                    ASN1_STRING_get0_data(b));
}

void checkStatus(const kestrune::ca::HttpAnswer& answer, const FEDI_STATUS& status) {
  static const std::set<int> kRefusals{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 99};
  require(kRefusals.contains(status.value) && status.value == answer.refusal,
          "a status record of an unknown refusal");
  const ASN1_OCTET_STRING* text = status.text;
  require(text != nullptr && ASN1_STRING_length(text) > 0, "a refusal without its text");
  for (int i = 0; i < ASN1_STRING_length(text); ++i) {
    const unsigned char c = ASN1_STRING_get0_data(text)[i];
    require(c >= 0x20 && c < 0x7F, "a refusal text that is not printable ASCII");
  }
}

// checkBag requires every certificate of a bag to verify with the authority's key.
void checkBag(const kestrune::ca::AuthorityContext& context, FEDICERT* bag) {
  require(FEDICERT_get_num(bag) > 0, "a certificate answer without a certificate");
  for (int i = 0; i < FEDICERT_get_num(bag); ++i) {
    const Ptr<FEDI_X509> certificate(FEDICERT_get_cert(bag, i));
    require(certificate && FEDI_X509_verify(certificate.get(), context.key.get()) == 1,
            "a certificate the authority did not sign");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Authority fixture;
  const std::span<const std::uint8_t> body(data, size);
  const kestrune::ca::HttpAnswer answer = kestrune::ca::answerMessage(fixture.context(), body);

  const unsigned char* pos = data;
  const kestrune::fedi::MessagePtr request(
      d2i_FEDI_MESSAGE(nullptr, &pos, static_cast<long>(size)));
  const bool whole = request && pos == data + size;
  ERR_clear_error();
  if (answer.status == 400) {
    require(!request && kestrune::ca::classifyUndecodable(body) ==
                            kestrune::ca::UndecodableBody::notAMessage,
            "HTTP 400 for a body that is a message");
    return 0;
  }
  require(answer.status == 200 && answer.contentType == kestrune::ca::kAnswerContentType,
          "an answer of another status than 200 or 400");

  pos = answer.body.data();
  const kestrune::fedi::MessagePtr reply(
      d2i_FEDI_MESSAGE(nullptr, &pos, static_cast<long>(answer.body.size())));
  require(reply && pos == answer.body.data() + answer.body.size() && reply->content != nullptr,
          "an answer that is not one FEDI message");
  require(kestrune::toDer(reply.get(), i2d_FEDI_MESSAGE) == answer.body,
          "an answer that does not re-encode to its bytes");
  require(reply->agent != nullptr &&
              std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(reply->agent)),
                          static_cast<std::size_t>(ASN1_STRING_length(reply->agent))) ==
                  kestrune::ca::kAuthorityAgent,
          "an answer without the authority's agent");
  if (request) {
    require(sameString(reply->digest, request->digest), "an answer without the request's digest");
  }

  const int type = reply->content->type;
  if (type == FEDI_CT_STATUS) {
    checkStatus(answer, *static_cast<const FEDI_STATUS*>(reply->content->record));
    return 0;
  }
  require(answer.refusal == 0, "a refusal sent as an answer");
  require(whole && request->content != nullptr && answerTypeOf(request->content->type) == type,
          "an answer of a type that doesn't answer the request");
  if (type == FEDI_CT_NEW_CERT || type == FEDI_CT_EXT_CERT || type == FEDI_CT_GET_CERT_ANS ||
      type == FEDI_CT_GET_CAPK_ANS) {
    checkBag(fixture.context(), static_cast<FEDICERT*>(reply->content->record));
  }
  if (type == FEDI_CT_REV_CRL || type == FEDI_CT_GET_CRL_ANS) {
    const auto* list = static_cast<const FEDICRL*>(reply->content->record);
    require(list->crl != nullptr && X509_CRL_verify(list->crl, fixture.context().key.get()) == 1,
            "a revocation list the authority did not sign");
  }
  return 0;
}
