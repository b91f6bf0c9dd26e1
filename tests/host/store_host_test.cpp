// kestrune store: certificates made by the openssl command go into the system stores (folders
// under the test's own XDG_DATA_HOME and KESTRUNE_MACHINE_STORES), are listed and removed.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/ptr.h"
#include "tests/host/host_runner.h"
#include "tests/host/openssl_tool.h"
#include "tests/support/test_files.h"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

class StoreHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    certificate = makeSelfSigned(dir.path(), "user", "/CN=Store Test/O=Kestrune, Ltd/C=TW");
    ASSERT_FALSE(certificate.thumbprint.empty());
  }

  HostRun kestrune(const Args& args) {
    return runHost(args, {},
                   {{"XDG_DATA_HOME", dir.path() + "/data"},
                    {"XDG_CONFIG_HOME", dir.path() + "/config"},
                    {"KESTRUNE_MACHINE_STORES", dir.path() + "/machine"}});
  }

  std::string userStore(const std::string& name) const {
    return dir.path() + "/data/kestrune/stores/CurrentUser/" + name;
  }

  // columns: what store list shows after the store's name, from OpenSSL's reading of the
  // certificate (notAfter) and Windows' name text.
  std::string columns() const {
    const std::vector<std::uint8_t> der = readFile(certificate.certDer);
    const unsigned char* position = der.data();
    const Ptr<X509> x509(d2i_X509(nullptr, &position, static_cast<long>(der.size())));
    std::tm notAfter{};
    EXPECT_TRUE(x509 && ASN1_TIME_to_tm(X509_get0_notAfter(x509.get()), &notAfter) == 1);
    char time[32];
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &notAfter);
    const std::string name = "CN=Store Test, O=\"Kestrune, Ltd\", C=TW";
    return certificate.thumbprint + "\t" + name + "\t" + name + "\t" + time;
  }

  TempDir dir;
  SelfSigned certificate;
};

