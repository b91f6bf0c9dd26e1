#include "tests/control/ca_scripted_authority.h"

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <ctime>
#include <memory>

#include "common/der.h"
#include "common/ptr.h"
#include "tests/ca/test_authority.h"
#include "tests/control/control_test_support.h"

namespace kestrune::testing {
namespace {

constexpr std::string_view kInitiationPath = "/fedi/init";
constexpr std::string_view kMessagePath = "/fedi/messages";
constexpr std::string_view kMessageHeaders = "Content-Type: application/fedi-certification\r\n";

fedi::MessagePtr decodeMessage(const std::string& body) {
  const auto* position = reinterpret_cast<const unsigned char*>(body.data());
  return fedi::MessagePtr(d2i_FEDI_MESSAGE(nullptr, &position, static_cast<long>(body.size())));
}

std::string encodeMessage(const FEDI_MESSAGE* message) {
  const std::vector<std::uint8_t> der = toDer(message, i2d_FEDI_MESSAGE);
  return std::string(der.begin(), der.end());
}

}  // namespace

ScriptedAuthority::ScriptedAuthority() {
  const std::string setUrl = server_.url(kMessagePath);
  server_.setHandler([this, setUrl](const RecordedRequest& request) -> std::string {
    if (request.method == "GET") {
      return ScriptedHttpServer::response(200,
                                          "FEDI-SET-URL: " + setUrl + "\r\nFEDI-CASID: TESTCA1\r\n",
                                          "Content-Type: text/plain\r\n");
    }
    Answer answer;
    {
      std::lock_guard lock(mutex_);
      answer = answer_;
    }
    if (!answer) return ScriptedHttpServer::response(500, "no answer scripted");
    const auto message = decodeMessage(request.body);
    return answer(message.get());
  });
}

std::u16string ScriptedAuthority::initiationUrl() const {
  return u16(server_.url(kInitiationPath));
}

void ScriptedAuthority::answer(Answer answer) {
  std::lock_guard lock(mutex_);
  answer_ = std::move(answer);
}

std::vector<fedi::MessagePtr> ScriptedAuthority::posted() const {
  std::vector<fedi::MessagePtr> messages;
  for (const RecordedRequest& request : server_.requests()) {
    if (request.method == "POST") messages.push_back(decodeMessage(request.body));
  }
  return messages;
}

std::string messageResponse(const FEDI_MESSAGE* request, int type, void* record, Digest digest) {
  fedi::MessagePtr answer(FEDI_MESSAGE_new());
  if (!answer) return {};
  if (record != nullptr &&
      FEDI_MESSAGE_fill(answer.get(), 0, 0, "FEDI-CA", type, record) != FEDI_MSG_OK) {
    return ScriptedHttpServer::response(500, "answer not built");
  }
  if (record == nullptr) {
    // An envelope without content: fill it with a throw-away status, then drop the content.
    FEDI_STATUS* status = FEDI_STATUS_new();
    ASN1_INTEGER_set(status->code, 0);
    FEDI_MESSAGE_fill(answer.get(), 0, 0, "FEDI-CA", FEDI_CT_STATUS, status);
    FEDI_CONTENT_free(answer->content);
    answer->content = FEDI_CONTENT_new();
    FEDI_STATUS_free(status);
  }
  ASN1_OCTET_STRING_free(answer->digest);
  answer->digest = nullptr;
  if (digest != Digest::none && request != nullptr && request->digest != nullptr) {
    std::string bytes = stringText(request->digest);
    if (digest == Digest::wrong && !bytes.empty()) bytes[0] = static_cast<char>(bytes[0] ^ 0x55);
    answer->digest = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(answer->digest, reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  }
  return ScriptedHttpServer::response(200, encodeMessage(answer.get()), kMessageHeaders);
}

std::string statusResponse(const FEDI_MESSAGE* request, long code, std::string_view text) {
  Ptr<FEDI_STATUS> status(FEDI_STATUS_new());
  ASN1_INTEGER_set(status->code, code);
  ASN1_OCTET_STRING_set(status->text, reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()));
  return messageResponse(request, FEDI_CT_STATUS, status.get());
}

std::string nameText(const X509_NAME* name) {
  if (name == nullptr) return "(none)";
  std::string text;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    if (!text.empty()) text += ',';
    text += OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)));
    text += '=';
    text += stringText(X509_NAME_ENTRY_get_data(entry));
  }
  return text;
}

std::string stringText(const ASN1_STRING* value) {
  if (value == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                     static_cast<std::size_t>(ASN1_STRING_length(value)));
}

std::string integerDecimal(const ASN1_INTEGER* value) {
  if (value == nullptr) return "(none)";
  Ptr<BIGNUM> number(ASN1_INTEGER_to_BN(value, nullptr));
  if (!number) return "(bad)";
  char* text = BN_bn2dec(number.get());
  std::string decimal(text);
  OPENSSL_free(text);
  return decimal;
}

std::vector<std::uint8_t> decodeBase64(std::u16string_view text) {
  std::string narrow;
  for (const char16_t c : text) narrow.push_back(static_cast<char>(c));
  Ptr<EVP_ENCODE_CTX> context(EVP_ENCODE_CTX_new());
  std::vector<std::uint8_t> bytes(narrow.size() + 3);
  int length = 0;
  int tail = 0;
  EVP_DecodeInit(context.get());
  if (EVP_DecodeUpdate(context.get(), bytes.data(), &length,
                       reinterpret_cast<const unsigned char*>(narrow.data()),
                       static_cast<int>(narrow.size())) < 0 ||
      EVP_DecodeFinal(context.get(), bytes.data() + length, &tail) != 1) {
    return {};
  }
  bytes.resize(static_cast<std::size_t>(length + tail));
  return bytes;
}

fedi::CrlPtr crlListing(const std::vector<long>& revokedSerials) {
  fedi::CrlPtr record(FEDICRL_new());
  X509_CRL* crl = record->crl;
  Ptr<X509_NAME> issuer(X509_NAME_new());
  X509_NAME_add_entry_by_txt(issuer.get(), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("TESTCA1"), -1, -1, 0);
  X509_CRL_set_version(crl, 1);
  X509_CRL_set_issuer_name(crl, issuer.get());
  Ptr<ASN1_TIME> now(ASN1_TIME_set(nullptr, 1262304000));
  X509_CRL_set1_lastUpdate(crl, now.get());
  for (const long serial : revokedSerials) {
    X509_REVOKED* revoked = X509_REVOKED_new();
    ASN1_INTEGER* number = ASN1_INTEGER_new();
    ASN1_INTEGER_set(number, serial);
    X509_REVOKED_set_serialNumber(revoked, number);
    X509_REVOKED_set_revocationDate(revoked, now.get());
    X509_CRL_add0_revoked(crl, revoked);
    ASN1_INTEGER_free(number);
  }
  X509_CRL_sort(crl);
  X509_CRL_sign(crl, ca::test::testCaKey(), EVP_sha1());
  return record;
}

ca::BagPtr holderBag() {
  const auto certificate = ca::issueCertificate(ca::test::holderSpec(), ca::test::testCaKey());
  if (!certificate) return nullptr;
  FEDI_X509* certificates[] = {certificate.get()};
  return ca::makeBag(certificates);
}

void ScriptedCaTest::SetUp() {
  if (const char* zone = std::getenv("TZ")) {
    previousZone_ = zone;
    hadZone_ = true;
  }
  setenv("TZ", "Asia/Taipei", 1);
  tzset();
}

void ScriptedCaTest::TearDown() {
  if (hadZone_) {
    setenv("TZ", previousZone_.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace kestrune::testing
