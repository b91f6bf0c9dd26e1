// The authority over real HTTP: each request type gets its answer type with the request's
// digest echoed, certificates are the holder's and signed by the test authority, renewals and
// revocations follow the holder's current certificate, and nothing is lost across a restart.
#include <httplib.h>

#include <set>
#include <thread>

#include "FEDIX509/builtin_ca_records.h"
#include "ca/authority_store.h"
#include "ca/refusals.h"
#include "common/ptr.h"
#include "decoding.h"
#include "server_fixture.h"
#include "test_authority.h"
#include "token/base64.h"

namespace kestrune::ca::test {
namespace {

constexpr std::int64_t kYear = 365LL * 24 * 3600;

std::string entry(X509_NAME* name, int nid) {
  char text[256] = {};
  X509_NAME_get_text_by_NID(name, nid, text, sizeof text);
  return text;
}

Bytes der(FEDI_X509* certificate) {
  return toDer(*certificate);
}

class ExchangeTest : public AuthorityTest {};

TEST_F(ExchangeTest, InitiationNamesTheMessageUrlAndTheAuthority) {
  const std::string url = server_.initiationUrl();
  ASSERT_EQ(0u, url.find("http://127.0.0.1:" + std::to_string(server_.port()) + "/"));
  httplib::Client client("127.0.0.1", server_.port());
  const auto result = client.Get("/fedi/init");
  ASSERT_TRUE(result);
  EXPECT_EQ(200, result->status);
  EXPECT_EQ("FEDI-SET-URL: " + server_.messageUrl() + "\r\nFEDI-CASID: TESTCA1\r\n", result->body);
}

TEST_F(ExchangeTest, EveryRequestGetsItsAnswerTypeWithTheRequestDigest) {
  const KeyPtr key = generateRsaKey(1024);
  const CertificatePtr certificate = issue(key.get(), "U001", "ORG01");
  ASSERT_NE(nullptr, certificate);
  const std::string pass = enrol("U002", "ORG01");
  const KeyPtr secondKey = generateRsaKey(1024);

  struct Case {
    const char* name;
    int type;
    std::shared_ptr<void> record;
    int answer;
  };
  // The records of the table, each released by its own deleter.
  auto own = [](auto owned) {
    using Pointer = typename decltype(owned)::pointer;
    auto deleter = owned.get_deleter();
    return std::shared_ptr<void>(owned.release(),
                                 [deleter](void* p) mutable { deleter(static_cast<Pointer>(p)); });
  };
  const std::vector<Case> cases = {
      {"new certificate", FEDI_CT_NEW_CERT_REQ,
       own(newRequest(secondKey.get(), "U002", "ORG01", pass)), FEDI_CT_NEW_CERT},
      {"renewal", FEDI_CT_EXT_REQ, own(renewalRequest(certificate.get(), key.get())),
       FEDI_CT_EXT_CERT},
      {"certificate by serial", FEDI_CT_GET_CERT,
       own(certificateQueryBySerial(serialOf(certificate.get()))), FEDI_CT_GET_CERT_ANS},
      {"certificate by holder", FEDI_CT_GET_CERT, own(certificateQueryByHolder("U001", "ORG01")),
       FEDI_CT_GET_CERT_ANS},
      {"certificate by holder and date", FEDI_CT_GET_CERT,
       own(certificateQueryByHolder("U001", "ORG01", now())), FEDI_CT_GET_CERT_ANS},
      {"revocation list", FEDI_CT_GET_CRL, own(revocationListQuery()), FEDI_CT_GET_CRL_ANS},
      {"authority key", FEDI_CT_GET_CAPK, own(authorityKeyQuery()), FEDI_CT_GET_CAPK_ANS},
      {"authority key by psn", FEDI_CT_GET_CAPK, own(authorityKeyQuery(1)), FEDI_CT_GET_CAPK_ANS},
      {"authority key by date", FEDI_CT_GET_CAPK, own(authorityKeyQuery(-1, now())),
       FEDI_CT_GET_CAPK_ANS},
      {"identifiers", FEDI_CT_CCHN_REQ, own(identifierQuery("U001", "ORG01")), FEDI_CT_CCHN_RESP},
      {"revocation", FEDI_CT_REV_REQ, own(revocationRequest(certificate.get(), key.get())),
       FEDI_CT_REV_CRL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Exchange exchange = send(c.type, c.record.get());
    EXPECT_EQ(200, exchange.httpStatus);
    EXPECT_EQ(c.answer, exchange.type()) << "refusal " << exchange.status();
    EXPECT_EQ(20u, exchange.requestDigest.size());
    EXPECT_EQ(exchange.requestDigest, exchange.answerDigest());
  }
}

TEST_F(ExchangeTest, NewCertificateIsTheHoldersAndSignedByTheTestAuthority) {
  const KeyPtr key = generateRsaKey(1024);
  auto request = newRequest(key.get(), "U001", "ORG01", enrol("U001", "ORG01"));
  const Exchange exchange = send(FEDI_CT_NEW_CERT_REQ, request.get());
  ASSERT_EQ(FEDI_CT_NEW_CERT, exchange.type()) << "refusal " << exchange.status();
  ASSERT_EQ(1, FEDICERT_get_num(exchange.bag()));  // the control stores one-certificate bags
  const CertificatePtr certificate = firstCertificate(exchange.bag());

  X509_NAME* subject = FEDI_X509_get_subject_name(certificate.get());
  X509_NAME* issuer = FEDI_X509_get_issuer_name(certificate.get());
  EXPECT_EQ("ORG01", entry(subject, NID_organizationName));
  EXPECT_EQ("U001", entry(subject, NID_commonName));
  EXPECT_EQ(fedi::kTestCasid2, entry(issuer, NID_organizationName));
  EXPECT_EQ(fedi::kTestCasid1, entry(issuer, NID_commonName));
  EXPECT_TRUE(sameKey(certificate.get(), key.get()));
  EXPECT_EQ(1, FEDI_X509_verify(certificate.get(), testCaRecordKey()));
  EXPECT_EQ(NID_md5WithRSAEncryption, FEDI_X509_get_signature_nid(certificate.get()));
  const std::int64_t t = now();
  EXPECT_NEAR(t - 3600, secondsOf(FEDI_X509_get_notBefore(certificate.get())), 5);
  EXPECT_NEAR(t + kYear, secondsOf(FEDI_X509_get_notAfter(certificate.get())), 5);
}

TEST_F(ExchangeTest, AuthorityBagIsTheTestRecordsKeyInTheControlsBase64) {
  std::string text;
  ASSERT_EQ(AuthorityResult::ok, authorityBagBase64(dir_.path(), text));
  Bytes bytes;
  ASSERT_TRUE(token::text_Base64Decode(text, bytes));
  const unsigned char* pos = bytes.data();
  const BagPtr bag(d2i_FEDICERT(nullptr, &pos, static_cast<long>(bytes.size())));
  ASSERT_NE(nullptr, bag);
  ASSERT_EQ(1, FEDICERT_get_num(bag.get()));
  const CertificatePtr own = firstCertificate(bag.get());
  EXPECT_TRUE(sameKey(own.get(), testCaRecordKey()));
  EXPECT_EQ(1, FEDI_X509_verify(own.get(), testCaRecordKey()));
  EXPECT_EQ(1, serialOf(own.get()));
  // The same certificate as the authority-key query gives.
  const Exchange exchange = send(FEDI_CT_GET_CAPK, authorityKeyQuery().get());
  const CertificatePtr queried = firstCertificate(exchange.bag());
  ASSERT_NE(nullptr, queried);
  EXPECT_EQ(der(own.get()), der(queried.get()));
  std::string again;
  ASSERT_EQ(AuthorityResult::ok, authorityBagBase64(dir_.path(), again));
  EXPECT_EQ(text, again);
}

TEST_F(ExchangeTest, QueriesFindCertificatesBySerialHolderAndDate) {
  const KeyPtr key = generateRsaKey(1024);
  const CertificatePtr certificate = issue(key.get(), "U001", "ORG01");
  ASSERT_NE(nullptr, certificate);
  const std::int64_t serial = serialOf(certificate.get());
  struct Case {
    const char* name;
    QueryPtr query;
    int want;  // the serial found, or the refusal (negated)
  };
  Case cases[] = {
      {"by serial", certificateQueryBySerial(serial), static_cast<int>(serial)},
      {"by holder", certificateQueryByHolder("U001", "ORG01"), static_cast<int>(serial)},
      {"by holder at a date", certificateQueryByHolder("U001", "ORG01", now() + 3600),
       static_cast<int>(serial)},
      {"by holder before it was issued", certificateQueryByHolder("U001", "ORG01", now() - 7200),
       -kRefuseNotFound},
      {"by unknown serial", certificateQueryBySerial(serial + 100), -kRefuseNotFound},
      {"unknown holder", certificateQueryByHolder("U999", "ORG01"), -kRefuseNotFound},
      {"authority key", authorityKeyQuery(), 1},
      {"authority key by psn", authorityKeyQuery(1), 1},
      {"authority key by a holder's serial", authorityKeyQuery(serial), -kRefuseNotFound},
      {"authority key long ago", authorityKeyQuery(-1, now() - 10 * kYear), -kRefuseNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Exchange exchange = send(c.query->bodyType, c.query.get());
    if (c.want < 0) {
      EXPECT_EQ(-c.want, exchange.status());
      continue;
    }
    const CertificatePtr found = firstCertificate(exchange.bag());
    ASSERT_NE(nullptr, found) << "refusal " << exchange.status();
    EXPECT_EQ(c.want, serialOf(found.get()));
    if (c.want == serial) {
      EXPECT_EQ(der(certificate.get()), der(found.get()));
    }
  }
}

TEST_F(ExchangeTest, RenewalFollowsTheCurrentCertificateAndIsMadeOnce) {
  const KeyPtr key = generateRsaKey(1024);
  const CertificatePtr current = issue(key.get(), "U001", "ORG01");
  ASSERT_NE(nullptr, current);
  const Exchange first = send(FEDI_CT_EXT_REQ, renewalRequest(current.get(), key.get()).get());
  const CertificatePtr renewal = firstCertificate(first.bag());
  ASSERT_NE(nullptr, renewal) << "refusal " << first.status();
  EXPECT_GT(serialOf(renewal.get()), serialOf(current.get()));
  EXPECT_TRUE(sameKey(renewal.get(), key.get()));
  EXPECT_EQ(0, X509_NAME_cmp(FEDI_X509_get_subject_name(current.get()),
                             FEDI_X509_get_subject_name(renewal.get())));
  const std::int64_t currentEnd = secondsOf(FEDI_X509_get_notAfter(current.get()));
  EXPECT_EQ(currentEnd, secondsOf(FEDI_X509_get_notBefore(renewal.get())));
  EXPECT_EQ(currentEnd + kYear, secondsOf(FEDI_X509_get_notAfter(renewal.get())));
  EXPECT_EQ(1, FEDI_X509_verify(renewal.get(), testCaRecordKey()));

  // Asked again while it waits: the same renewal.
  const Exchange again = send(FEDI_CT_EXT_REQ, renewalRequest(current.get(), key.get()).get());
  const CertificatePtr same = firstCertificate(again.bag());
  ASSERT_NE(nullptr, same);
  EXPECT_EQ(der(renewal.get()), der(same.get()));

  // Once the first has ended, the renewal is the current one and renews in its turn.
  advanceClock(currentEnd - now() + 60);
  EXPECT_EQ(kRefuseNotInForce,
            send(FEDI_CT_EXT_REQ, renewalRequest(current.get(), key.get()).get()).status());
  const Exchange next = send(FEDI_CT_EXT_REQ, renewalRequest(renewal.get(), key.get()).get());
  const CertificatePtr third = firstCertificate(next.bag());
  ASSERT_NE(nullptr, third) << "refusal " << next.status();
  EXPECT_GT(serialOf(third.get()), serialOf(renewal.get()));
  const Exchange byHolder = send(FEDI_CT_GET_CERT, certificateQueryByHolder("U001", "ORG01").get());
  EXPECT_EQ(serialOf(renewal.get()), serialOf(firstCertificate(byHolder.bag()).get()));
}

TEST_F(ExchangeTest, RevocationListsTheCertificateAndItsWaitingRenewal) {
  const KeyPtr key = generateRsaKey(1024);
  const CertificatePtr current = issue(key.get(), "U001", "ORG01");
  ASSERT_NE(nullptr, current);
  const Exchange renewed = send(FEDI_CT_EXT_REQ, renewalRequest(current.get(), key.get()).get());
  const CertificatePtr renewal = firstCertificate(renewed.bag());
  ASSERT_NE(nullptr, renewal);
  const Exchange empty = send(FEDI_CT_GET_CRL, revocationListQuery().get());
  ASSERT_NE(nullptr, empty.crl());
  EXPECT_TRUE(revokedSerials(empty.crl()).empty());

  const Exchange revoked =
      send(FEDI_CT_REV_REQ, revocationRequest(current.get(), key.get(), "key lost").get());
  ASSERT_NE(nullptr, revoked.crl()) << "refusal " << revoked.status();
  const std::vector<std::int64_t> both = {serialOf(current.get()), serialOf(renewal.get())};
  EXPECT_EQ(both, revokedSerials(revoked.crl()));
  EXPECT_EQ(1, X509_CRL_verify(revoked.crl()->crl, testCaRecordKey()));
  const Exchange listed = send(FEDI_CT_GET_CRL, revocationListQuery().get());
  EXPECT_EQ(both, revokedSerials(listed.crl()));

  EXPECT_EQ(kRefuseRevoked,
            send(FEDI_CT_REV_REQ, revocationRequest(current.get(), key.get()).get()).status());
  EXPECT_EQ(kRefuseRevoked,
            send(FEDI_CT_EXT_REQ, renewalRequest(current.get(), key.get()).get()).status());
  EXPECT_EQ(kRefuseNotFound,
            send(FEDI_CT_GET_CERT, certificateQueryByHolder("U001", "ORG01").get()).status());
  // The revoked key is never certified again; the holder comes back with a new key.
  EXPECT_EQ(kRefuseRevoked,
            send(FEDI_CT_NEW_CERT_REQ,
                 newRequest(key.get(), "U001", "ORG01", enrol("U001", "ORG01")).get())
                .status());
  const KeyPtr newKey = generateRsaKey(1024);
  EXPECT_NE(nullptr, issue(newKey.get(), "U001", "ORG01"));
}

// Clients written to the letter of the request format: a revocation naming the subject [1]
// without the serial [0], and signatures and MACs whose BIT STRINGs dropped their trailing zero
// octets (each such request is found by varying a field until its signature ends in zero).
TEST_F(ExchangeTest, RequestsOfClientsWrittenToTheLetterAreServed) {
  const auto trimmed = [](ASN1_BIT_STRING* bits) {
    bits->flags &= ~(ASN1_STRING_FLAG_BITS_LEFT | 0x07L);
  };
  const KeyPtr key = generateRsaKey(1024);
  const CertificatePtr current = issue(key.get(), "U001", "ORG01");
  ASSERT_NE(nullptr, current);
  fedi::RequestPtr<FEDIEXT> renewal;
  for (int i = 0; !renewal && i < 4096; ++i) {
    // The body's version is the one field the authority leaves free.
    auto request = renewalRequest(current.get(), key.get());
    ASN1_INTEGER_set(request->signedPart->body->version, i);
    signRenewal(request.get(), key.get());
    const ASN1_BIT_STRING* signature = request->signedPart->signature;
    if (signature->data[signature->length - 1] == 0) renewal = std::move(request);
  }
  ASSERT_NE(nullptr, renewal);
  trimmed(renewal->signedPart->signature);
  const Exchange renewed = send(FEDI_CT_EXT_REQ, renewal.get());
  EXPECT_EQ(FEDI_CT_EXT_CERT, renewed.type()) << "refusal " << renewed.status();

  fedi::RequestPtr<FEDIREV> revocation;
  for (int i = 0; !revocation && i < 4096; ++i) {
    auto request = revocationRequest(current.get(), key.get(), "lost " + std::to_string(i));
    ASN1_INTEGER_free(request->signedPart->body->serialNumber);
    request->signedPart->body->serialNumber = nullptr;  // the subject alone
    signRevocation(request.get(), key.get());
    const ASN1_BIT_STRING* signature = request->signedPart->signature;
    if (signature->data[signature->length - 1] == 0) revocation = std::move(request);
  }
  ASSERT_NE(nullptr, revocation);
  ASSERT_NE(nullptr, revocation->signedPart->body->subject);
  trimmed(revocation->signedPart->signature);
  const Exchange revoked = send(FEDI_CT_REV_REQ, revocation.get());
  ASSERT_NE(nullptr, revoked.crl()) << "refusal " << revoked.status();
  EXPECT_EQ(serialOf(current.get()), revokedSerials(revoked.crl()).front());
}

// A renewal request checked just before a revocation was served must not be recorded after
// it: the revoked key would get a certificate in good standing.
TEST_F(ExchangeTest, NoRenewalIsRecordedForACertificateRevokedMeanwhile) {
  const KeyPtr key = generateRsaKey(1024);
  const CertificatePtr current = issue(key.get(), "U001", "ORG01");
  ASSERT_NE(nullptr, current);
  ASSERT_NE(nullptr,
            send(FEDI_CT_REV_REQ, revocationRequest(current.get(), key.get()).get()).crl());

  std::string error;
  auto store = AuthorityStore::open(dir_.file(kDatabaseFileName), error);
  ASSERT_TRUE(store) << error;
  CertificatePlan plan;
  plan.holder = {"U001", "ORG01"};
  plan.notBefore = now();
  plan.notAfter = now() + kYear;
  plan.renewedFrom = serialOf(current.get());
  bool signedOne = false;
  CertificateRecord renewal;
  EXPECT_EQ(StoreResult::notFound, store->issue(
                                       plan,
                                       [&](std::int64_t) {
                                         signedOne = true;
                                         return Bytes{0x30, 0x00};
                                       },
                                       renewal));
  EXPECT_FALSE(signedOne);
  CertificateRecord inForce;
  EXPECT_EQ(StoreResult::notFound, store->inForce(plan.holder, now(), inForce));
}

TEST_F(ExchangeTest, SerialNumbersStayUniqueAndIncreasingUnderConcurrentRequests) {
  constexpr int kHolders = 16;
  std::vector<KeyPtr> keys;
  std::vector<RequestMessage> messages;
  for (int i = 0; i < kHolders; ++i) {
    const std::string sid1 = "U" + std::to_string(i);
    keys.push_back(generateRsaKey(1024));
    messages.push_back(
        requestMessage(FEDI_CT_NEW_CERT_REQ,
                       newRequest(keys.back().get(), sid1, "ORG01", enrol(sid1, "ORG01")).get()));
  }
  std::vector<Exchange> answers(kHolders);
  std::vector<std::thread> threads;
  for (int i = 0; i < kHolders; ++i) {
    threads.emplace_back([&, i] { answers[i] = postBody(server_.messageUrl(), messages[i].der); });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::int64_t> serials;
  for (const Exchange& answer : answers) {
    const CertificatePtr certificate = firstCertificate(answer.bag());
    ASSERT_NE(nullptr, certificate) << "refusal " << answer.status();
    serials.insert(serialOf(certificate.get()));
  }
  EXPECT_EQ(static_cast<std::size_t>(kHolders), serials.size());
  EXPECT_GT(*serials.begin(), 1);  // 1 is the authority's own
  const KeyPtr lateKey = generateRsaKey(1024);
  const CertificatePtr later = issue(lateKey.get(), "LATE", "ORG01");
  EXPECT_GT(serialOf(later.get()), *serials.rbegin());
}

TEST_F(ExchangeTest, RestartKeepsCertificatesRevocationsAndHolders) {
  const KeyPtr key = generateRsaKey(1024);
  const KeyPtr revokedKey = generateRsaKey(1024);
  const CertificatePtr kept = issue(key.get(), "U001", "ORG01");
  const CertificatePtr revoked = issue(revokedKey.get(), "U002", "ORG01");
  ASSERT_NE(nullptr, kept);
  ASSERT_NE(nullptr, revoked);
  ASSERT_EQ(FEDI_CT_REV_CRL,
            send(FEDI_CT_REV_REQ, revocationRequest(revoked.get(), revokedKey.get()).get()).type());
  const std::string pass = enrol("U003", "ORG01");

  startServer();

  const Exchange found =
      send(FEDI_CT_GET_CERT, certificateQueryBySerial(serialOf(kept.get())).get());
  const CertificatePtr again = firstCertificate(found.bag());
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(der(kept.get()), der(again.get()));
  const Exchange list = send(FEDI_CT_GET_CRL, revocationListQuery().get());
  EXPECT_EQ(std::vector<std::int64_t>{serialOf(revoked.get())}, revokedSerials(list.crl()));
  const KeyPtr thirdKey = generateRsaKey(1024);
  const Exchange fresh =
      send(FEDI_CT_NEW_CERT_REQ, newRequest(thirdKey.get(), "U003", "ORG01", pass).get());
  const CertificatePtr next = firstCertificate(fresh.bag());
  ASSERT_NE(nullptr, next) << "refusal " << fresh.status();
  EXPECT_GT(serialOf(next.get()), serialOf(revoked.get()));
}

TEST_F(ExchangeTest, IdentifierQueryAnswersTheHoldersIdentifiers) {
  enrol("U001", "ORG01");
  enrol("U002", "ORG01");
  enrol("U003", "ORG02");
  struct Case {
    const char* sid1;
    const char* sid2;
    const char* pairText;  // what querySID2 reads
    std::vector<std::string> set;
  };
  const Case cases[] = {
      {"U001", "ORG01", "ORG01", {"U001"}},
      {"", "ORG01", "ORG01", {"U001", "U002"}},
      {"U003", "", "ORG02", {"U003"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.sid1) + "/" + c.sid2);
    const Exchange exchange = send(FEDI_CT_CCHN_REQ, identifierQuery(c.sid1, c.sid2).get());
    ASSERT_EQ(FEDI_CT_CCHN_RESP, exchange.type()) << "refusal " << exchange.status();
    const auto* answer = static_cast<const FEDI_CSID_RESP*>(exchange.answer->content->record);
    EXPECT_EQ(FEDI_CT_CCHN_RESP, ASN1_INTEGER_get(answer->type));
    EXPECT_EQ(V_ASN1_PRINTABLESTRING, ASN1_STRING_type(answer->pair->text));
    EXPECT_EQ(c.pairText, text(answer->pair->text));
    std::vector<std::string> set;
    for (int i = 0; i < sk_FEDI_ID_PAIR_num(answer->pairs); ++i) {
      set.push_back(text(sk_FEDI_ID_PAIR_value(answer->pairs, i)->text));
    }
    EXPECT_EQ(c.set, set);
  }
  EXPECT_EQ(kRefuseUnknownHolder,
            send(FEDI_CT_CCHN_REQ, identifierQuery("U009", "ORG01").get()).status());
}

TEST(AuthorityServers, TwoInOneProcessServeTheirOwnAuthorities) {
  TempDir first;
  TempDir second;
  InitOptions other;
  other.keySource = KeySource::generate;
  other.casid1 = "OTHERCA";
  other.casid2 = "Other Authority";
  ASSERT_EQ(AuthorityResult::ok, initAuthority(first.path(), {}));
  ASSERT_EQ(AuthorityResult::ok, initAuthority(second.path(), other));
  EXPECT_EQ(AuthorityResult::alreadyInitialised, initAuthority(second.path(), {}));
  AuthorityServer a;
  AuthorityServer b;
  ASSERT_EQ(AuthorityResult::ok, a.start(first.path(), "127.0.0.1", 0));
  ASSERT_EQ(AuthorityResult::ok, b.start(second.path(), "127.0.0.1", 0));
  EXPECT_NE(a.port(), b.port());
  AuthorityServer clash;
  EXPECT_EQ(AuthorityResult::cannotListen, clash.start(first.path(), "127.0.0.1", a.port()));
  EXPECT_EQ(AuthorityResult::alreadyRunning, a.start(first.path(), "127.0.0.1", 0));

  const auto query = authorityKeyQuery();
  const Exchange fromA =
      postBody(a.messageUrl(), requestMessage(FEDI_CT_GET_CAPK, query.get()).der);
  EXPECT_TRUE(sameKey(firstCertificate(fromA.bag()).get(), testCaRecordKey()));
  // b is another authority: the test authority's name is not its own.
  const Exchange fromB =
      postBody(b.messageUrl(), requestMessage(FEDI_CT_GET_CAPK, query.get()).der);
  EXPECT_EQ(kRefuseIssuer, fromB.status());
  httplib::Client client("127.0.0.1", b.port());
  const auto init = client.Get("/fedi/init");
  ASSERT_TRUE(init);
  EXPECT_NE(std::string::npos, init->body.find("FEDI-CASID: OTHERCA\r\n"));
  b.stop();
  EXPECT_FALSE(b.running());
  EXPECT_EQ("", b.initiationUrl());
  EXPECT_EQ(200, postBody(a.messageUrl(), {0x30, 0x00}).httpStatus);
}

}  // namespace
}  // namespace kestrune::ca::test
