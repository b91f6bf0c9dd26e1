// A provider backed by a SoftHSM2 token (and by the fault proxy in front of it): containers,
// key specs, the certificate, PIN outcomes, and signatures checked by the openssl command.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/cryptoapi/provider_test_env.h"
#include "tests/support/cryptoki_use.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {
namespace {

const Bytes kKeyId = {0x0A, 0x0B};

class TokenProvider : public ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    hsm_ = std::make_unique<SoftHsm>(1);
    // A key pair and its certificate as an issuer writes them: same CKA_ID, labelled key.
    ASSERT_EQ(
        run("openssl genrsa -out " + dir() + "/key.pem 1024 && openssl pkcs8 -topk8 -nocrypt -in " +
            dir() + "/key.pem -out " + dir() + "/key8.pem && openssl req -x509 -new -key " + dir() +
            "/key.pem -subj /CN=card -days 30 -outform DER -out " + dir() +
            "/cert.der && openssl x509 -inform DER -in " + dir() + "/cert.der -out " + dir() +
            "/cert.pem"),
        0);
    ASSERT_EQ(run("softhsm2-util --import " + dir() + "/key8.pem --token token0 --label card-key" +
                  " --id 0a0b --pin " + kUserPin),
              0);
    certificate_ = readFile(dir() + "/cert.der");
    hsm_->createCertificate(0, "card-cert", certificate_, kKeyId);
    writeProviders(std::string("{\"Card\": {\"pkcs11\": \"") + softHsmModule() +
                   "\", \"token\": \"token0\"}, \"Proxied\": {\"pkcs11\": \"" + proxyModule() +
                   "\"}}");
  }
  void TearDown() override {
    setProxyFaults("");
    hsm_.reset();
    ProviderTest::TearDown();
  }

  HCRYPTPROV acquire(const char* provider = "Card") {
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextA(&prov, "card-key", provider, PROV_RSA_FULL, 0))
        << std::hex << GetLastError();
    return prov;
  }

  std::unique_ptr<SoftHsm> hsm_;
  Bytes certificate_;
};

TEST_F(TokenProvider, ContainersKeySpecsAndCertificate) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, "Card", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  char name[64];
  DWORD length = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &length,
                                CRYPT_FIRST));
  EXPECT_STREQ(name, "card-key");
  length = sizeof name;
  EXPECT_FAILS_WITH(CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name),
                                      &length, CRYPT_NEXT),
                    ERROR_NO_MORE_ITEMS);
  CryptReleaseContext(prov, 0);

  prov = acquire();
  for (DWORD spec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, spec, &key)) << spec;
    DWORD size = 0;
    ASSERT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &size, 0));
    Bytes der(size);
    ASSERT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, der.data(), &size, 0));
    EXPECT_EQ(der, certificate_);
    DWORD bits = 0, four = 4;
    ASSERT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &four, 0));
    EXPECT_EQ(bits, 1024u);
    CryptDestroyKey(key);
  }
  CryptReleaseContext(prov, 0);
}

