// The agent's session process, run as the agent runs it: module names instead of paths, files
// kept in the origin's folder, and a session that goes on past a refused or malformed line.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "FEDIX509/builtin_ca_records.h"
#include "ca/issuing.h"
#include "tests/ca/test_authority.h"
#include "platform/child_process.h"
#include "tests/host/host_runner.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

using Bytes = std::vector<std::uint8_t>;

// A certificate of the test authority in a bag, as loadCACert and loadCert read it.
Bytes bagOf(const ca::CertificateSpec& spec) {
  const auto certificate = ca::issueCertificate(spec, ca::test::testCaKey());
  EXPECT_TRUE(certificate);
  if (!certificate) return {};
  FEDI_X509* const certificates[] = {certificate.get()};
  const auto bag = ca::makeBag(certificates);
  EXPECT_TRUE(bag);
  return bag ? ca::toDer(*bag) : Bytes{};
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Json refused() {
  return Json{{"kind", "refused"}};
}
Json badCall() {
  return Json{{"kind", "bad-call"}};
}
Json answer(const char* method, int result) {
  return Json{{"method", method}, {"result", result}, {"lastError", result}};
}

// A fault answer is compared by its kind: the reasons are for people.
Json comparable(Json line) {
  if (line.contains("fault")) line.erase("fault");
  return line;
}

class AgentWorkerHost : public ::testing::Test {
 protected:
  AgentWorkerHost() {
    fs::create_directories(origin_);
    fs::create_directories(config_ + "/kestrune");
    // The user's own name for the same module, beside p11-kit's.
    std::ofstream(config_ + "/kestrune/agent.json")
        << Json{{"modules", {{"my-token", softHsmModule()}}}}.dump();
    writeFile(origin_ + "/ca.der", bagOf(ca::test::authoritySpec()));
  }

  // holdCertificate gives the token a key pair and puts a certificate of its key in the
  // origin's folder as current.cer: the calls that load it and read it back then succeed.
  Bytes holdCertificate() {
    hsm_.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
    ca::CertificateSpec spec = ca::test::holderSpec();
    spec.subjectKey = ca::RsaPublicParts{hsm_.attribute(0, "FEDICA.pubkey", CKA_MODULUS),
                                         hsm_.attribute(0, "FEDICA.pubkey", CKA_PUBLIC_EXPONENT)};
    const Bytes bag = bagOf(spec);
    writeFile(origin_ + "/current.cer", bag);
    return bag;
  }

  std::vector<Json> run(const std::vector<std::string>& calls) {
    std::string input;
    for (const std::string& call : calls) input += call + "\n";
    const HostRun host = runHost({"agent-worker", "--origin-folder", origin_}, input,
                                 {{"XDG_CONFIG_HOME", config_}});
    EXPECT_EQ(0, host.status) << host.err;
    EXPECT_EQ(std::string::npos, host.out.find(kUserPin));
    std::vector<Json> answers;
    for (const std::string& line : lines(host.out)) {
      answers.push_back(comparable(Json::parse(line, nullptr, false)));
    }
    return answers;
  }

  SoftHsm hsm_;
  TempDir dir_;
  const std::string origin_ = dir_.path() + "/origin";
  const std::string config_ = dir_.path() + "/config";
};

TEST_F(AgentWorkerHost, LoadsModulesByNameAndKeepsFilesInTheOriginsFolder) {
  const std::vector<Json> answers = run({
      R"(["loadLib", "/usr/lib/softhsm/libsofthsm2.so"])",
      R"(["loadLib", "softhsm2"])",
      Json::array({"checkPassword", kUserPin}).dump(),
      "not json",
      R"(["setTestVersion", 1])",
      R"(["loadCACert", "../origin/ca.der"])",
      Json::array({"loadCACert", origin_ + "/ca.der"}).dump(),
      R"(["loadCACert", "ca.der"])",
      R"(["getCert", "/tmp/kestrune-agent-worker.cer"])",
      R"(["getErrorCode"])",
  });
  const std::vector<Json> expected = {
      refused(),
      answer("loadLib", 0),
      answer("checkPassword", 0),
      badCall(),
      Json{{"method", "setTestVersion"}, {"lastError", 0}},
      refused(),
      refused(),
      answer("loadCACert", 0),
      refused(),
      answer("getErrorCode", 0),
  };
  EXPECT_EQ(expected, answers);
  EXPECT_FALSE(fs::exists("/tmp/kestrune-agent-worker.cer"));
}

// The files are read and written where the page named them; a file the control writes is
// the user's alone, and one a failed call never wrote is not left behind.
TEST_F(AgentWorkerHost, ReadsAndWritesTheFilesOfTheOriginsFolder) {
  const Bytes current = holdCertificate();
  ASSERT_FALSE(current.empty());
  std::ofstream(origin_ + "/old.cer") << "an older copy, longer than the certificate";
  const std::vector<Json> answers = run({
      R"(["loadLib", "softhsm2"])",
      Json::array({"checkPassword", kUserPin}).dump(),
      R"(["setTestVersion", 1])",
      R"(["loadCACert", "ca.der"])",
      R"(["loadCert", "current.cer"])",
      R"(["getCert", "out.cer"])",
      R"(["getCert", "old.cer"])",
      R"(["getNewCert", "new.cer"])",
  });
  ASSERT_EQ(8u, answers.size());
  EXPECT_EQ(answer("loadCACert", 0), answers[3]);
  EXPECT_EQ(answer("loadCert", 0), answers[4]);
  EXPECT_EQ(answer("getCert", 0), answers[5]);
  EXPECT_EQ(answer("getCert", 0), answers[6]);
  // No renewal is parked on the token: the call fails before it writes.
  EXPECT_EQ("getNewCert", answers[7].value("method", ""));
  EXPECT_NE(0, answers[7].value("lastError", 0));

  Bytes stored = current;
  stored.push_back(0);  // the token's value, trailing zero byte included
  EXPECT_EQ(stored, readFile(origin_ + "/out.cer"));
  EXPECT_EQ(stored, readFile(origin_ + "/old.cer"));
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
            fs::status(origin_ + "/out.cer").permissions());
  EXPECT_FALSE(fs::exists(origin_ + "/new.cer"));
}

