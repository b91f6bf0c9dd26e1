// What the authority refuses, and how: every refusal is a status record (999) with the
// documented number and the request's digest, except a body that is not a message at all
// (HTTP 400) and one above the size limit (HTTP 413). Malformed input never stops the server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <random>

#include "ca/refusals.h"
#include "server_fixture.h"

namespace kestrune::ca::test {
namespace {

class RefusalTest : public AuthorityTest {
 protected:
  void SetUp() override {
    AuthorityTest::SetUp();
    key_ = generateRsaKey(1024);
    other_ = generateRsaKey(1024);
    certificate_ = issue(key_.get(), "U001", "ORG01");
    ASSERT_NE(nullptr, certificate_);
    pass_ = enrol("U002", "ORG01");
  }

  KeyPtr key_;
  KeyPtr other_;
  CertificatePtr certificate_;
  std::string pass_;  // U002 / ORG01 is enrolled without a certificate
};

TEST_F(RefusalTest, EachRefusalCarriesItsNumberAndTheRequestDigest) {
  // A holder with two certificates in force (enrolled twice, a key each): only the later is its
  // current one.
  const KeyPtr olderKey = generateRsaKey(1024);
  const KeyPtr newerKey = generateRsaKey(1024);
  const CertificatePtr older = issue(olderKey.get(), "U003", "ORG01");
  const CertificatePtr newer = issue(newerKey.get(), "U003", "ORG01");
  ASSERT_NE(nullptr, newer);

  struct Case {
    const char* name;
    std::function<Exchange()> send;
    int want;
  };
  const Case cases[] = {
      {"new certificate with a wrong MAC",
       [&] {
         return send(FEDI_CT_NEW_CERT_REQ,
                     newRequest(key_.get(), "U002", "ORG01", pass_ + "x").get());
       },
       kRefuseHolderOrMac},
      {"new certificate for a holder never enrolled",
       [&] {
         return send(FEDI_CT_NEW_CERT_REQ, newRequest(key_.get(), "U009", "ORG01", pass_).get());
       },
       kRefuseHolderOrMac},
      {"new certificate signed with another key",
       [&] {
         return send(FEDI_CT_NEW_CERT_REQ,
                     newRequest(key_.get(), "U002", "ORG01", pass_, other_.get()).get());
       },
       kRefuseSignature},
      {"new certificate whose subject has no CN",
       [&] {
         auto request = newRequest(key_.get(), "U002", "ORG01", pass_);
         const auto onlyO = fediName("ORG01", "U002");
         X509_NAME_ENTRY_free(X509_NAME_delete_entry(onlyO.get(), 1));
         X509_REQ_set_subject_name(request->request, onlyO.get());
         X509_REQ_sign(request->request, key_.get(), EVP_md5());
         return send(FEDI_CT_NEW_CERT_REQ, request.get());
       },
       kRefuseSubject},
      {"renewal signed with another key",
       [&] {
         return send(FEDI_CT_EXT_REQ, renewalRequest(certificate_.get(), other_.get()).get());
       },
       kRefuseSignature},
      {"renewal of a certificate never issued",
       [&] {
         auto request = renewalRequest(certificate_.get(), key_.get());
         ASN1_INTEGER_set(request->signedPart->body->serialNumber, 999);
         signRenewal(request.get(), key_.get());
         return send(FEDI_CT_EXT_REQ, request.get());
       },
       kRefuseNotFound},
      {"renewal of the authority's own certificate",
       [&] {
         auto request = renewalRequest(certificate_.get(), key_.get());
         ASN1_INTEGER_set(request->signedPart->body->serialNumber, 1);
         signRenewal(request.get(), key_.get());
         return send(FEDI_CT_EXT_REQ, request.get());
       },
       kRefuseNotFound},
      {"renewal naming another issuer",
       [&] {
         auto request = renewalRequest(certificate_.get(), key_.get());
         X509_NAME_set(&request->signedPart->body->issuer, fediName("Other", "OTHERCA").get());
         signRenewal(request.get(), key_.get());
         return send(FEDI_CT_EXT_REQ, request.get());
       },
       kRefuseIssuer},
      {"renewal of a certificate that is not the holder's current one",
       [&] { return send(FEDI_CT_EXT_REQ, renewalRequest(older.get(), olderKey.get()).get()); },
       kRefuseNotCurrent},
      {"revocation signed with another key",
       [&] {
         return send(FEDI_CT_REV_REQ, revocationRequest(certificate_.get(), other_.get()).get());
       },
       kRefuseSignature},
      {"revocation naming two serial numbers",
       [&] {
         auto request = revocationRequest(certificate_.get(), key_.get());
         ASN1_INTEGER_set(request->signedPart->body->serialNumber, 999);
         signRevocation(request.get(), key_.get());
         return send(FEDI_CT_REV_REQ, request.get());
       },
       kRefuseMalformed},
      {"revocation naming another subject",
       [&] {
         auto request = revocationRequest(certificate_.get(), key_.get());
         X509_NAME_set(&request->signedPart->body->subject, fediName("ORG01", "U002").get());
         signRevocation(request.get(), key_.get());
         return send(FEDI_CT_REV_REQ, request.get());
       },
       kRefuseSubject},
      {"certificate query naming another issuer",
       [&] {
         auto query = certificateQueryBySerial(serialOf(certificate_.get()));
         X509_NAME_set(&query->getCert->issuer, fediName("Other", "OTHERCA").get());
         return send(FEDI_CT_GET_CERT, query.get());
       },
       kRefuseIssuer},
      {"certificate query naming nothing",
       [&] {
         auto query = certificateQueryBySerial(1);
         ASN1_INTEGER_free(query->getCert->serialNumber);
         query->getCert->serialNumber = nullptr;
         return send(FEDI_CT_GET_CERT, query.get());
       },
       kRefuseMalformed},
      {"revocation list of another issuer",
       [&] {
         auto query = revocationListQuery();
         X509_NAME_set(&query->getCrl->issuer, fediName("Other", "OTHERCA").get());
         return send(FEDI_CT_GET_CRL, query.get());
       },
       kRefuseIssuer},
      {"identifiers of nobody",
       [&] { return send(FEDI_CT_CCHN_REQ, identifierQuery("U009", "ORG09").get()); },
       kRefuseUnknownHolder},
      {"identifiers without identifiers",
       [&] { return send(FEDI_CT_CCHN_REQ, identifierQuery("", "").get()); }, kRefuseMalformed},
      {"an answer sent as a request",
       [&] {
         FEDI_X509* const certificates[] = {certificate_.get()};
         const BagPtr bag = makeBag(certificates);
         return send(FEDI_CT_NEW_CERT, bag.get());
       },
       kRefuseContentType},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Exchange exchange = c.send();
    EXPECT_EQ(200, exchange.httpStatus);
    ASSERT_EQ(FEDI_CT_STATUS, exchange.type());
    EXPECT_EQ(c.want, exchange.status());
    const auto* status = static_cast<const FEDI_STATUS*>(exchange.answer->content->record);
    EXPECT_GT(ASN1_STRING_length(status->text), 0);
    EXPECT_EQ(exchange.requestDigest, exchange.answerDigest());
  }
  // None of it changed anything: the certificate is still the holder's current one.
  EXPECT_EQ(FEDI_CT_EXT_CERT,
            send(FEDI_CT_EXT_REQ, renewalRequest(certificate_.get(), key_.get()).get()).type());
}

TEST_F(RefusalTest, ExpiredCertificateIsNeitherRenewedNorRevoked) {
  advanceClock(366LL * 24 * 3600);
  EXPECT_EQ(kRefuseNotInForce,
            send(FEDI_CT_EXT_REQ, renewalRequest(certificate_.get(), key_.get()).get()).status());
  EXPECT_EQ(
      kRefuseNotInForce,
      send(FEDI_CT_REV_REQ, revocationRequest(certificate_.get(), key_.get()).get()).status());
}

// findContent returns the position of the inner content tag: A2 LL <tag>.
std::size_t findContent(const Bytes& der) {
  for (std::size_t i = 0; i + 2 < der.size(); ++i) {
    if (der[i] == 0xA2 && der[i + 1] < 0x80 && i + 2 + der[i + 1] == der.size()) return i + 2;
  }
  return der.size();
}

TEST_F(RefusalTest, UndecodableBodiesAreRefusedByKind) {
  const RequestMessage valid = requestMessage(FEDI_CT_GET_CRL, revocationListQuery().get());
  const std::size_t content = findContent(valid.der);
  ASSERT_LT(content, valid.der.size());
  ASSERT_EQ(0xA8, valid.der[content]);

  Bytes noCoder = valid.der;
  noCoder[content] = 0xAC;  // [12]: a content type without coder
  // [8] header, the query's SEQUENCE header and its tag "GeT_CrL_", then its version INTEGER.
  const std::size_t version = content + 2 + 2 + 10;
  ASSERT_EQ(0x02, valid.der[version]);
  Bytes badRecord = valid.der;
  badRecord[version] = 0x05;  // a NULL where the INTEGER belongs
  Bytes trailing = valid.der;
  trailing.push_back(0);
  Bytes truncated(valid.der.begin(), valid.der.end() - 1);
  // The envelope's fields without the [2] content, in a SEQUENCE of their own.
  const std::size_t header = valid.der[1] < 0x80 ? 2 : 2 + (valid.der[1] & 0x7F);
  Bytes fields(valid.der.begin() + static_cast<long>(header),
               valid.der.begin() + static_cast<long>(content) - 2);
  ASSERT_LT(fields.size(), 0x80u);
  Bytes noContent = {0x30, static_cast<std::uint8_t>(fields.size())};
  noContent.insert(noContent.end(), fields.begin(), fields.end());

  struct Case {
    const char* name;
    Bytes body;
    int http;
    int refusal;  // -1 for none
    bool digest;  // the request's digest comes back
  };
  const Case cases[] = {
      {"empty body", {}, 400, -1, false},
      {"text", {'h', 'e', 'l', 'l', 'o'}, 400, -1, false},
      {"an INTEGER", {0x02, 0x01, 0x00}, 400, -1, false},
      {"a truncated message", truncated, 400, -1, false},
      {"content type without coder", noCoder, 200, kRefuseContentType, false},
      {"malformed record", badRecord, 200, kRefuseMalformed, false},
      {"a byte after the message", trailing, 200, kRefuseMalformed, true},
      {"a message without content", noContent, 200, kRefuseMalformed, true},
      {"an empty SEQUENCE", {0x30, 0x00}, 200, kRefuseMalformed, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Exchange exchange = postBody(server_.messageUrl(), c.body);
    EXPECT_EQ(c.http, exchange.httpStatus);
    if (c.refusal < 0) {
      EXPECT_EQ(nullptr, exchange.answer);
      continue;
    }
    ASSERT_NE(nullptr, exchange.answer);
    EXPECT_EQ(c.refusal, exchange.status());
    if (c.digest) {
      EXPECT_EQ(valid.digest, exchange.answerDigest());
    }
  }
}

TEST_F(RefusalTest, BodyAboveTheLimitGets413) {
  const Bytes huge(options().maxBodyBytes + 1, 0x30);
  EXPECT_EQ(413, postBody(server_.messageUrl(), huge).httpStatus);
  const Bytes atLimit(options().maxBodyBytes, 0x30);
  EXPECT_EQ(400, postBody(server_.messageUrl(), atLimit).httpStatus);
}

TEST_F(RefusalTest, MutatedMessagesAlwaysGetAnAnswer) {
  const RequestMessage valid =
      requestMessage(FEDI_CT_NEW_CERT_REQ, newRequest(other_.get(), "U002", "ORG01", pass_).get());
  std::mt19937 random(20240229);
  for (int round = 0; round < 300; ++round) {
    Bytes body = valid.der;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) {
      body[random() % body.size()] = static_cast<std::uint8_t>(random());
    }
    if (round % 5 == 0) body.resize(random() % body.size());
    const Exchange exchange = postBody(server_.messageUrl(), body);
    ASSERT_TRUE(exchange.httpStatus == 200 || exchange.httpStatus == 400)
        << "round " << round << " status " << exchange.httpStatus;
    if (exchange.httpStatus == 200) {
      ASSERT_NE(nullptr, exchange.answer) << "round " << round;
    }
  }
  // Mutations of the MAC count as wrong MACs and may have locked the holder, and one that only
  // touched the digest field may have been served: enrolled again, with a key never certified,
  // the holder is served.
  const KeyPtr freshKey = generateRsaKey(1024);
  const RequestMessage fresh =
      requestMessage(FEDI_CT_NEW_CERT_REQ,
                     newRequest(freshKey.get(), "U002", "ORG01", enrol("U002", "ORG01")).get());
  EXPECT_EQ(FEDI_CT_NEW_CERT, postBody(server_.messageUrl(), fresh.der).type());
}

// rawConnect returns a socket connected to the server, or -1.
int rawConnect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class SlowClientTest : public AuthorityTest {
 protected:
  ServerOptions options() {
    ServerOptions shortWaits = AuthorityTest::options();
    shortWaits.readTimeout = std::chrono::milliseconds(300);
    shortWaits.workers = 2;
    return shortWaits;
  }
  void SetUp() override {
    std::string why;
    ASSERT_EQ(AuthorityResult::ok, initAuthority(dir_.path(), InitOptions{}, &why)) << why;
    ASSERT_EQ(AuthorityResult::ok, server_.start(dir_.path(), "127.0.0.1", 0, options(), &why));
  }
};

TEST_F(SlowClientTest, ClientsThatStopSendingAreDroppedAndOthersServed) {
  const char partial[] = "POST /fedi/msg HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n";
  const char partialBody[] = "POST /fedi/msg HTTP/1.1\r\nContent-Length: 100\r\n\r\n0123";
  const int stalledHeader = rawConnect(server_.port());
  const int stalledBody = rawConnect(server_.port());
  ASSERT_GE(stalledHeader, 0);
  ASSERT_GE(stalledBody, 0);
  ASSERT_GT(::send(stalledHeader, partial, sizeof partial - 1, 0), 0);
  ASSERT_GT(::send(stalledBody, partialBody, sizeof partialBody - 1, 0), 0);

  const auto start = std::chrono::steady_clock::now();
  for (const int fd : {stalledHeader, stalledBody}) {
    char buffer[512];
    timeval wait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    // The server hangs up (possibly after an error status) without waiting for the rest.
    ssize_t got = 0;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
    }
    EXPECT_EQ(0, got);
    ::close(fd);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  // Both workers are free again.
  const Exchange exchange = send(FEDI_CT_GET_CRL, revocationListQuery().get());
  EXPECT_EQ(FEDI_CT_GET_CRL_ANS, exchange.type());
}

}  // namespace
}  // namespace kestrune::ca::test
