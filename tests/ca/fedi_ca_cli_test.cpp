// The fedi-ca executable as an integrator runs it: init, enrol, ca-cert, then serve, which
// prints its initiation URL on the first line and stops cleanly on SIGTERM.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "server_fixture.h"
#include "test_authority.h"
#include "token/base64.h"

extern char** environ;

namespace kestrune::ca::test {
namespace {

struct CommandRun {
  int status = -1;
  std::string output;  // standard output only
};

CommandRun fediCa(const std::string& arguments) {
  CommandRun result;
  if (FILE* pipe = popen((std::string(FEDI_CA_PATH) + " " + arguments).c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) result.output += line;
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return result;
}

// A `fedi-ca serve` child whose standard output comes through a pipe.
class ServeProcess {
 public:
  explicit ServeProcess(const std::string& dir) {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::string program = FEDI_CA_PATH;
    std::string serve = "serve";
    std::string dirFlag = "--dir";
    std::string dirValue = dir;
    std::string listenFlag = "--listen";
    std::string listenValue = "127.0.0.1:0";
    char* argv[] = {program.data(),    serve.data(),       dirFlag.data(), dirValue.data(),
                    listenFlag.data(), listenValue.data(), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    output_ = fdopen(fds[0], "r");
  }
  ~ServeProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ != nullptr) std::fclose(output_);
  }

  std::string firstLine() {
    char line[512] = {};
    if (output_ == nullptr || std::fgets(line, sizeof line, output_) == nullptr) return {};
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }

  // terminate sends SIGTERM and returns the exit status, or -1 when the child does not end
  // within five seconds (it is then killed).
  int terminate() {
    kill(pid_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  FILE* output_ = nullptr;
};

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
  std::unique_ptr<EVP_PKEY, HolderKeyFree> key(generateRsaKey(1024).release());
  auto request = newRequest(key.get(), "U001", "ORG01", pass);
  const Exchange issued =
      postBody(base + "/fedi/msg", requestMessage(FEDI_CT_NEW_CERT_REQ, request.get()).der);
  EXPECT_EQ(FEDI_CT_NEW_CERT, issued.type()) << "refusal " << issued.status();

  EXPECT_EQ(0, serve.terminate());
}

}  // namespace
}  // namespace kestrune::ca::test
