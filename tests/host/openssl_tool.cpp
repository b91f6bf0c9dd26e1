#include "tests/host/openssl_tool.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kestrune::testing {
namespace {

// capture runs a shell command and returns its standard output.
std::string capture(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return {};
  std::string out;
  char buffer[256];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get()))
    out.append(buffer, n);
  return out;
}

}  // namespace

bool runOpenssl(const std::string& args) {
  return std::system(("openssl " + args + " >/dev/null 2>&1").c_str()) == 0;
}

SelfSigned makeSelfSigned(const std::string& dir, const std::string& stem,
                          const std::string& subject) {
  SelfSigned made{
      dir + "/" + stem + "-key.pem", dir + "/" + stem + ".pem", dir + "/" + stem + ".der", {}};
  const bool ok =
      runOpenssl("req -x509 -newkey rsa:1024 -nodes -days 30 -subj '" + subject + "' -keyout '" +
                 made.keyPem + "' -out '" + made.certPem + "'") &&
      runOpenssl("x509 -in '" + made.certPem + "' -outform DER -out '" + made.certDer + "'");
  if (!ok) {
    ADD_FAILURE() << "openssl could not make a certificate for " << subject;
    return {};
  }
  // "sha1 Fingerprint=AB:CD:...\n"
  const std::string line =
      capture("openssl x509 -in '" + made.certPem + "' -noout -fingerprint -sha1");
  for (std::size_t at = line.find('=') + 1; at < line.size(); ++at) {
    if (line[at] != ':' && line[at] != '\n') made.thumbprint.push_back(line[at]);
  }
  EXPECT_EQ(40u, made.thumbprint.size()) << line;
  return made;
}

}  // namespace kestrune::testing
