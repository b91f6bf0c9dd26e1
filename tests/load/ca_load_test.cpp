// The CA exchange under load: eight clients, each a `kestrune script` process with its own
// SoftHSM2 token and its own enrolled holder, against one fedi-ca on 127.0.0.1. Each client gets
// 25 new certificates (each under a fresh enrolment and for a fresh key, as the authority
// certifies a key once per pass phrase) and makes 250 certificate queries, interleaved. No call may
// fail and no certificate may be lost: every certificate a token stored is the one the authority
// keeps under its serial number, and the authority answers it to whoever asks, right after its
// issue.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "FEDIX509/builtin_ca_records.h"
#include "FEDIX509/fedi_x509.h"
#include "ca/authority.h"
#include "common/ptr.h"
#include "tests/load/script_process.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {
namespace {

using Json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kClients = 8;
constexpr int kNewCertificatesPerClient = 25;
constexpr int kQueriesPerNewCertificate = 10;
// Far above any answer's time; it only keeps a stuck client from holding the test.
constexpr std::chrono::seconds kAnswerTimeout{20};

// base64Bytes decodes the control's Base64 text (lines of 64 characters) with OpenSSL's
// decoder; empty when it is not Base64.
Bytes base64Bytes(const std::string& text) {
  Ptr<EVP_ENCODE_CTX> context(EVP_ENCODE_CTX_new());
  if (!context || text.size() > INT32_MAX) return {};
  Bytes out(text.size() * 3 / 4 + 3);
  int length = 0;
  int tail = 0;
  EVP_DecodeInit(context.get());
  if (EVP_DecodeUpdate(context.get(), out.data(), &length,
                       reinterpret_cast<const unsigned char*>(text.data()),
                       static_cast<int>(text.size())) < 0 ||
      EVP_DecodeFinal(context.get(), out.data() + length, &tail) != 1) {
    return {};
  }
  out.resize(static_cast<std::size_t>(length + tail));
  return out;
}

// certificateOfBag returns the DER of the one certificate of a bag given in Base64; empty when
// the text is no bag of exactly one certificate. The bag's own time changes with every answer,
// so certificates are compared, not bags. A bag read from the token is followed by the zero byte
// the control writes after it, hence no check for bytes after the bag.
Bytes certificateOfBag(const std::string& base64) {
  const Bytes der = base64Bytes(base64);
  const unsigned char* position = der.data();
  const fedi::RecordPtr<FEDICERT> bag(
      d2i_FEDICERT(nullptr, &position, static_cast<long>(der.size())));
  if (!bag || FEDICERT_get_num(bag.get()) != 1) return {};
  const fedi::RecordPtr<FEDI_X509> certificate(FEDICERT_get_cert(bag.get(), 0));
  const int length = certificate ? i2d_FEDI_X509(certificate.get(), nullptr) : 0;
  if (length <= 0) return {};
  Bytes out(static_cast<std::size_t>(length));
  unsigned char* write = out.data();
  return i2d_FEDI_X509(certificate.get(), &write) == length ? out : Bytes{};
}

// The certificates the clients' tokens stored, by serial number, shared by the clients.
class IssuedCertificates {
 public:
  void add(const std::string& serial, Bytes der) {
    const std::lock_guard lock(mutex_);
    serials_.push_back(serial);
    der_[serial] = std::move(der);
  }
  // pick returns one of the serial numbers issued so far.
  std::string pick(std::minstd_rand& random) const {
    const std::lock_guard lock(mutex_);
    return serials_[random() % serials_.size()];
  }
  Bytes der(const std::string& serial) const {
    const std::lock_guard lock(mutex_);
    const auto found = der_.find(serial);
    return found == der_.end() ? Bytes{} : found->second;
  }
  void answered(const std::string& serial) {
    const std::lock_guard lock(mutex_);
    queried_.insert(serial);
  }
  std::map<std::string, Bytes> all() const {
    const std::lock_guard lock(mutex_);
    return der_;
  }
  std::set<std::string> queried() const {
    const std::lock_guard lock(mutex_);
    return queried_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> serials_;
  std::map<std::string, Bytes> der_;
  std::set<std::string> queried_;
};

struct Client {
  std::string sid1;
  std::string sid2;
  std::string pass;
  std::unique_ptr<SoftHsm> hsm;
  int newCertificates = 0;
  int queries = 0;
  std::string failure;  // the first call that failed; empty when none did
};

struct Authority {
  std::string dir;
  std::string url;
  std::string bag;
};

// driveClient takes one host through its share of the load; it stops at the first failure,
// which it records in the client.
void driveClient(int index, Client& client, const Authority& authority, IssuedCertificates& issued,
                 const std::string& errorPath) {
  ScriptProcess host;
  std::string why;
  if (!host.start(KESTRUNE_HOST_PATH, client.hsm->dir() + "/softhsm2.conf", errorPath, why)) {
    client.failure = why;
    return;
  }
  // call makes one call; an answer that is not lastError 0 without message boxes fails it.
  const auto call = [&](const Json& line) -> std::optional<Json> {
    const std::string method = line.front().get<std::string>();
    std::optional<Json> answer = host.call(line, kAnswerTimeout, why);
    if (!answer) {
      client.failure = method + ": " + why;
    } else if (!answer->is_object() || answer->value("method", "") != method ||
               answer->value("lastError", -1) != 0 || answer->contains("messages")) {
      client.failure = method + " answered " + answer->dump();
      answer.reset();
    }
    return answer;
  };
  const auto textResult = [](const Json& answer) {
    const auto result = answer.find("result");
    return result != answer.end() && result->is_string() ? result->get<std::string>() : "";
  };

  const std::vector<Json> setup = {
      Json::array({"setTestVersion", 1}),
      Json::array({"loadLib", softHsmModule()}),
      Json::array({"checkPassword", kUserPin}),
      Json::array({"loadCACertB64", authority.bag}),
  };
  for (const Json& line : setup) {
    if (!call(line)) return;
  }
  std::minstd_rand random(static_cast<std::minstd_rand::result_type>(index + 1));
  for (int round = 0; round < kNewCertificatesPerClient; ++round) {
    // An enrolment admits one new certificate, and a key gets one: each round enrols the holder
    // again and makes a fresh key on the token.
    std::string error;
    if (ca::enrolHolder(authority.dir, client.sid1, client.sid2, client.pass, &error) !=
        ca::AuthorityResult::ok) {
      client.failure = "enrol: " + error;
      return;
    }
    if (!call(Json::array({"makeCard", client.sid1, client.sid2}))) return;
    if (!call(Json::array({"newCertificate", authority.url, client.pass}))) return;
    ++client.newCertificates;
    const auto serial = call(Json::array({"getCSN"}));
    const auto stored = serial ? call(Json::array({"getCertB64"})) : std::nullopt;
    if (!stored) return;
    const std::string csn = textResult(*serial);
    Bytes der = certificateOfBag(textResult(*stored));
    if (csn.empty() || der.empty()) {
      client.failure =
          "after newCertificate: getCSN " + serial->dump() + ", getCertB64 " + stored->dump();
      return;
    }
    issued.add(csn, std::move(der));
    for (int query = 0; query < kQueriesPerNewCertificate; ++query) {
      // First the certificate just issued, then any issued so far, most often another client's.
      const std::string asked = query == 0 ? csn : issued.pick(random);
      const auto answer = call(Json::array(
          {"queryB64Certificate", authority.url, fedi::kTestCasid1, fedi::kTestCasid2, asked}));
      if (!answer) return;
      ++client.queries;
      if (certificateOfBag(textResult(*answer)) != issued.der(asked)) {
        client.failure = "queryB64Certificate " + asked + " answered another certificate";
        return;
      }
      issued.answered(asked);
    }
  }
  if (const int status = host.finish(kAnswerTimeout); status != 0) {
    client.failure = "the host exited with status " + std::to_string(status);
  }
}

// runClient drives the client's host and adds, to a failure, the end of what the host wrote on
// its standard error (a sanitizer's report, say) before its folder goes.
void runClient(int index, Client& client, const Authority& authority, IssuedCertificates& issued) {
  constexpr std::size_t kErrorTail = 4000;
  const std::string errorPath = client.hsm->dir() + "/host.err";
  driveClient(index, client, authority, issued, errorPath);
  if (client.failure.empty()) return;
  std::ifstream in(errorPath, std::ios::binary);
  const std::string error{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (!error.empty()) {
    client.failure += "\nhost's standard error:\n" +
                      error.substr(error.size() > kErrorTail ? error.size() - kErrorTail : 0);
  }
}

// keptCertificates reads every holder certificate of the authority's database, by serial.
std::map<std::string, Bytes> keptCertificates(const std::string& databasePath) {
  std::map<std::string, Bytes> kept;
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(databasePath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, sqlite3_close);
  if (opened != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << databasePath;
    return kept;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db.get(),
                         "SELECT serial, der FROM certificates WHERE is_authority = 0 "
                         "ORDER BY serial",
                         -1, &statement, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(db.get());
    return kept;
  }
  const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> select(statement,
                                                                          sqlite3_finalize);
  int rc = SQLITE_ROW;
  while ((rc = sqlite3_step(select.get())) == SQLITE_ROW) {
    const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(select.get(), 1));
    const int size = sqlite3_column_bytes(select.get(), 1);
    kept[std::to_string(sqlite3_column_int64(select.get(), 0))] =
        blob == nullptr ? Bytes{} : Bytes(blob, blob + size);
  }
  EXPECT_EQ(SQLITE_DONE, rc) << sqlite3_errmsg(db.get());
  return kept;
}

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(CaLoad, ConcurrentClientsGetAndFindEveryCertificate) {
  const auto setupStart = Clock::now();
  // An array ends its elements last to first, so each token folder puts back the SOFTHSM2_CONF
  // it found.
  std::array<Client, kClients> clients;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    clients[i].sid1 = "LOADUSER" + std::to_string(i);
    clients[i].sid2 = "8800000" + std::to_string(i);
    clients[i].hsm = std::make_unique<SoftHsm>(1);
    ASSERT_FALSE(clients[i].hsm->dir().empty());
  }
  const std::string authorityDir = clients[0].hsm->dir() + "/authority";
  std::string error;
  ASSERT_EQ(ca::AuthorityResult::ok, ca::initAuthority(authorityDir, {}, &error)) << error;
  for (Client& client : clients) {
    ASSERT_EQ(ca::AuthorityResult::ok,
              ca::enrolHolder(authorityDir, client.sid1, client.sid2, client.pass, &error))
        << error;
  }
  ca::AuthorityServer server;
  ASSERT_EQ(ca::AuthorityResult::ok, server.start(authorityDir, "127.0.0.1", 0, {}, &error))
      << error;
  Authority authority{authorityDir, server.initiationUrl(), {}};
  ASSERT_EQ(ca::AuthorityResult::ok, ca::authorityBagBase64(authorityDir, authority.bag, &error))
      << error;
  const double setupMs = millisecondsSince(setupStart);