TEST_F(StoreHostTest, AddListAndRemoveRoundTrip) {
  const std::string thumbprint = certificate.thumbprint;
  HostRun run = kestrune({"store", "add", "--store", "My", certificate.certPem, "--provider",
                          "Card P", "--container", "key 1", "--key-spec", "signature"});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ(Args{thumbprint}, lines(run.out));
  // The stored bytes are the certificate's DER, whatever the file's form.
  EXPECT_EQ(readFile(certificate.certDer), readFile(userStore("My") + "/" + thumbprint + ".der"));
  const auto property =
      nlohmann::json::parse(readFile(userStore("My") + "/" + thumbprint + ".json"), nullptr, false);
  EXPECT_EQ(nlohmann::json({{"provider", "Card P"},
                            {"container", "key 1"},
                            {"providerType", 1},
                            {"keySpec", 2},
                            {"flags", 0}}),
            property);

  run =
      kestrune({"store", "add", "--store", "ca", certificate.certDer});  // store names ignore case
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ(Args{thumbprint}, lines(run.out));
  EXPECT_FALSE(fs::exists(userStore("CA") + "/" + thumbprint + ".json"));

  const std::string myLine = "My\t" + columns() + "\tCard P\tkey 1\tkeySpec 2";
  const std::string caLine = "CA\t" + columns();
  run = kestrune({"store", "list"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ((Args{myLine, caLine}), lines(run.out));
  run = kestrune({"store", "list", "--store", "My"});
  EXPECT_EQ(Args{myLine}, lines(run.out));

  std::string lowercase = thumbprint;
  for (char& c : lowercase) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  run = kestrune({"store", "remove", lowercase});  // My is the default store
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_FALSE(fs::exists(userStore("My") + "/" + thumbprint + ".der"));
  EXPECT_FALSE(fs::exists(userStore("My") + "/" + thumbprint + ".json"));
  run = kestrune({"store", "remove", "--store", "My", thumbprint});
  EXPECT_EQ(1, run.status);
  EXPECT_NE(std::string::npos, run.err.find("no certificate " + thumbprint)) << run.err;
  run = kestrune({"store", "list"});
  EXPECT_EQ(Args{caLine}, lines(run.out));
}

// A certificate file that can't be read is the command failing (1), with the file and the
// reason named: nothing but a regular file of at most 1 MiB is read, and a FIFO or a device
// never holds the command up.
TEST_F(StoreHostTest, AFileThatCannotBeReadFailsNamingIt) {
  const std::string fifo = dir.path() + "/pipe.pem";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const std::vector<std::uint8_t> pem = readFile(certificate.certPem);
  std::vector<std::uint8_t> huge(1 << 20, 'A');
  huge.push_back('\n');
  huge.insert(huge.end(), pem.begin(), pem.end());
  writeFile(dir.path() + "/huge.pem", huge);
  const std::string locked = dir.path() + "/locked.pem";
  writeFile(locked, pem);
  ASSERT_EQ(0, ::chmod(locked.c_str(), 0));
  struct Case {
    const char* what;
    std::string file;
    const char* why;
  };
  std::vector<Case> cases = {
      {"device", "/dev/zero", "a device, a FIFO or a socket"},
      {"FIFO", fifo, "a device, a FIFO or a socket"},
      {"folder", dir.path(), "a folder"},
      {"missing file", dir.path() + "/missing.der", "no such file"},
      {"over the bound", dir.path() + "/huge.pem", "larger than 1048576 bytes"},
  };
  // Permissions don't stop root.
  if (::geteuid() != 0) cases.push_back({"unreadable", locked, "permission denied"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const HostRun run = kestrune({"store", "add", "--store", "My", c.file});
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_NE(std::string::npos, run.err.find("cannot read " + c.file + ": ")) << run.err;
    EXPECT_NE(std::string::npos, run.err.find(c.why)) << run.err;
  }
  EXPECT_FALSE(fs::exists(userStore("My")));
}

// What another user may have written in a store is passed over, and said once: a key property
// naming another provider is not followed, a certificate not listed, a store folder not opened.
TEST_F(StoreHostTest, FilesOthersMayWriteArePassedOverAndSaid) {
  HostRun run = kestrune({"store", "add", "--store", "My", certificate.certPem, "--provider",
                          "Card", "--container", "key"});
  ASSERT_EQ(0, run.status) << run.err;
  const std::string der = userStore("My") + "/" + certificate.thumbprint + ".der";
  const std::string json = userStore("My") + "/" + certificate.thumbprint + ".json";
  const std::string owned = "My\t" + columns();
  const std::string withKey = owned + "\tCard\tkey\tkeySpec 1";
  const auto saidOnce = [](const std::string& err, const std::string& path) {
    const std::string line = "passed over " + path + ": other users may write it";
    const std::size_t first = err.find(line);
    return first != std::string::npos && err.find(line, first + 1) == std::string::npos;
  };
  struct Case {
    const char* what;
    std::string path;
    mode_t mode;
    mode_t usual;
    Args listed;
  } const cases[] = {
      {"world-writable property", json, 0666, 0600, {owned}},
      {"group-writable property", json, 0620, 0600, {owned}},
      {"world-writable certificate", der, 0602, 0600, {}},
      {"group-writable certificate", der, 0660, 0600, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(0, ::chmod(c.path.c_str(), c.mode));
    run = kestrune({"store", "list"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ(c.listed, lines(run.out));
    EXPECT_TRUE(saidOnce(run.err, c.path)) << run.err;
    ASSERT_EQ(0, ::chmod(c.path.c_str(), c.usual));
    run = kestrune({"store", "list"});
    EXPECT_EQ(Args{withKey}, lines(run.out));
    EXPECT_TRUE(run.err.empty()) << run.err;
  }

  // A store folder others may write is not opened at all.
  ASSERT_EQ(0, ::chmod(userStore("My").c_str(), 0770));
  run = kestrune({"store", "list", "--store", "My"});
  EXPECT_EQ(1, run.status);
  EXPECT_TRUE(run.out.empty()) << run.out;
  EXPECT_TRUE(saidOnce(run.err, userStore("My"))) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("access denied")) << run.err;
  ASSERT_EQ(0, ::chmod(userStore("My").c_str(), 0700));

  // A file of another user's, whatever its mode (only root can give one away).
  if (::geteuid() != 0) return;
  ASSERT_EQ(0, ::chown(json.c_str(), 65534, 65534));
  run = kestrune({"store", "list", "--store", "My"});
  EXPECT_EQ(Args{owned}, lines(run.out));
  EXPECT_TRUE(saidOnce(run.err, json)) << run.err;
  ASSERT_EQ(0, ::chown(der.c_str(), 65534, 65534));
  run = kestrune({"store", "list", "--store", "My"});
  EXPECT_TRUE(lines(run.out).empty()) << run.out;
  EXPECT_TRUE(saidOnce(run.err, der)) << run.err;
}

// A FIFO put in a store folder, under a certificate's name or as a certificate's property, is
// passed over: no reader waits on it for a writer that never comes.
TEST_F(StoreHostTest, FifosInAStoreFolderHangNoReader) {
  HostRun run = kestrune({"store", "add", "--store", "My", certificate.certPem});
  ASSERT_EQ(0, run.status) << run.err;
  const std::string planted = userStore("My") + "/" + std::string(40, '5') + ".der";
  const std::string property = userStore("My") + "/" + certificate.thumbprint + ".json";
  ASSERT_EQ(0, ::mkfifo(planted.c_str(), 0600));
  ASSERT_EQ(0, ::mkfifo(property.c_str(), 0600));
  run = kestrune({"store", "list", "--store", "My"});
  EXPECT_EQ(0, run.status) << run.err;
  const Args listed = lines(run.out);
  ASSERT_EQ(1u, listed.size()) << run.out;
  EXPECT_EQ(0u, listed.front().find("My\t" + certificate.thumbprint)) << listed.front();
}

// A copy of a stored certificate under another name is one certificate: listed once, and gone
// with every copy when it is removed.
TEST_F(StoreHostTest, ACopyUnderAnotherNameIsListedOnceAndRemovedWithIt) {
  HostRun run = kestrune({"store", "add", "--store", "My", certificate.certPem});
  ASSERT_EQ(0, run.status) << run.err;
  const std::string copy = userStore("My") + "/" + std::string(40, '1') + ".der";
  fs::copy_file(userStore("My") + "/" + certificate.thumbprint + ".der", copy);
  run = kestrune({"store", "list", "--store", "My"});
  EXPECT_EQ(1u, lines(run.out).size()) << run.out;

  // Only the copy left: it is the one listed, and the one removed.
  fs::remove(userStore("My") + "/" + certificate.thumbprint + ".der");
  run = kestrune({"store", "list", "--store", "My"});
  ASSERT_EQ(1u, lines(run.out).size()) << run.out;
  EXPECT_EQ(0u, lines(run.out).front().find("My\t" + certificate.thumbprint));
  run = kestrune({"store", "remove", certificate.thumbprint});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_FALSE(fs::exists(copy));
  run = kestrune({"store", "list", "--store", "My"});
  EXPECT_TRUE(lines(run.out).empty()) << run.out;

  // Both again: one removal takes both.
  run = kestrune({"store", "add", "--store", "My", certificate.certPem});
  ASSERT_EQ(0, run.status) << run.err;
  fs::copy_file(userStore("My") + "/" + certificate.thumbprint + ".der", copy);
  run = kestrune({"store", "remove", certificate.thumbprint});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_TRUE(lines(kestrune({"store", "list", "--store", "My"}).out).empty());
}

TEST_F(StoreHostTest, MachineStoresAreApart) {
  HostRun run = kestrune({"store", "add", "--store", "Root", certificate.certPem, "--location",
                          "LocalMachine", "--provider", "P", "--container", "C"});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_TRUE(fs::exists(dir.path() + "/machine/Root/" + certificate.thumbprint + ".der"));
  run = kestrune({"store", "list", "--location", "LocalMachine", "--store", "Root"});
  // A machine store's certificate names a key of the machine's key sets.
  EXPECT_EQ(Args{"Root\t" + columns() + "\tP\tC\tkeySpec 1"}, lines(run.out));
  EXPECT_EQ(nlohmann::json(32), nlohmann::json::parse(readFile(dir.path() + "/machine/Root/" +
                                                               certificate.thumbprint + ".json"))
                                    .at("flags"));
  run = kestrune({"store", "list"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_TRUE(run.out.empty()) << run.out;
}

TEST_F(StoreHostTest, ListsAsOneJsonDocument) {
  HostRun run = kestrune({"store", "add", "--store", "My", certificate.certPem, "--provider",
                          "Card P", "--container", "key 1", "--key-spec", "signature"});
  ASSERT_EQ(0, run.status) << run.err;
  run = kestrune({"store", "add", "--store", "CA", certificate.certDer});
  ASSERT_EQ(0, run.status) << run.err;

  // The text form's columns, under the JSON form's names.
  std::vector<std::string> column;
  const std::string text = columns();
  for (std::size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1) {
    tab = text.find('\t', start);
    column.push_back(text.substr(start, tab == std::string::npos ? tab : tab - start));
  }
  ASSERT_EQ(4u, column.size());
  const auto entry = [&](const char* store) {
    return nlohmann::ordered_json{{"store", store},        {"thumbprint", column[0]},
                                  {"subject", column[1]},  {"issuer", column[2]},
                                  {"notAfter", column[3]}, {"provider", nullptr},
                                  {"container", nullptr},  {"keySpec", nullptr}};
  };
  nlohmann::ordered_json my = entry("My");
  my["provider"] = "Card P";
  my["container"] = "key 1";
  my["keySpec"] = 2;
  const auto ca = entry("CA");

  struct Case {
    Args args;
    nlohmann::ordered_json expected;
  } const cases[] = {
      {{"store", "list", "--json"}, nlohmann::ordered_json::array({my, ca})},
      {{"store", "list", "--store", "ca", "--json"}, nlohmann::ordered_json::array({ca})},
      {{"store", "list", "--store", "Root", "--json"}, nlohmann::ordered_json::array()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[c.args.size() - 2]);
    run = kestrune(c.args);
    EXPECT_EQ(0, run.status) << run.err;
    // Field order too is part of the document.
    EXPECT_EQ(c.expected.dump(), nlohmann::ordered_json::parse(run.out).dump()) << run.out;
  }
}

// Every enumerated value is taken in any case, as the store names are.
TEST_F(StoreHostTest, EnumeratedValuesIgnoreCase) {
  HostRun run =
      kestrune({"store", "add", "--store", "root", certificate.certPem, "--location",
                "localmachine", "--provider", "P", "--container", "C", "--key-spec", "SIGNATURE"});
  ASSERT_EQ(0, run.status) << run.err;
  const std::string machineLine = "Root\t" + columns() + "\tP\tC\tkeySpec 2";
  struct Case {
    const char* location;
    Args listed;
  } const cases[] = {
      {"LocalMachine", {machineLine}},
      {"localmachine", {machineLine}},
      {"LOCALMACHINE", {machineLine}},
      {"currentuser", {}},
      {"CURRENTUSER", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.location);
    run = kestrune({"store", "list", "--location", c.location, "--store", "ROOT"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_EQ(c.listed, lines(run.out));
  }
  run = kestrune({"store", "list", "--location", "local"});
  EXPECT_EQ(2, run.status);
  EXPECT_NE(std::string::npos, run.err.find("CurrentUser,LocalMachine")) << run.err;
}

TEST_F(StoreHostTest, RefusesWhatIsNotOneCertificateOrAStore) {
  const std::vector<std::uint8_t> pemBytes = readFile(certificate.certPem);
  const std::string pem(pemBytes.begin(), pemBytes.end());
  const std::vector<std::uint8_t> der = readFile(certificate.certDer);
  const auto write = [&](const std::string& name, const std::string& text) {
    writeFile(dir.path() + "/" + name, std::vector<std::uint8_t>(text.begin(), text.end()));
    return dir.path() + "/" + name;
  };
  std::vector<std::uint8_t> trailing = der;
  trailing.push_back(0);
  writeFile(dir.path() + "/trailing.der", trailing);
  const std::string twice = write("twice.pem", pem + pem);
  const std::string junk = write("junk.bin", "not a certificate at all");
  const std::string cert = certificate.certPem;

  struct Case {
    const char* what;
    Args args;
    int status;
  } const cases[] = {
      {"unknown store", {"store", "add", "--store", "Personal", cert}, 2},
      {"unknown store to list", {"store", "list", "--store", "Trust"}, 2},
      {"unknown location", {"store", "list", "--location", "Elsewhere"}, 2},
      {"unknown store to remove",
       {"store", "remove", "--store", "../My", certificate.thumbprint},
       2},
      {"private key", {"store", "add", "--store", "My", certificate.keyPem}, 2},
      {"junk", {"store", "add", "--store", "My", junk}, 2},
      {"trailing byte", {"store", "add", "--store", "My", dir.path() + "/trailing.der"}, 2},
      {"two certificates", {"store", "add", "--store", "My", twice}, 2},
      {"provider alone", {"store", "add", "--store", "My", cert, "--provider", "P"}, 2},
      {"key spec 3",
       {"store", "add", "--store", "My", cert, "--provider", "P", "--container", "C", "--key-spec",
        "both"},
       2},
      {"key spec alone", {"store", "add", "--store", "My", cert, "--key-spec", "exchange"}, 2},
      {"empty container",
       {"store", "add", "--store", "My", cert, "--provider", "P", "--container", ""},
       2},
      {"container not UTF-8",
       {"store", "add", "--store", "My", cert, "--provider", "P", "--container", "C\xff"},
       2},
      {"provider not UTF-8",
       {"store", "add", "--store", "My", cert, "--provider", "P\xc3", "--container", "C"},
       2},
      {"short thumbprint", {"store", "remove", "--store", "My", "ABCDEF"}, 2},
      {"absent thumbprint", {"store", "remove", "--store", "My", std::string(40, 'A')}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const HostRun run = kestrune(c.args);
    EXPECT_EQ(c.status, run.status) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_FALSE(run.err.empty());
  }
  EXPECT_FALSE(fs::exists(userStore("My")));
}

}  // namespace
}  // namespace kestrune::testing
