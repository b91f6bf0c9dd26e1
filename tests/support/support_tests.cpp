// Checks of the test harness itself where its behaviour is not obvious: the token order
// in the slot list, the object helpers' layout, and the proxy's faults and counters.
#include <dlfcn.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>

#include "common/ptr.h"
#include "tests/support/softhsm.h"

namespace kestrune::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A module loaded by path, the way the token layer loads one.
class LoadedModule {
 public:
  explicit LoadedModule(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW)) {
    if (handle_ == nullptr) {
      ADD_FAILURE() << dlerror();
      return;
    }
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    if (getFunctionList == nullptr || getFunctionList(&functions_) != CKR_OK) {
      ADD_FAILURE() << path << " gives no function list";
      functions_ = nullptr;
    }
  }
  ~LoadedModule() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  void* handle() const { return handle_; }
  CK_FUNCTION_LIST* operator->() const { return functions_; }

 private:
  void* handle_;
  CK_FUNCTION_LIST* functions_ = nullptr;
};

std::vector<CK_SLOT_ID> slotsWithToken(const LoadedModule& module) {
  CK_ULONG count = 0;
  EXPECT_EQ(CKR_OK, module->C_GetSlotList(CK_TRUE, nullptr, &count));
  std::vector<CK_SLOT_ID> slots(count);
  EXPECT_EQ(CKR_OK, module->C_GetSlotList(CK_TRUE, slots.data(), &count));
  slots.resize(count);
  return slots;
}

std::string tokenLabel(const LoadedModule& module, CK_SLOT_ID slot) {
  CK_TOKEN_INFO info{};
  EXPECT_EQ(CKR_OK, module->C_GetTokenInfo(slot, &info));
  std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
  label.erase(label.find_last_not_of(' ') + 1);
  return label;
}

// The slots and labels that softhsm2-util, a tool we did not write, lists in order.
std::vector<std::pair<CK_SLOT_ID, std::string>> slotsShownBySoftHsmUtil() {
  std::vector<std::pair<CK_SLOT_ID, std::string>> shown;
  FILE* pipe = popen("softhsm2-util --show-slots", "r");
  if (pipe == nullptr) return shown;
  char line[256];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    text.erase(text.find_last_not_of(" \n") + 1);
    if (text.rfind("Slot ", 0) == 0) shown.emplace_back(std::stoul(text.substr(5)), "");
    const auto label = text.find("Label:");
    if (label != std::string::npos && !shown.empty()) {
      const auto start = text.find_first_not_of(' ', label + 6);
      shown.back().second = start == std::string::npos ? "" : text.substr(start);
    }
  }
  pclose(pipe);
  return shown;
}

// A small X.509 certificate with distinct subject and issuer, serial 0x1234.
Bytes makeCertificate() {
  Ptr<EVP_PKEY> key(EVP_RSA_gen(512));
  Ptr<X509> certificate(X509_new());
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 0x1234);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Alice"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(X509_get_issuer_name(certificate.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("FEDI CA"), -1, -1, 0);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600);
  X509_set_pubkey(certificate.get(), key.get());
  X509_sign(certificate.get(), key.get(), EVP_sha256());
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate.get(), &der);
  Bytes bytes(der, der + std::max(length, 0));
  OPENSSL_free(der);
  return bytes;
}

bool contains(const Bytes& haystack, const Bytes& needle) {
  return !needle.empty() && std::search(haystack.begin(), haystack.end(), needle.begin(),
                                        needle.end()) != haystack.end();
}

TEST(SoftHsmTest, TokensStandInSlotListOrderInAFreshDirectory) {
  // Slot ids come from random serial numbers, so a few rounds meet both orders; each round
  // also shows that a new instance's tokens replace the last one's.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    SoftHsm hsm(3);
    EXPECT_TRUE(hsm.labels(1).empty());
    {
      LoadedModule module(softHsmModule());
      ASSERT_EQ(CKR_OK, module->C_Initialize(nullptr));
      const auto listed = slotsWithToken(module);
      ASSERT_EQ(4u, listed.size());
      EXPECT_EQ(hsm.slots(), std::vector<CK_SLOT_ID>(listed.begin(), listed.begin() + 3));
      for (int token = 0; token < 3; ++token) {
        EXPECT_EQ("token" + std::to_string(token), tokenLabel(module, listed[token]));
      }
      EXPECT_EQ("", tokenLabel(module, listed[3]));
      EXPECT_EQ(CKR_OK, module->C_Finalize(nullptr));
    }
    const auto shown = slotsShownBySoftHsmUtil();
    ASSERT_EQ(4u, shown.size());
    for (int token = 0; token < 3; ++token) {
      EXPECT_EQ(hsm.slots()[token], shown[token].first);
      EXPECT_EQ("token" + std::to_string(token), shown[token].second);
    }
    hsm.createData(1, {.label = "left behind", .value = {1}});
  }
}