TEST_F(TokenProvider, PinOutcomesAndSignatures) {
  HCRYPTPROV prov = acquire();
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
  {
    // Before login the card's private key can't be used.
    HCRYPTHASH hash = sha1Of(prov, "early");
    DWORD length = 128;
    Bytes signature(length);
    EXPECT_FAILS_WITH(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length),
                      0x8010006A);
    CryptDestroyHash(hash);
  }
  EXPECT_FAILS_WITH(
      CryptSetKeyParam(key, KP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>("000000"), 0),
      SCARD_W_WRONG_CHV);
  ASSERT_TRUE(CryptSetKeyParam(key, KP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kUserPin), 0));
  // The right PIN again, on the open card, is checked anew and accepted.
  EXPECT_TRUE(CryptSetKeyParam(key, KP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kUserPin), 0));
  // A wrong PIN on the open card is refused too, and closes it until the right one comes.
  EXPECT_FAILS_WITH(
      CryptSetKeyParam(key, KP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>("000000"), 0),
      SCARD_W_WRONG_CHV);
  ASSERT_TRUE(CryptSetKeyParam(key, KP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kUserPin), 0));

  const std::string data = "signed on the card";
  writeFile(dir() + "/data", Bytes(data.begin(), data.end()));
  struct Case {
    DWORD flags;
    std::string check;
  } cases[] = {
      {0, "openssl dgst -sha1 -verify <(openssl x509 -in " + dir() + "/cert.pem -pubkey -noout)" +
              " -signature " + dir() + "/sig " + dir() + "/data"},
      {CRYPT_NOHASHOID, "openssl dgst -sha1 -binary " + dir() + "/data > " + dir() +
                            "/h && openssl pkeyutl -verify -certin -inkey " + dir() +
                            "/cert.pem -in " + dir() + "/h -sigfile " + dir() + "/sig"},
  };
  for (const auto& c : cases) {
    HCRYPTHASH hash = sha1Of(prov, data);
    DWORD length = 0;
    ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, c.flags, nullptr, &length));
    Bytes signature(length);
    ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, c.flags, signature.data(), &length))
        << std::hex << GetLastError();
    writeFile(dir() + "/sig", Bytes(signature.rbegin(), signature.rend()));
    EXPECT_EQ(std::system(("bash -c '" + c.check + "' >/dev/null 2>&1").c_str()), 0) << c.flags;
    // The card's public half verifies it here too.
    EXPECT_EQ(CryptVerifySignatureA(hash, signature.data(), length, key, nullptr, c.flags), TRUE);
    CryptDestroyHash(hash);
  }
  // Encrypted here with the public half, decrypted on the card.
  HCRYPTKEY exchange = 0;
  ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &exchange));
  Bytes buffer(128, 0x5A);
  DWORD length = 100;
  ASSERT_TRUE(CryptEncrypt(exchange, 0, TRUE, 0, buffer.data(), &length, 128));
  ASSERT_TRUE(CryptDecrypt(exchange, 0, TRUE, 0, buffer.data(), &length))
      << std::hex << GetLastError();
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), Bytes(100, 0x5A));
  CryptDestroyKey(exchange);
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
}

// A personalised card labels the halves of a pair apart ("FEDICA.prikey" / "FEDICA.pubkey"):
// the container is named after the private key, which only shows after login, and its public
// half is found by CKA_ID.
TEST_F(TokenProvider, ContainersAreNamedAfterTheirPrivateKeysLoggedInOrNot) {
  const auto importApart = [&](const std::string& stem, const std::string& id) {
    ASSERT_EQ(
        run("openssl genrsa -out " + dir() + "/" + stem + ".pem 1024 2>/dev/null && " +
            "openssl pkcs8 -topk8 -nocrypt -in " + dir() + "/" + stem + ".pem -out " + dir() + "/" +
            stem + "8.pem && softhsm2-util --import " + dir() + "/" + stem +
            "8.pem --token token0 --label " + stem + ".prikey --id " + id + " --pin " + kUserPin),
        0);
    hsm_->relabel(0, CKO_PUBLIC_KEY, stem + ".prikey", stem + ".pubkey");
  };
  // Signs with the container and checks the signature with openssl and the key's PEM.
  const auto signsAs = [&](HCRYPTPROV prov, const std::string& stem) {
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key)) << std::hex << GetLastError();
    ASSERT_TRUE(CryptSetKeyParam(key, KP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kUserPin), 0))
        << std::hex << GetLastError();
    const std::string data = "signed by " + stem;
    writeFile(dir() + "/data", Bytes(data.begin(), data.end()));
    HCRYPTHASH hash = sha1Of(prov, data);
    Bytes signature(128);
    DWORD length = static_cast<DWORD>(signature.size());
    ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length))
        << std::hex << GetLastError();
    writeFile(dir() + "/sig", Bytes(signature.rbegin(), signature.rend()));
    EXPECT_EQ(run("bash -c 'openssl dgst -sha1 -verify <(openssl pkey -in " + dir() + "/" + stem +
                  ".pem -pubout) -signature " + dir() + "/sig " + dir() + "/data'"),
              0);
    // The public half held by the context is the pair's.
    EXPECT_TRUE(CryptVerifySignatureA(hash, signature.data(), length, key, nullptr, 0));
    CryptDestroyHash(hash);
    CryptDestroyKey(key);
  };

  importApart("second", "0c0d");
  HCRYPTPROV prov = 0;
  // Two pairs hide their private keys before login: their public halves can't tell which one
  // is "second.prikey".
  EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, "second.prikey", "Card", PROV_RSA_FULL, 0),
                    NTE_BAD_KEYSET);
  {
    // Once the card is open (through another context in this process), it is found.
    HCRYPTPROV opener = acquire();
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(opener, AT_SIGNATURE, &key));
    ASSERT_TRUE(
        CryptSetKeyParam(key, KP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kUserPin), 0));
    ASSERT_TRUE(CryptAcquireContextA(&prov, "second.prikey", "Card", PROV_RSA_FULL, 0))
        << std::hex << GetLastError();
    signsAs(prov, "second");
    CryptReleaseContext(prov, 0);
    EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, "other", "Card", PROV_RSA_FULL, 0),
                      NTE_BAD_KEYSET);
    CryptDestroyKey(key);
    CryptReleaseContext(opener, 0);
  }

  // A card with one such pair, in a process that hasn't logged in: the one hidden pair stands
  // for the name until the login shows the private key.
  hsm_.reset();
  hsm_ = std::make_unique<SoftHsm>(1);
  importApart("only", "0e0f");
  ASSERT_TRUE(CryptAcquireContextA(&prov, "only.prikey", "Card", PROV_RSA_FULL, 0))
      << std::hex << GetLastError();
  signsAs(prov, "only");
  CryptReleaseContext(prov, 0);
  // A name no private key has is found out at login (the card closed with the last context).
  ASSERT_TRUE(CryptAcquireContextA(&prov, "other.prikey", "Card", PROV_RSA_FULL, 0));
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
  EXPECT_FAILS_WITH(
      CryptSetKeyParam(key, KP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kUserPin), 0),
      NTE_BAD_KEYSET);
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
}