// Every way out of the folder is refused before the control runs, though the same calls on
// a file of the folder's own succeed: the control, with a certificate to write, never writes
// through a second name, a link or a linked folder, and never waits on a pipe.
TEST_F(AgentWorkerHost, RefusesEveryWayOutBeforeTheControlRuns) {
  ASSERT_FALSE(holdCertificate().empty());
  const std::string outside = dir_.path() + "/outside.cer";
  std::ofstream(outside) << "outside";
  fs::create_hard_link(outside, origin_ + "/hard.cer");
  fs::create_symlink(outside, origin_ + "/link.cer");
  fs::create_directory_symlink(dir_.path(), origin_ + "/up");
  fs::create_directory(origin_ + "/sub");
  ASSERT_EQ(0, ::mkfifo((origin_ + "/pipe").c_str(), 0600));
  const std::vector<Json> answers = run({
      R"(["loadLib", "softhsm2"])",
      Json::array({"checkPassword", kUserPin}).dump(),
      R"(["setTestVersion", 1])",
      R"(["loadCACert", "ca.der"])",
      R"(["loadCert", "current.cer"])",
      R"(["getCert", "hard.cer"])",
      R"(["getCert", "link.cer"])",
      R"(["getCert", "up/outside.cer"])",
      R"(["getNewCert", "up/renewal.cer"])",
      R"(["makeRequestCert", 2, "hard.cer", ""])",
      R"(["loadCert", "pipe"])",
      R"(["loadCACert", "sub"])",
      R"(["getCert", "sub"])",
      R"(["getErrorCode"])",
      R"(["getCert", "out.cer"])",
  });
  const std::vector<Json> expected = {
      answer("loadLib", 0),
      answer("checkPassword", 0),
      Json{{"method", "setTestVersion"}, {"lastError", 0}},
      answer("loadCACert", 0),
      answer("loadCert", 0),
      refused(),
      refused(),
      refused(),
      refused(),
      refused(),
      refused(),
      refused(),
      refused(),
      answer("getErrorCode", 0),  // no refused call reached the control
      answer("getCert", 0),
  };
  EXPECT_EQ(expected, answers);
  EXPECT_EQ((Bytes{'o', 'u', 't', 's', 'i', 'd', 'e'}), readFile(outside));
  EXPECT_FALSE(fs::exists(dir_.path() + "/renewal.cer"));
  EXPECT_TRUE(fs::is_fifo(origin_ + "/pipe"));
}

TEST_F(AgentWorkerHost, LoadsTheUsersOwnModuleName) {
  const std::vector<Json> answers = run({
      R"(["loadLib", "my-token"])",
      Json::array({"checkPassword", kUserPin}).dump(),
      R"(["loadLib", "no-such-module"])",
      "",
  });
  const std::vector<Json> expected = {
      answer("loadLib", 0),
      answer("checkPassword", 0),
      refused(),
      badCall(),
  };
  EXPECT_EQ(expected, answers);
}

// As the agent runs it: a child of its own session, spoken to a line at a time.
TEST_F(AgentWorkerHost, AnswersLineByLineAsTheAgentsChild) {
  platform::ChildProcess worker;
  std::string why;
  ASSERT_TRUE(worker.start({KESTRUNE_HOST_PATH, "agent-worker", "--origin-folder", origin_},
                           {{"XDG_CONFIG_HOME", config_}}, origin_, false, why))
      << why;
  const auto call = [&](const std::string& line) {
    EXPECT_EQ(platform::ChildProcess::Status::ok, worker.writeLine(line));
    std::string answer;
    EXPECT_EQ(platform::ChildProcess::Status::ok,
              worker.readLine(answer, std::chrono::seconds(30), 1 << 20));
    return comparable(Json::parse(answer, nullptr, false));
  };
  EXPECT_EQ(answer("loadLib", 0), call(R"(["loadLib", "softhsm2"])"));
  EXPECT_EQ(refused(), call(R"(["getCert", "../escape.cer"])"));
  EXPECT_EQ(answer("checkPassword", 0), call(Json::array({"checkPassword", kUserPin}).dump()));
  worker.closeInput();
  std::string rest;
  EXPECT_EQ(platform::ChildProcess::Status::ended,
            worker.readLine(rest, std::chrono::seconds(30), 1 << 20));
  worker.stop(std::chrono::seconds(5));
}

TEST(AgentWorkerHostStart, RefusesAnOriginFolderThatIsNotAnAbsoluteFolder) {
  for (const char* folder : {"relative/folder", "/nonexistent/kestrune/origin"}) {
    SCOPED_TRACE(folder);
    const HostRun host = runHost({"agent-worker", "--origin-folder", folder}, "[\"getSID1\"]\n");
    EXPECT_EQ(2, host.status);
    EXPECT_EQ("", host.out);
  }
}

}  // namespace
}  // namespace kestrune::testing