TEST(SoftHsmTest, ObjectHelpersLayObjectsOutAsCardsHaveThem) {
  SoftHsm hsm;
  const Bytes certificate = makeCertificate();
  EXPECT_NE(CK_INVALID_HANDLE, hsm.createData(0, {.label = "UserData",
                                                  .value = {'a', 'b', 'c'},
                                                  .isPrivate = true,
                                                  .application = "SID2",
                                                  .labelWithZero = true}));
  EXPECT_NE(CK_INVALID_HANDLE, hsm.createCertificate(0, "user cert", certificate));
  hsm.generateKeyPair(0, "FEDIPubKey", "FEDIPriKey", 512);

  const std::vector<std::string> labels = hsm.labels(0);
  EXPECT_EQ((std::multiset<std::string>{std::string("UserData\0", 9), "user cert", "FEDIPubKey",
                                        "FEDIPriKey"}),
            std::multiset<std::string>(labels.begin(), labels.end()));

  const std::string zeroLabel("UserData\0", 9);
  EXPECT_EQ((Bytes{'a', 'b', 'c'}), hsm.attribute(0, zeroLabel, CKA_VALUE));
  EXPECT_EQ((Bytes{'S', 'I', 'D', '2'}), hsm.attribute(0, zeroLabel, CKA_APPLICATION));
  EXPECT_EQ((Bytes{CK_TRUE}), hsm.attribute(0, zeroLabel, CKA_PRIVATE));
  EXPECT_TRUE(hsm.attribute(0, "UserData", CKA_VALUE).empty());

  EXPECT_EQ(certificate, hsm.attribute(0, "user cert", CKA_VALUE));
  EXPECT_EQ((Bytes{0x02, 0x02, 0x12, 0x34}), hsm.attribute(0, "user cert", CKA_SERIAL_NUMBER));
  const Bytes subject = hsm.attribute(0, "user cert", CKA_SUBJECT);
  const Bytes issuer = hsm.attribute(0, "user cert", CKA_ISSUER);
  EXPECT_TRUE(contains(certificate, subject));
  EXPECT_TRUE(contains(subject, {'A', 'l', 'i', 'c', 'e'}));
  EXPECT_TRUE(contains(issuer, {'F', 'E', 'D', 'I', ' ', 'C', 'A'}));
  EXPECT_EQ((Bytes{CK_FALSE}), hsm.attribute(0, "user cert", CKA_PRIVATE));

  EXPECT_EQ((Bytes{CK_FALSE}), hsm.attribute(0, "FEDIPubKey", CKA_PRIVATE));
  EXPECT_EQ((Bytes{CK_TRUE}), hsm.attribute(0, "FEDIPriKey", CKA_PRIVATE));
  EXPECT_EQ((Bytes{CK_TRUE}), hsm.attribute(0, "FEDIPriKey", CKA_SIGN));
  EXPECT_EQ(64u, hsm.attribute(0, "FEDIPubKey", CKA_MODULUS).size());
  EXPECT_EQ((Bytes{0x01, 0x00, 0x01}), hsm.attribute(0, "FEDIPubKey", CKA_PUBLIC_EXPONENT));
  // Absent and secret attributes read as empty without a failure.
  EXPECT_TRUE(hsm.attribute(0, "FEDIPriKey", CKA_PRIVATE_EXPONENT).empty());
  EXPECT_TRUE(hsm.attribute(0, "user cert", CKA_MODULUS).empty());
}

TEST(SoftHsmTest, HelperFailuresNameTheFunctionAndResult) {
  SoftHsm hsm;
  EXPECT_NE(CK_INVALID_HANDLE, hsm.createData(0, {.label = "twice"}));
  EXPECT_NONFATAL_FAILURE(hsm.attribute(1, "twice", CKA_VALUE), "attribute: no token 1");
  EXPECT_NE(CK_INVALID_HANDLE, hsm.createData(0, {.label = "twice"}));
  EXPECT_NONFATAL_FAILURE(hsm.attribute(0, "twice", CKA_VALUE), "2 objects are labelled");
  EXPECT_NONFATAL_FAILURE(hsm.generateKeyPair(0, "pub", "pri", 100),
                          "generateKeyPair: C_GenerateKeyPair failed with CK_RV 0x");
}

