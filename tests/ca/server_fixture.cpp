#include "server_fixture.h"

#include <httplib.h>
#include <openssl/objects.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>

#include "FEDIX509/builtin_ca_records.h"
#include "common/der.h"
#include "common/ptr.h"
#include "test_authority.h"

namespace kestrune::ca::test {

namespace {

const unsigned char* bytesOf(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.c_str());
}

Ptr<X509_NAME> authorityName() {
  return fediName(fedi::kTestCasid2, fedi::kTestCasid1);
}

// signMd5 signs der with key and stores the signature whole.
void signMd5(EVP_PKEY* key, const unsigned char* der, int length, ASN1_BIT_STRING* signature) {
  Ptr<EVP_MD_CTX> ctx(EVP_MD_CTX_new());
  std::size_t size = 0;
  ASSERT_EQ(1, EVP_DigestSignInit(ctx.get(), nullptr, EVP_md5(), nullptr, key));
  ASSERT_EQ(1, EVP_DigestSign(ctx.get(), nullptr, &size, der, static_cast<std::size_t>(length)));
  Bytes value(size);
  ASSERT_EQ(1,
            EVP_DigestSign(ctx.get(), value.data(), &size, der, static_cast<std::size_t>(length)));
  ASSERT_EQ(1, fedi::setFullBitString(signature, value.data(), static_cast<int>(size)));
}

template <class Body>
void signBody(Body* body, int (*encode)(const Body*, unsigned char**), EVP_PKEY* key,
              ASN1_BIT_STRING* signature) {
  const Bytes der = kestrune::toDer(body, encode);
  ASSERT_FALSE(der.empty());
  signMd5(key, der.data(), static_cast<int>(der.size()), signature);
}

ASN1_INTEGER* integer(std::int64_t value) {
  ASN1_INTEGER* out = ASN1_INTEGER_new();
  EXPECT_EQ(1, ASN1_INTEGER_set_int64(out, value));
  return out;
}

}  // namespace

Ptr<X509_NAME> fediName(const std::string& organization, const std::string& commonName) {
  Ptr<X509_NAME> name(X509_NAME_new());
  EXPECT_EQ(1, X509_NAME_add_entry_by_txt(name.get(), "O", MBSTRING_ASC, bytesOf(organization), -1,
                                          -1, 0));
  EXPECT_EQ(1, X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_ASC, bytesOf(commonName), -1,
                                          -1, 0));
  return name;
}

void signRenewal(FEDIEXT* request, EVP_PKEY* signer) {
  signBody(request->signedPart->body, &i2d_FEDIEXT_INFO, signer, request->signedPart->signature);
}

