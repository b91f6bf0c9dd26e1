// The fedi-ca executable as an integrator runs it: init, enrol, ca-cert, then serve, which
// prints its initiation URL on the first line and stops cleanly on SIGTERM.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/bio.h>
#include <openssl/pem.h>

#include <fstream>
#include <iterator>
#include <string>

#include "common/ptr.h"
#include "platform/authority_os.h"
#include "serve_process.h"
#include "server_fixture.h"
#include "test_authority.h"
#include "token/base64.h"

namespace kestrune::ca::test {
namespace {

// The command line follows the platform's tools: --version, the short usage when no command
// is given, and an unknown command named with the nearest known one.
TEST(FediCaCommand, VersionUsageAndUnknownCommands) {
  const CommandRun version = fediCa("--version");
  EXPECT_EQ(0, version.status);
  EXPECT_EQ("fedi-ca " FEDI_CA_TEST_VERSION "\n", version.output);

  const std::string usage =
      "Usage: fedi-ca COMMAND [OPTIONS] [ARGUMENTS]\n"
      "Commands: init, serve, enrol, ca-cert, list, holders, revoke\n";
  struct Case {
    const char* arguments;
    const char* firstLine;
  } const cases[] = {
      {"", "Usage: fedi-ca COMMAND [OPTIONS] [ARGUMENTS]\n"},
      {"frobnicate", "fedi-ca: unknown command 'frobnicate'\n"},
      {"holder", "fedi-ca: unknown command 'holder'; did you mean 'holders'?\n"},
      {"enroll", "fedi-ca: unknown command 'enroll'; did you mean 'enrol'?\n"},
      {"revokee", "fedi-ca: unknown command 'revokee'; did you mean 'revoke'?\n"},
      {"--dir x", "fedi-ca: unknown option '--dir'; a command is wanted here\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    // Standard error alone, on standard output.
    const CommandRun run = fediCa(std::string(c.arguments) + " 2>&1 >/dev/null");
    EXPECT_EQ(2, run.status);
    EXPECT_EQ(0u, run.output.find(c.firstLine)) << run.output;
    EXPECT_NE(std::string::npos, run.output.find(usage)) << run.output;
  }
}

TEST(FediCaCommand, InitEnrolCaCertServeAndStopOnSigterm) {
  TempDir dir;
  const std::string authority = dir.file("authority");
  EXPECT_EQ(0, fediCa("init --dir " + authority).status);
  EXPECT_EQ(1, fediCa("init --dir " + authority).status);  // never over an existing one
  EXPECT_EQ(2, fediCa("init").status);

  const CommandRun enrolled = fediCa("enrol --dir " + authority + " U001 ORG01");
  ASSERT_EQ(0, enrolled.status);
  const std::string pass = enrolled.output.substr(0, enrolled.output.find('\n'));
  EXPECT_EQ(20u, pass.size());
  EXPECT_EQ(1, fediCa("enrol --dir " + dir.file("nowhere") + " U001 ORG01").status);

  const CommandRun caCert = fediCa("ca-cert --dir " + authority);
  ASSERT_EQ(0, caCert.status);
  Bytes bag;
  ASSERT_TRUE(token::text_Base64Decode(caCert.output, bag));
  const unsigned char* pos = bag.data();
  const BagPtr decoded(d2i_FEDICERT(nullptr, &pos, static_cast<long>(bag.size())));
  EXPECT_TRUE(sameKey(firstCertificate(decoded.get()).get(), testCaRecordKey()));

  ServeProcess serve(authority);
  const std::string url = serve.firstLine();
  ASSERT_EQ(0u, url.find("http://127.0.0.1:")) << url;
  ASSERT_EQ(url.size() - 10, url.find("/fedi/init")) << url;
  const std::string base = url.substr(0, url.size() - 10);
  httplib::Client client(base);
  const auto init = client.Get("/fedi/init");
  ASSERT_TRUE(init);
  EXPECT_EQ("FEDI-SET-URL: " + base + "/fedi/msg\r\nFEDI-CASID: TESTCA1\r\n", init->body);

  // The pass phrase the command printed is the one the server checks.
  KeyPtr key = generateRsaKey(1024);
  auto request = newRequest(key.get(), "U001", "ORG01", pass);
  const Exchange issued =
      postBody(base + "/fedi/msg", requestMessage(FEDI_CT_NEW_CERT_REQ, request.get()).der);
  EXPECT_EQ(FEDI_CT_NEW_CERT, issued.type()) << "refusal " << issued.status();

  EXPECT_EQ(0, serve.terminate());
}

}  // namespace
}  // namespace kestrune::ca::test

namespace kestrune::ca::test {
namespace {

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FediCaCommand, OperatorListsHoldersRevokesAndReadsOneLogLinePerRequest) {
  TempDir dir;
  const std::string authority = dir.file("authority");
  const std::string log = dir.file("requests.log");
  ASSERT_EQ(0, fediCa("init --dir " + authority).status);
  const CommandRun enrolled = fediCa("enrol --dir " + authority + " U001 ORG01");
  ASSERT_EQ(0, enrolled.status);
  const std::string pass = enrolled.output.substr(0, enrolled.output.find('\n'));

  {
    ServeProcess serve(authority, {"--log", log, "--public-url", "https://ca.example:8443/"});
    const std::string url = serve.firstLine();
    ASSERT_NE(0, serve.port()) << url;
    httplib::Client client("127.0.0.1", serve.port());
    // The announced URL is the public one, whatever Host the client names.
    const auto init = client.Get("/fedi/init", {{"Host", "attacker.example"}});
    ASSERT_TRUE(init);
    EXPECT_EQ(0u, init->body.find("FEDI-SET-URL: https://ca.example:8443/fedi/msg\r\n"))
        << init->body;
    KeyPtr key = generateRsaKey(1024);
    const std::string messages = "http://127.0.0.1:" + std::to_string(serve.port()) + "/fedi/msg";
    const Exchange issued = postBody(
        messages,
        requestMessage(FEDI_CT_NEW_CERT_REQ, newRequest(key.get(), "U001", "ORG01", pass).get())
            .der);
    EXPECT_EQ(FEDI_CT_NEW_CERT, issued.type()) << "refusal " << issued.status();
    const Exchange wrong = postBody(
        messages,
        requestMessage(FEDI_CT_NEW_CERT_REQ, newRequest(key.get(), "U001", "ORG01", "nope").get())
            .der);
    EXPECT_EQ(4, wrong.status());
    EXPECT_EQ(0, serve.terminate());
  }

  const std::string lines = fileText(log);
  EXPECT_NE(std::string::npos, lines.find(" client=127.0.0.1 request=initiation outcome=answered"))
      << lines;
  EXPECT_NE(std::string::npos,
            lines.find(" request=new-certificate holder=ORG01/U001 outcome=answered serial=2 "
                       "http=200"))
      << lines;
  EXPECT_NE(std::string::npos,
            lines.find(" request=new-certificate holder=ORG01/U001 outcome=refused status=4 "
                       "reason=\"the holder is not enrolled or the MAC is wrong\" http=200"))
      << lines;
  EXPECT_EQ(std::string::npos, lines.find(pass));
  EXPECT_EQ(0600, platform::fileMode(log.c_str()));

  EXPECT_NE(std::string::npos, fediCa("list --dir " + authority)
                                   .output.find("2 in-force holder "
                                                "ORG01/U001"));
  EXPECT_NE(std::string::npos,
            fediCa("holders --dir " + authority).output.find("ORG01/U001 pass-spent"));
  EXPECT_EQ(0, fediCa("revoke --dir " + authority + " 2 --reason 'key lost'").status);
  EXPECT_NE(std::string::npos, fediCa("list --dir " + authority).output.find("2 revoked holder"));
  EXPECT_EQ(1, fediCa("revoke --dir " + authority + " 2").status);   // revoked already
  EXPECT_EQ(1, fediCa("revoke --dir " + authority + " 1").status);   // the authority's own
  EXPECT_EQ(1, fediCa("revoke --dir " + authority + " 99").status);  // never issued
  EXPECT_EQ(2, fediCa("revoke --dir " + authority).status);
}

TEST(FediCaCommand, ServingWithThePublishedTestKeyWarnsThatItIsATestAuthority) {
  TempDir dir;
  const std::string test = dir.file("test");
  const std::string own = dir.file("own");
  ASSERT_EQ(0, fediCa("init --dir " + test).status);
  ASSERT_EQ(0, fediCa("init --generate-key --dir " + own).status);
  const auto stderrOfServe = [](const std::string& folder) {
    std::string text;
    const std::string command = "timeout -s TERM 1 " + std::string(FEDI_CA_PATH) +
                                " serve --listen 127.0.0.1:0 --dir " + folder + " 2>&1 >/dev/null";
    if (FILE* pipe = popen(command.c_str(), "r")) {
      char line[512];
      while (std::fgets(line, sizeof line, pipe) != nullptr) text += line;
      pclose(pipe);
    }
    return text;
  };
  EXPECT_NE(std::string::npos, stderrOfServe(test).find("TEST authority"));
  const std::string ownText = stderrOfServe(own);
  EXPECT_NE(std::string::npos, ownText.find("serving")) << ownText;
  EXPECT_EQ(std::string::npos, ownText.find("TEST authority"));
}

// What init says of its key, so that nobody takes a test authority for a real one.
TEST(FediCaCommand, InitSaysWhichKeyItUsed) {
  TempDir dir;
  const std::string pem = dir.file("own-key.pem");
  {
    const Ptr<BIO> bio(BIO_new_file(pem.c_str(), "w"));
    ASSERT_NE(nullptr, bio);
    ASSERT_EQ(
        1, PEM_write_bio_PrivateKey(bio.get(), holderKey(), nullptr, nullptr, 0, nullptr, nullptr));
  }
  const std::string testPem = testDataPath("test_ca_key.pem");
  struct Case {
    std::string arguments;
    std::string says;
    bool testWarning;
  } const cases[] = {
      {"", "with the published test key (for tests only", true},
      {"--generate-key --bits 1024", "with a freshly generated 1024-bit RSA key", false},
      {"--key " + pem, "with the key of " + pem + "\n", false},
      {"--key " + testPem, "with the key of " + testPem + ", which is the published test key",
       true},
  };
  int made = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    const CommandRun run = fediCa("init --dir " + dir.file(("a" + std::to_string(++made)).c_str()) +
                                  " " + c.arguments + " 2>&1");
    EXPECT_EQ(0, run.status) << run.output;
    EXPECT_NE(std::string::npos, run.output.find(c.says)) << run.output;
    EXPECT_EQ(c.testWarning, run.output.find("TEST authority") != std::string::npos) << run.output;
  }
}

// An authority whose key everyone has serves this machine only, unless told otherwise; where it
// listens is said as it is.
TEST(FediCaCommand, TheTestKeyListensBeyondTheLoopbackOnlyWithAllowRemote) {
  TempDir dir;
  const std::string test = dir.file("test");
  const std::string own = dir.file("own");
  ASSERT_EQ(0, fediCa("init --dir " + test).status);
  ASSERT_EQ(0, fediCa("init --generate-key --dir " + own).status);

  for (const char* listen :
       {"0.0.0.0:0", "[::]:0", "192.0.2.1:0", "ca.example:0", "127.0.0.1.example:0"}) {
    SCOPED_TRACE(listen);
    const CommandRun refused = fediCa("serve --dir " + test + " --listen " + listen + " 2>&1");
    EXPECT_EQ(1, refused.status) << refused.output;
    EXPECT_NE(std::string::npos,
              refused.output.find("refusing to listen on " + std::string(listen)))
        << refused.output;
    EXPECT_NE(std::string::npos, refused.output.find("--allow-remote")) << refused.output;
  }

  struct Case {
    const char* name;
    std::string dir;
    std::vector<std::string> extra;
    std::string listen;
    bool remoteWarning;
  } const cases[] = {
      {"the test key, allowed", test, {"--allow-remote"}, "0.0.0.0:0", true},
      {"a key of its own", own, {}, "0.0.0.0:0", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string errors = dir.file((std::string("serve-") + c.name + ".err").c_str());
    ServeProcess serve(c.dir, c.extra, c.listen, errors);
    const std::string url = serve.firstLine();
    ASSERT_NE(0, serve.port()) << url;
    const std::string port = std::to_string(serve.port());
    EXPECT_EQ("http://127.0.0.1:" + port + "/fedi/init", url);
    httplib::Client client("127.0.0.1", serve.port());
    const auto answer = client.Get("/fedi/init");
    ASSERT_TRUE(answer);
    EXPECT_EQ(200, answer->status);
    EXPECT_EQ(0, serve.terminate());
    std::ifstream file(errors);
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    EXPECT_NE(std::string::npos, text.find("listening on 0.0.0.0:" + port +
                                           ", every IPv4 interface; local URL " + url))
        << text;
    EXPECT_NE(std::string::npos, text.find("reaches this machine only; give --public-url")) << text;
    EXPECT_EQ(c.remoteWarning,
              text.find("beyond this machine with the published test key") != std::string::npos)
        << text;
  }

  // On the loopback nothing is in question, and the address is the one bound.
  const std::string errors = dir.file("loopback.err");
  ServeProcess serve(test, {}, "localhost:0", errors);
  const std::string url = serve.firstLine();
  ASSERT_NE(0, serve.port()) << url;
  EXPECT_EQ(0, serve.terminate());
  std::ifstream file(errors);
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  const std::string bound = url.find("[::1]") != std::string::npos ? "[::1]" : "127.0.0.1";
  EXPECT_EQ("http://" + bound + ":" + std::to_string(serve.port()) + "/fedi/init", url);
  EXPECT_NE(std::string::npos,
            text.find("listening on " + bound + ":" + std::to_string(serve.port()) + "\n"))
      << text;
  EXPECT_EQ(std::string::npos, text.find("every IPv4")) << text;
}

}  // namespace
}  // namespace kestrune::ca::test