TEST(SoftHsmTest, SetUserPinMakesTheOldPinFail) {
  SoftHsm hsm;
  hsm.setUserPin(0, "654321");
  LoadedModule module(softHsmModule());
  ASSERT_EQ(CKR_OK, module->C_Initialize(nullptr));
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  ASSERT_EQ(CKR_OK, module->C_OpenSession(hsm.slots()[0], CKF_SERIAL_SESSION | CKF_RW_SESSION,
                                          nullptr, nullptr, &session));
  EXPECT_EQ(CKR_PIN_INCORRECT,
            module->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)kUserPin, strlen(kUserPin)));
  EXPECT_EQ(CKR_OK, module->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR) "654321", 6));
  EXPECT_EQ(CKR_OK, module->C_Finalize(nullptr));
  // The helpers log in with the new PIN from now on.
  EXPECT_NE(CK_INVALID_HANDLE, hsm.createData(0, {.label = "after", .isPrivate = true}));
}

TEST(SoftHsmTest, HelpersJoinAModuleThatIsAlreadyOpen) {
  SoftHsm hsm;
  LoadedModule module(proxyModule());
  ASSERT_EQ(CKR_OK, module->C_Initialize(nullptr));
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  ASSERT_EQ(CKR_OK, module->C_OpenSession(hsm.slots()[0], CKF_SERIAL_SESSION | CKF_RW_SESSION,
                                          nullptr, nullptr, &session));
  EXPECT_NE(CK_INVALID_HANDLE, hsm.createData(0, {.label = "private", .isPrivate = true}));
  // The open session keeps its state and the module stays initialised.
  CK_SESSION_INFO info{};
  EXPECT_EQ(CKR_OK, module->C_GetSessionInfo(session, &info));
  EXPECT_EQ(CKS_RW_PUBLIC_SESSION, info.state);
  EXPECT_EQ(CKR_OK, module->C_Finalize(nullptr));
  EXPECT_EQ((std::vector<std::string>{"private"}), hsm.labels(0));
}

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setProxyFaults("");
    resetProxyCalls();
    ASSERT_EQ(CKR_OK, proxy->C_Initialize(nullptr));
  }
  void TearDown() override {
    setProxyFaults("");
    proxy->C_Finalize(nullptr);
  }

  SoftHsm hsm;
  LoadedModule proxy{proxyModule()};
};

CK_RV slotCount(const LoadedModule& module, CK_ULONG& count) {
  count = 99;
  return module->C_GetSlotList(CK_TRUE, nullptr, &count);
}

TEST_F(ProxyTest, FaultAnswersTheNextNCallsOrEveryCall) {
  CK_INFO info{};
  setProxyFaults("C_GetInfo=0x30*2; C_GetTokenInfo=224");
  EXPECT_EQ(CKR_DEVICE_ERROR, proxy->C_GetInfo(&info));
  EXPECT_EQ(CKR_DEVICE_ERROR, proxy->C_GetInfo(&info));
  EXPECT_EQ(CKR_OK, proxy->C_GetInfo(&info));
  CK_TOKEN_INFO token{};
  for (int call = 0; call < 3; ++call) {
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, proxy->C_GetTokenInfo(hsm.slots()[0], &token));
  }
  setProxyFaults("");
  EXPECT_EQ(CKR_OK, proxy->C_GetTokenInfo(hsm.slots()[0], &token));
}

TEST_F(ProxyTest, NewFaultListReplacesTheOld) {
  CK_INFO info{};
  setProxyFaults("C_GetInfo=0x30");
  setProxyFaults("C_Logout=0x101");
  EXPECT_EQ(CKR_OK, proxy->C_GetInfo(&info));
}