void signRevocation(FEDIREV* request, EVP_PKEY* signer) {
  signBody(request->signedPart->body, &i2d_FEDIREV_INFO, signer, request->signedPart->signature);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "fedi-ca-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  EXPECT_FALSE(path_.empty());
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

int Exchange::type() const {
  return answer && answer->content != nullptr ? answer->content->type : FEDI_CONTENT_NONE;
}

int Exchange::status() const {
  if (type() != FEDI_CT_STATUS) return -1;
  return static_cast<const FEDI_STATUS*>(answer->content->record)->value;
}

std::string Exchange::statusText() const {
  if (type() != FEDI_CT_STATUS) return {};
  const ASN1_OCTET_STRING* text = static_cast<const FEDI_STATUS*>(answer->content->record)->text;
  return text != nullptr ? std::string(reinterpret_cast<const char*>(text->data),
                                       static_cast<std::size_t>(text->length))
                         : std::string();
}

Bytes Exchange::answerDigest() const {
  if (!answer || answer->digest == nullptr) return {};
  return Bytes(answer->digest->data, answer->digest->data + answer->digest->length);
}

FEDICERT* Exchange::bag() const {
  const int t = type();
  const bool carriesBag = t == FEDI_CT_NEW_CERT || t == FEDI_CT_EXT_CERT ||
                          t == FEDI_CT_GET_CERT_ANS || t == FEDI_CT_GET_CAPK_ANS;
  return carriesBag ? static_cast<FEDICERT*>(answer->content->record) : nullptr;
}

FEDICRL* Exchange::crl() const {
  const int t = type();
  return t == FEDI_CT_REV_CRL || t == FEDI_CT_GET_CRL_ANS
             ? static_cast<FEDICRL*>(answer->content->record)
             : nullptr;
}

Exchange postBody(const std::string& url, const Bytes& body) {
  Exchange exchange;
  const auto pathAt = url.find('/', url.find("//") + 2);
  httplib::Client client(url.substr(0, pathAt));
  client.set_read_timeout(10, 0);
  const auto result =
      client.Post(url.substr(pathAt).c_str(), reinterpret_cast<const char*>(body.data()),
                  body.size(), "application/fedi-certification");
  if (!result) return exchange;
  exchange.httpStatus = result->status;
  exchange.body.assign(result->body.begin(), result->body.end());
  const unsigned char* pos = exchange.body.data();
  exchange.answer.reset(d2i_FEDI_MESSAGE(nullptr, &pos, static_cast<long>(exchange.body.size())));
  return exchange;
}

RequestMessage requestMessage(int type, void* record) {
  RequestMessage out;
  fedi::MessagePtr message(FEDI_MESSAGE_new());
  EXPECT_EQ(0, FEDI_MESSAGE_fill(message.get(), 0, 0, "Tarvonel/FEDI/V1.00", type, record));
  const int length = i2d_FEDI_MESSAGE(message.get(), nullptr);
  EXPECT_GT(length, 0);
  out.der.resize(static_cast<std::size_t>(length > 0 ? length : 0));
  unsigned char* pos = out.der.data();
  i2d_FEDI_MESSAGE(message.get(), &pos);
  out.digest.assign(message->digest->data, message->digest->data + message->digest->length);
  return out;
}

fedi::RequestPtr<FEDIREQ> newRequest(EVP_PKEY* key, const std::string& sid1,
                                     const std::string& sid2, const std::string& pass,
                                     EVP_PKEY* signer) {
  fedi::RequestPtr<FEDIREQ> req(FEDIREQ_new());
  EXPECT_NE(nullptr, req);
  auto subject = fediName(sid2, sid1);
  EXPECT_EQ(1, X509_REQ_set_subject_name(req->request, subject.get()));
  EXPECT_EQ(1, FEDIREQ_set_rsa_pubkey(req.get(), key));
  EXPECT_GT(X509_REQ_sign(req->request, signer != nullptr ? signer : key, EVP_md5()), 0);
  unsigned char mac[4];
  EXPECT_EQ(1, FEDI_req_mac(req->request, bytesOf(pass), pass.size(), mac));
  EXPECT_EQ(1, fedi::setFullBitString(req->mac, mac, sizeof mac));
  return req;
}

fedi::RequestPtr<FEDIEXT> renewalRequest(FEDI_X509* certificate, EVP_PKEY* signer) {
  fedi::RequestPtr<FEDIEXT> ext(FEDIEXT_new());
  FEDIEXT_INFO* body = ext->signedPart->body;
  EXPECT_EQ(1, X509_NAME_set(&body->issuer, FEDI_X509_get_issuer_name(certificate)));
  ASN1_INTEGER_free(body->serialNumber);
  body->serialNumber = ASN1_INTEGER_dup(FEDI_X509_get_serialNumber(certificate));
  signRenewal(ext.get(), signer);
  return ext;
}

fedi::RequestPtr<FEDIREV> revocationRequest(FEDI_X509* certificate, EVP_PKEY* signer,
                                            const std::string& reason) {
  fedi::RequestPtr<FEDIREV> rev(FEDIREV_new());
  FEDIREV_INFO* body = rev->signedPart->body;
  EXPECT_EQ(1, X509_NAME_set(&body->issuer, FEDI_X509_get_issuer_name(certificate)));
  body->serialNumber = ASN1_INTEGER_dup(FEDI_X509_get_serialNumber(certificate));
  body->subject = X509_NAME_dup(FEDI_X509_get_subject_name(certificate));
  EXPECT_EQ(1,
            ASN1_OCTET_STRING_set(body->reason, bytesOf(reason), static_cast<int>(reason.size())));
  ASN1_INTEGER_free(body->serialNumber2);
  body->serialNumber2 = ASN1_INTEGER_dup(FEDI_X509_get_serialNumber(certificate));
  signRevocation(rev.get(), signer);
  return rev;
}

QueryPtr certificateQueryBySerial(std::int64_t serial) {
  QueryPtr query(FEDI_QUERY_new("GeT_CeRt", FEDI_CT_GET_CERT));
  EXPECT_EQ(1, X509_NAME_set(&query->getCert->issuer, authorityName().get()));
  query->getCert->serialNumber = integer(serial);
  return query;
}

QueryPtr certificateQueryByHolder(const std::string& sid1, const std::string& sid2,
                                  std::int64_t date) {
  QueryPtr query(FEDI_QUERY_new("GeT_CeRt", FEDI_CT_GET_CERT));
  EXPECT_EQ(1, X509_NAME_set(&query->getCert->issuer, authorityName().get()));
  query->getCert->subject = X509_NAME_dup(fediName(sid2, sid1).get());
  if (date >= 0) query->getCert->date = ASN1_TIME_set(nullptr, static_cast<std::time_t>(date));
  return query;
}

QueryPtr revocationListQuery() {
  QueryPtr query(FEDI_QUERY_new("GeT_CrL_", FEDI_CT_GET_CRL));
  EXPECT_EQ(1, X509_NAME_set(&query->getCrl->issuer, authorityName().get()));
  return query;
}

QueryPtr authorityKeyQuery(std::int64_t psn, std::int64_t date) {
  QueryPtr query(FEDI_QUERY_new("GeT_CaPk", FEDI_CT_GET_CAPK));
  EXPECT_EQ(1, X509_NAME_set(&query->getCaPk->issuer, authorityName().get()));
  if (psn >= 0) query->getCaPk->psn = integer(psn);
  if (date >= 0) query->getCaPk->date = ASN1_TIME_set(nullptr, static_cast<std::time_t>(date));
  return query;
}

SidQueryPtr identifierQuery(const std::string& sid1, const std::string& sid2) {
  SidQueryPtr query(FEDI_CCHN_REQ_new());
  EXPECT_EQ(1, ASN1_STRING_set(query->sid2, sid2.data(), static_cast<int>(sid2.size())));
  EXPECT_EQ(1, ASN1_STRING_set(query->sid1, sid1.data(), static_cast<int>(sid1.size())));
  return query;
}

CertificatePtr firstCertificate(FEDICERT* bag) {
  return CertificatePtr(bag != nullptr ? FEDICERT_get_cert(bag, 0) : nullptr);
}

std::int64_t serialOf(FEDI_X509* certificate) {
  std::int64_t value = -1;
  if (certificate == nullptr ||
      ASN1_INTEGER_get_int64(&value, FEDI_X509_get_serialNumber(certificate)) != 1) {
    return -1;
  }
  return value;
}

std::int64_t secondsOf(const ASN1_TIME* time) {
  Ptr<ASN1_STRING> epoch(ASN1_TIME_set(nullptr, 0));
  int days = 0;
  int seconds = 0;
  EXPECT_EQ(1, ASN1_TIME_diff(&days, &seconds, epoch.get(), time));
  return static_cast<std::int64_t>(days) * 86400 + seconds;
}

std::vector<std::int64_t> revokedSerials(FEDICRL* crl) {
  std::vector<std::int64_t> serials;
  STACK_OF(X509_REVOKED)* entries = crl != nullptr ? X509_CRL_get_REVOKED(crl->crl) : nullptr;
  for (int i = 0; i < sk_X509_REVOKED_num(entries); ++i) {
    std::int64_t value = -1;
    ASN1_INTEGER_get_int64(&value,
                           X509_REVOKED_get0_serialNumber(sk_X509_REVOKED_value(entries, i)));
    serials.push_back(value);
  }
  return serials;
}

bool sameKey(FEDI_X509* certificate, EVP_PKEY* key) {
  const KeyPtr carried(certificate != nullptr ? FEDI_X509_get_pubkey(certificate) : nullptr);
  return carried && EVP_PKEY_eq(carried.get(), key) == 1;
}

void AuthorityTest::SetUp() {
  std::string why;
  ASSERT_EQ(AuthorityResult::ok, initAuthority(dir_.path(), InitOptions{}, &why)) << why;
  startServer();
}

void AuthorityTest::TearDown() {
  server_.stop();
}

ServerOptions AuthorityTest::options() {
  ServerOptions options;
  options.readTimeout = std::chrono::milliseconds(2000);
  options.writeTimeout = std::chrono::milliseconds(2000);
  options.keepAliveTimeout = std::chrono::seconds(1);
  options.workers = 4;
  options.clock = [offset = clockOffset_] {
    return static_cast<std::int64_t>(std::time(nullptr)) + offset->load();
  };
  return options;
}

void AuthorityTest::startServer() {
  server_.stop();
  std::string why;
  ASSERT_EQ(AuthorityResult::ok, server_.start(dir_.path(), "127.0.0.1", 0, options(), &why))
      << why;
}

Exchange AuthorityTest::send(int type, void* record) {
  RequestMessage request = requestMessage(type, record);
  Exchange exchange = postBody(server_.messageUrl(), request.der);
  exchange.requestDigest = std::move(request.digest);
  return exchange;
}

std::string AuthorityTest::enrol(const std::string& sid1, const std::string& sid2) {
  std::string pass;
  std::string why;
  EXPECT_EQ(AuthorityResult::ok, enrolHolder(dir_.path(), sid1, sid2, pass, &why)) << why;
  return pass;
}

CertificatePtr AuthorityTest::issue(EVP_PKEY* key, const std::string& sid1,
                                    const std::string& sid2) {
  auto request = newRequest(key, sid1, sid2, enrol(sid1, sid2));
  const Exchange exchange = send(FEDI_CT_NEW_CERT_REQ, request.get());
  EXPECT_EQ(FEDI_CT_NEW_CERT, exchange.type()) << "refusal " << exchange.status();
  return firstCertificate(exchange.bag());
}

std::int64_t AuthorityTest::now() const {
  return static_cast<std::int64_t>(std::time(nullptr)) + clockOffset_->load();
}

}  // namespace kestrune::ca::test