// The private key found for one signature serves the next without a search; a handle the
// module no longer knows sends the provider searching again, and a PIN refused on the open
// card leaves the known key unusable.
TEST_F(TokenProvider, TheKeyFoundOnceServesTheNextSignatures) {
  HCRYPTPROV prov = acquire("Proxied");
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, &key));
  ASSERT_TRUE(CryptSetKeyParam(key, KP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kUserPin), 0));
  const auto signs = [&] {
    HCRYPTHASH hash = sha1Of(prov, "signed twice");
    Bytes signature(128);
    DWORD length = static_cast<DWORD>(signature.size());
    const BOOL ok = CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length);
    CryptDestroyHash(hash);
    return ok;
  };
  ASSERT_TRUE(signs()) << std::hex << GetLastError();
  struct Step {
    const char* why;
    const char* faults;
    std::uint64_t searches;
  } steps[] = {
      {"the known key", "", 0},
      {"a handle the module no longer knows", "C_SignInit=0x60*1", 1},  // CKR_KEY_HANDLE_INVALID
      {"the key found again", "", 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.why);
    setProxyFaults(step.faults);
    resetProxyCalls();
    EXPECT_TRUE(signs()) << std::hex << GetLastError();
    EXPECT_EQ(proxyCalls("C_FindObjectsInit"), step.searches);
  }
  EXPECT_FAILS_WITH(
      CryptSetKeyParam(key, KP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>("000000"), 0),
      SCARD_W_WRONG_CHV);
  EXPECT_FAILS_WITH(signs(), 0x8010006A);
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
}

// A program may end without releasing its context, as it may on Windows: its exit must not
// close the session through a module that is already torn down.
TEST_F(TokenProvider, AProgramThatKeepsItsContextExitsCleanly) {
  const pid_t child = fork();
  if (child == 0) {
    HCRYPTPROV prov = 0;
    const BOOL acquired = CryptAcquireContextA(&prov, "card-key", "Card", PROV_RSA_FULL, 0);
    std::exit(acquired ? 0 : 2);  // static destructors run
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(TokenProvider, BlockedPinAndNoTerminal) {
  HCRYPTPROV prov = acquire("Proxied");
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key));
  setProxyFaults("C_Login=0xA4");  // CKR_PIN_LOCKED
  EXPECT_FAILS_WITH(
      CryptSetKeyParam(key, KP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(kUserPin), 0),
      SCARD_W_CHV_BLOCKED);
  setProxyFaults("C_Login=0xA2");  // CKR_PIN_LEN_RANGE
  EXPECT_FAILS_WITH(
      CryptSetKeyParam(key, KP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>("1"), 0),
      SCARD_W_WRONG_CHV);
  setProxyFaults("");
  // A null PIN asks on the terminal; a process without one gets the cancelled answer.
  pid_t child = fork();
  if (child == 0) {
    setsid();
    SetLastError(0);
    BOOL ok = CryptSetKeyParam(key, KP_KEYEXCHANGE_PIN, nullptr, 0);
    _exit(!ok && GetLastError() == SCARD_W_CANCELLED_BY_USER ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
}

}  // namespace
}  // namespace kestrune::testing