TEST_F(ProxyTest, EmptySlotListIsAReaderWithoutCard) {
  CK_ULONG count = 0;
  setProxyFaults("C_GetSlotList=empty*1");
  EXPECT_EQ(CKR_OK, slotCount(proxy, count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(CKR_OK, slotCount(proxy, count));
  EXPECT_EQ(2u, count);
}

TEST_F(ProxyTest, CountsForwardedAndAnsweredCalls) {
  CK_INFO info{};
  CK_ULONG count = 0;
  setProxyFaults("C_GetInfo=0x30*1");
  proxy->C_GetInfo(&info);
  proxy->C_GetInfo(&info);
  slotCount(proxy, count);
  EXPECT_EQ(2u, proxyCalls("C_GetInfo"));
  EXPECT_EQ(1u, proxyCalls("C_GetSlotList"));
  EXPECT_EQ(0u, proxyCalls("C_Sign"));
  EXPECT_EQ(0u, proxyCalls("C_NoSuchFunction"));
  // C_Initialize of SetUp came after the reset, too.
  EXPECT_EQ(4u, proxyCalls());
  resetProxyCalls();
  EXPECT_EQ(0u, proxyCalls());
}

TEST_F(ProxyTest, MalformedFaultListIsRefusedAndChangesNothing) {
  setProxyFaults("C_GetInfo=0x30");
  const char* const kMalformed[] = {
      "C_NoSuchFunction=5", "C_GetInfo",        "C_GetInfo=",    "C_GetInfo=abc",
      "C_GetInfo=0x",       "C_GetInfo=-1",     "C_GetInfo=5*0", "C_GetInfo=5*x",
      "C_GetInfo=empty",    "C_Login=1;C_Bad=2"};
  for (const char* text : kMalformed) {
    SCOPED_TRACE(text);
    EXPECT_NONFATAL_FAILURE(setProxyFaults(text), "malformed fault list");
  }
  CK_INFO info{};
  EXPECT_EQ(CKR_DEVICE_ERROR, proxy->C_GetInfo(&info));
}

TEST(ProxyModuleTest, ReadsFaultsAndTargetFromTheEnvironmentOfItsProcess) {
  // A private copy is a fresh instance that reads the environment as it loads.
  SoftHsm hsm;
  const std::string copy = hsm.dir() + "/proxy-copy.so";
  std::filesystem::copy_file(proxyModule(), copy);
  setenv("KESTRUNE_P11PROXY_FAULTS", "C_GetInfo=0x30", 1);
  setenv("KESTRUNE_P11PROXY_TARGET", (hsm.dir() + "/missing.so").c_str(), 1);
  LoadedModule module(copy);
  unsetenv("KESTRUNE_P11PROXY_FAULTS");
  CK_INFO info{};
  EXPECT_EQ(CKR_DEVICE_ERROR, module->C_GetInfo(&info));
  // The target is looked up on the first forwarded call.
  EXPECT_EQ(CKR_GENERAL_ERROR, module->C_Initialize(nullptr));
  unsetenv("KESTRUNE_P11PROXY_TARGET");
}

TEST(LiteProxyTest, LacksTheOptionalEntryPointsAndForwardsTheRest) {
  SoftHsm hsm;
  LoadedModule lite(liteProxyModule());
  const char* const kMissing[] = {
      "C_SetPIN", "C_GenerateKeyPair", "C_SetAttributeValue", "C_DestroyObject",
      "C_Sign",   "C_GetSessionInfo"};
  for (const char* name : kMissing) {
    SCOPED_TRACE(name);
    EXPECT_EQ(nullptr, dlsym(lite.handle(), name));
  }
  EXPECT_EQ(nullptr, lite->C_SetPIN);
  EXPECT_EQ(nullptr, lite->C_GenerateKeyPair);
  EXPECT_EQ(nullptr, lite->C_SetAttributeValue);
  EXPECT_EQ(nullptr, lite->C_DestroyObject);
  EXPECT_EQ(nullptr, lite->C_Sign);
  EXPECT_EQ(nullptr, lite->C_GetSessionInfo);
  EXPECT_NE(nullptr, dlsym(lite.handle(), "C_SignInit"));

  ASSERT_EQ(CKR_OK, lite->C_Initialize(nullptr));
  CK_ULONG count = 0;
  EXPECT_EQ(CKR_OK, slotCount(lite, count));
  EXPECT_EQ(2u, count);
  EXPECT_EQ(CKR_OK, lite->C_Finalize(nullptr));
}

TEST(ProxyModuleTest, ExportsOnlyCryptokiAndItsControls) {
  for (const char* module : {proxyModule(), liteProxyModule()}) {
    SCOPED_TRACE(module);
    FILE* pipe = popen(("nm -D --defined-only " + std::string(module)).c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    int exported = 0;
    char line[256];
    while (fgets(line, sizeof line, pipe) != nullptr) {
      std::istringstream fields(line);
      std::string address, kind, name;
      fields >> address >> kind >> name;
      EXPECT_TRUE(name.rfind("C_", 0) == 0 || name.rfind("kestrune_proxy_", 0) == 0) << name;
      ++exported;
    }
    pclose(pipe);
    EXPECT_EQ(module == proxyModule() ? 68 + 3 : 62 + 3, exported);
  }
}

}  // namespace
}  // namespace kestrune::testing