  IssuedCertificates issued;
  const auto loadStart = Clock::now();
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kClients; ++i) {
      threads.emplace_back(
          [&, i] { runClient(i, clients[static_cast<std::size_t>(i)], authority, issued); });
    }
  }
  const double loadMs = millisecondsSince(loadStart);
  server.stop();

  int newCertificates = 0;
  int queries = 0;
  for (const Client& client : clients) {
    SCOPED_TRACE(client.sid1);
    EXPECT_EQ("", client.failure);
    EXPECT_EQ(kNewCertificatesPerClient, client.newCertificates);
    EXPECT_EQ(kNewCertificatesPerClient * kQueriesPerNewCertificate, client.queries);
    newCertificates += client.newCertificates;
    queries += client.queries;
  }
  std::printf(
      "[   load   ] %d clients: %d newCertificate and %d queryB64Certificate in %.0f ms "
      "(set-up %.0f ms)\n",
      kClients, newCertificates, queries, loadMs, setupMs);
  ::testing::Test::RecordProperty("load_ms", static_cast<int>(loadMs));

  // Every certificate a token stored is kept under its serial number, and nothing else was
  // issued: a certificate issued but never delivered would be kept without being stored.
  const std::map<std::string, Bytes> stored = issued.all();
  EXPECT_EQ(static_cast<std::size_t>(kClients * kNewCertificatesPerClient), stored.size());
  const std::map<std::string, Bytes> kept = keptCertificates(authorityDir + "/authority.db");
  EXPECT_EQ(stored.size(), kept.size());
  for (const auto& [serial, der] : stored) {
    SCOPED_TRACE("serial " + serial);
    const auto found = kept.find(serial);
    ASSERT_NE(kept.end(), found);
    EXPECT_EQ(der, found->second);
  }
  // And each of them was answered by queryB64Certificate.
  const std::set<std::string> answered = issued.queried();
  for (const auto& entry : stored) EXPECT_TRUE(answered.count(entry.first)) << entry.first;
}

}  // namespace
}  // namespace kestrune::testing
