// A hostile client replays what it captured: the exchange carries no nonce, so the authority
// holds the line itself. A pass phrase admits one new certificate, a revoked key is never
// certified again, a key in good standing gets no second certificate, a replayed renewal gives
// back the same renewal, and wrong MACs lock the holder until it is enrolled again.
#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "ca/authority_store.h"
#include "ca/refusals.h"
#include "server_fixture.h"

namespace kestrune::ca::test {
namespace {

class ReplayTest : public AuthorityTest {
 protected:
  // holderCertificates counts the holder's certificates in the authority's records.
  std::size_t holderCertificates(const HolderId& holder) {
    std::string error;
    auto store = AuthorityStore::open(dir_.file(kDatabaseFileName), error);
    EXPECT_TRUE(store) << error;
    std::vector<CertificateRecord> all;
    EXPECT_TRUE(store && store->allCertificates(all));
    return static_cast<std::size_t>(std::count_if(
        all.begin(), all.end(), [&](const CertificateRecord& r) { return r.holder == holder; }));
  }
};

TEST_F(ReplayTest, ACapturedNewCertificateRequestIsCertifiedOnce) {
  const KeyPtr key = generateRsaKey(1024);
  const Bytes captured =
      requestMessage(FEDI_CT_NEW_CERT_REQ,
                     newRequest(key.get(), "U001", "ORG01", enrol("U001", "ORG01")).get())
          .der;
  const Exchange first = postBody(server_.messageUrl(), captured);
  const CertificatePtr certificate = firstCertificate(first.bag());
  ASSERT_NE(nullptr, certificate) << "refusal " << first.status();

  for (int replay = 0; replay < 20; ++replay) {
    const Exchange again = postBody(server_.messageUrl(), captured);
    ASSERT_EQ(kRefuseEnrolAgain, again.status()) << "replay " << replay;
  }
  EXPECT_NE(std::string::npos, postBody(server_.messageUrl(), captured).statusText().find("enrol"));
  EXPECT_EQ(1u, holderCertificates({"U001", "ORG01"}));

  // Enrolled again, the holder still gets no second certificate for a key in good standing.
  EXPECT_EQ(kRefuseKeyCertified,
            send(FEDI_CT_NEW_CERT_REQ,
                 newRequest(key.get(), "U001", "ORG01", enrol("U001", "ORG01")).get())
                .status());
  // The first certificate stays the current one: the holder renews and revokes it.
  EXPECT_EQ(FEDI_CT_EXT_CERT,
            send(FEDI_CT_EXT_REQ, renewalRequest(certificate.get(), key.get()).get()).type());
  EXPECT_EQ(FEDI_CT_REV_CRL,
            send(FEDI_CT_REV_REQ, revocationRequest(certificate.get(), key.get()).get()).type());

  // Once revoked, the key is never certified again, under this holder's name or another's.
  EXPECT_EQ(kRefuseRevoked,
            send(FEDI_CT_NEW_CERT_REQ,
                 newRequest(key.get(), "U001", "ORG01", enrol("U001", "ORG01")).get())
                .status());
  EXPECT_EQ(kRefuseRevoked,
            send(FEDI_CT_NEW_CERT_REQ,
                 newRequest(key.get(), "U002", "ORG01", enrol("U002", "ORG01")).get())
                .status());
  EXPECT_EQ(2u, holderCertificates({"U001", "ORG01"}));  // the certificate and its renewal
}

TEST_F(ReplayTest, ReplayedRequestsSentAtOnceMakeOneCertificate) {
  const KeyPtr key = generateRsaKey(1024);
  const Bytes captured =
      requestMessage(FEDI_CT_NEW_CERT_REQ,
                     newRequest(key.get(), "U001", "ORG01", enrol("U001", "ORG01")).get())
          .der;
  constexpr int kSenders = 8;
  std::vector<Exchange> answers(kSenders);
  std::vector<std::thread> senders;
  for (int i = 0; i < kSenders; ++i) {
    senders.emplace_back([&, i] { answers[i] = postBody(server_.messageUrl(), captured); });
  }
  for (auto& sender : senders) sender.join();
  EXPECT_EQ(1, std::count_if(answers.begin(), answers.end(),
                             [](const Exchange& e) { return e.type() == FEDI_CT_NEW_CERT; }));
  EXPECT_EQ(1u, holderCertificates({"U001", "ORG01"}));
}

TEST_F(ReplayTest, AReplayedRenewalGivesBackTheSameRenewal) {
  const KeyPtr key = generateRsaKey(1024);
  const CertificatePtr current = issue(key.get(), "U001", "ORG01");
  ASSERT_NE(nullptr, current);
  const Bytes captured =
      requestMessage(FEDI_CT_EXT_REQ, renewalRequest(current.get(), key.get()).get()).der;
  std::int64_t renewal = 0;
  for (int replay = 0; replay < 5; ++replay) {
    const CertificatePtr answered =
        firstCertificate(postBody(server_.messageUrl(), captured).bag());
    ASSERT_NE(nullptr, answered) << "replay " << replay;
    if (replay == 0) renewal = serialOf(answered.get());
    EXPECT_EQ(renewal, serialOf(answered.get()));
  }
  EXPECT_EQ(2u, holderCertificates({"U001", "ORG01"}));
}

TEST_F(ReplayTest, WrongMacsLockTheHolderUntilEnrolledAgain) {
  // The log says so too.
  auto lines = std::make_shared<std::vector<std::string>>();
  auto linesMutex = std::make_shared<std::mutex>();
  ServerOptions logged = options();
  logged.log = [lines, linesMutex](const std::string& line) {
    std::lock_guard lock(*linesMutex);
    lines->push_back(line);
  };
  server_.stop();
  std::string why;
  ASSERT_EQ(AuthorityResult::ok, server_.start(dir_.path(), "127.0.0.1", 0, logged, &why)) << why;
  const KeyPtr key = generateRsaKey(1024);
  const std::string pass = enrol("U001", "ORG01");
  for (int guess = 0; guess < kMaxMacFailures; ++guess) {
    const Exchange wrong =
        send(FEDI_CT_NEW_CERT_REQ,
             newRequest(key.get(), "U001", "ORG01", "guess" + std::to_string(guess)).get());
    ASSERT_EQ(kRefuseHolderOrMac, wrong.status()) << "guess " << guess;
  }
  // Now even the right pass phrase admits nothing, and the refusal says why.
  const Exchange locked =
      send(FEDI_CT_NEW_CERT_REQ, newRequest(key.get(), "U001", "ORG01", pass).get());
  EXPECT_EQ(kRefuseEnrolAgain, locked.status());
  EXPECT_NE(std::string::npos, locked.statusText().find("wrong MACs")) << locked.statusText();
  // The line is written once the answer has gone: wait for it a little.
  const auto lockedLine = [&] {
    std::lock_guard lock(*linesMutex);
    for (const std::string& line : *lines) {
      EXPECT_EQ(std::string::npos, line.find(pass));
      if (line.find("request=new-certificate holder=ORG01/U001 outcome=refused status=13 "
                    "reason=\"too many wrong MACs") != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  for (int wait = 0; wait < 100 && !lockedLine(); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(lockedLine());
  // A stranger's guesses lock no one: a holder never enrolled keeps its plain refusal.
  for (int guess = 0; guess <= kMaxMacFailures; ++guess) {
    EXPECT_EQ(
        kRefuseHolderOrMac,
        send(FEDI_CT_NEW_CERT_REQ, newRequest(key.get(), "U009", "ORG01", "x").get()).status());
  }
  EXPECT_NE(nullptr, issue(key.get(), "U001", "ORG01"));
}

}  // namespace
}  // namespace kestrune::ca::test
