// The lookup over a memory store of certificates made with OpenSSL: alternatives, issuers,
// serial lists, dates, validity, key usage and the user's choice (scripted by KESTRUNE_CHOOSE).
#include <gtest/gtest.h>

// First: it includes OpenSSL before the CryptoAPI declarations.
#include "cert_maker.h"

#include <string>
#include <vector>

#include "TVCAPI/select_collection.h"
#include "TVCAPI/tvcapi.h"
#include "platform/platform.h"

namespace {

using kestrune::test::CertSpec;
using kestrune::test::kEncoding;

CertSpec named(const char* cn, std::uint64_t serial, long notBeforeDays = -1,
               long notAfterDays = 365) {
  CertSpec spec;
  spec.subject = {{"2.5.4.3", V_ASN1_UTF8STRING, cn}};
  spec.serial = serial;
  spec.notBeforeDays = notBeforeDays;
  spec.notAfterDays = notAfterDays;
  return spec;
}

std::vector<CertSpec> storeContents() {
  std::vector<CertSpec> certs;
  CertSpec alice = named("Alice", 0x0A1B);
  alice.subject.insert(alice.subject.begin(), {"2.5.4.10", V_ASN1_PRINTABLESTRING, "Bank"});
  alice.issuer = {{"2.5.4.3", V_ASN1_PRINTABLESTRING, "Root CA"}};
  certs.push_back(alice);
  CertSpec bob = named("Bob", 0xFF, -2);
  bob.subject.insert(bob.subject.begin(), {"2.5.4.10", V_ASN1_PRINTABLESTRING, "Shop"});
  bob.issuer = {{"2.5.4.3", V_ASN1_PRINTABLESTRING, "Other CA"}};
  certs.push_back(bob);
  // Issued in "2008", "2010" and "2009"; the 2008 one expires last, the 2010 one first.
  certs.push_back(named("Dated", 0x2008, -3000, 900));
  certs.push_back(named("Dated", 0x2010, -1000, 100));
  certs.push_back(named("Dated", 0x2009, -2000, 500));
  certs.push_back(named("Old", 0x0B, -100, -10));
  certs.push_back(named("Future", 0x0C, 10, 100));
  CertSpec sign = named("KU", 0x81);
  sign.keyUsage = "critical,digitalSignature";
  certs.push_back(sign);
  CertSpec encipher = named("KU", 0x82);
  encipher.keyUsage = "critical,keyEncipherment";
  certs.push_back(encipher);
  certs.push_back(named("KU", 0x83));
  certs.push_back(named("\xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e", 0x95));  // UTF8String
  certs.push_back(named(std::string(300, 'L').c_str(), 0x300));
  return certs;
}

class MemoryStore {
 public:
  MemoryStore() {
    list_.count = 1;
    list_.stores[0] =
        CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  }
  ~MemoryStore() { CertCloseStore(list_.stores[0], 0); }
  MemoryStore(const MemoryStore&) = delete;
  MemoryStore& operator=(const MemoryStore&) = delete;
  bool add(const CertSpec& spec) {
    const auto der = kestrune::test::makeCert(spec);
    return CertAddEncodedCertificateToStore(list_.stores[0], kEncoding, der.data(),
                                            static_cast<DWORD>(der.size()), CERT_STORE_ADD_ALWAYS,
                                            nullptr) == TRUE;
  }
  const StoreList* list() const { return &list_; }

 private:
  StoreList list_{};
};

std::uint64_t serialOf(PCCERT_CONTEXT cert) {
  std::uint64_t value = 0;
  const auto& serial = cert->pCertInfo->SerialNumber;
  for (DWORD i = serial.cbData; i-- > 0;) value = (value << 8) | serial.pbData[i];
  return value;
}

std::int32_t chooseWithoutMessage(const CertCollection* collection, PCCERT_CONTEXT* cert) {
  return tvxCAPISelectFromCollection(collection, nullptr, 0, cert);
}

struct Case {
  const char* subject;
  const char* issuer;
  std::uint32_t flags;
  std::uint32_t keyUsage;
  const char* answer;  // the dialog's scripted answer; null when no dialog may be shown
  std::int32_t want;
  std::uint64_t serial;  // of the certificate found
};

const std::string kLongName = "CN=" + std::string(300, 'L');

const Case kCases[] = {
    {"CN=Alice", nullptr, 0, 0, nullptr, 0, 0x0A1B},
    {"CN=Alice\tCN=Bob", nullptr, 0, 0, nullptr, 0, 0x0A1B},
    {"CN=Bob\tCN=Carol", nullptr, 0, 0, nullptr, 0, 0xFF},
    {"CN=Alice\nO=Bank", nullptr, 0, 0, nullptr, 0, 0x0A1B},
    {"CN=Alice\nO=Shop", nullptr, 0, 0, nullptr, 5010, 0},
    {"cn=Alice", nullptr, 0, 0, nullptr, 5010, 0},
    {"=Alice", nullptr, 0, 0, nullptr, 5010, 0},
    {"CN=Alice\nno equals sign", nullptr, 0, 0, nullptr, 5010, 0},
    {"no equals sign\nCN=Alice", nullptr, 0, 0, nullptr, 0, 0x0A1B},
    {"CN=  Alice  \r", nullptr, 0, 0, nullptr, 0, 0x0A1B},
    {"CN=lic", nullptr, 0, 0, nullptr, 5010, 0},
    {"CN=lic", nullptr, 0x80000, 0, nullptr, 0, 0x0A1B},
    {nullptr, "CN=Root CA 2", 0x80000, 0, nullptr, 0, 0x0A1B},
    {nullptr, "CN=Root CA 2", 0, 0, nullptr, 5010, 0},
    {nullptr, "CN=Root", 0x80000, 0, nullptr, 5010, 0},
    {"", "CN=None\tCN=Other CA", 0, 0, nullptr, 0, 0xFF},
    {"SN=00FF", nullptr, 0, 0, nullptr, 0, 0xFF},
    {"SN=FF", nullptr, 0, 0, nullptr, 0, 0xFF},
    {"SN=12;0A1B", nullptr, 0, 0, nullptr, 0, 0x0A1B},
    {"SN=0G", nullptr, 0, 0, nullptr, 5010, 0},
    {"SN!=0A1B\nCN=Alice", nullptr, 0, 0, nullptr, 5010, 0},
    {"SN!=0A1B\nO=Shop", nullptr, 0, 0, nullptr, 0, 0xFF},
    {"CN=Dated", nullptr, 0, 0, nullptr, 0, 0x2010},
    {"CN=Dated", nullptr, 0x8, 0, nullptr, 0, 0x2008},
    {"CN=Dated", nullptr, 0x4, 0, nullptr, 0, 0x2008},
    {"CN=Dated", nullptr, 0x4 | 0x8, 0, nullptr, 0, 0x2010},
    {"CN=Old", nullptr, 0x10, 0, nullptr, 5011, 0},
    {"CN=Future", nullptr, 0x10, 0, nullptr, 5012, 0},
    {"CN=Old\tCN=Future", nullptr, 0x10, 0, nullptr, 5013, 0},
    {"CN=Old\tCN=Future\tCN=Alice", nullptr, 0x10, 0, nullptr, 0, 0x0A1B},
    {"CN=Old", nullptr, 0, 0, nullptr, 0, 0x0B},
    {"CN=KU\nSN=81", nullptr, 0, 0x80, nullptr, 0, 0x81},
    {"CN=KU\nSN=82", nullptr, 0, 0x80, nullptr, 5010, 0},
    {"CN=KU\nSN=83", nullptr, 0, 0x80, nullptr, 0, 0x83},
    {"CN=KU\nSN=82", nullptr, 0, 0x20, nullptr, 0, 0x82},
    {"CN=\xa4\xfd\xa4\x70\xa9\xfa", nullptr, 0, 0, nullptr, 0, 0x95},
    {kLongName.c_str(), nullptr, 0, 0, nullptr, 5010, 0},
    {"CN=Alice\tCN=Bob", nullptr, 0x1, 0, "cancel", 5070, 0},
    {"CN=Alice\tCN=Bob", nullptr, 0x1, 0, "2", 0, 0xFF},
    {"CN=Alice\tCN=Bob", nullptr, 0x1, 0, "none", 5001, 0},
    {"CN=Alice\tCN=Bob", nullptr, 0x1, 0, "3", 5001, 0},
    {"CN=Alice", nullptr, 0x1, 0, "cancel", 5070, 0},
    {"CN=Alice", nullptr, 0x1 | 0x2, 0, nullptr, 0, 0x0A1B},
    {"CN=Alice\tO=Bank", nullptr, 0x1, 0, "2", 5001, 0},  // collected once
    {"\tCN=Alice\t\t", nullptr, 0x1, 0, "2", 5001, 0},    // empty alternatives match nothing
    {"\t", nullptr, 0, 0, nullptr, 0, 0x0C},  // no alternative: no condition, the latest start
    {"CN=Alice\tO=Bank", nullptr, 0x1 | 0x2, 0, nullptr, 0, 0x0A1B},
    {"CN=KU", nullptr, 0x1, 0x80, "2", 0, 0x83},
    {"CN=Nobody", nullptr, 0x1, 0, nullptr, 5010, 0},
    {"", nullptr, 0x1, 0, "10", 0, 0x83},  // the collection grew past its first 8
    {nullptr, nullptr, 0x1, 0, "12", 0, 0x300},
};

TEST(LookupTest, Cases) {
  MemoryStore store;
  for (const auto& spec : storeContents()) ASSERT_TRUE(store.add(spec));
  // One answer per dialog, in the order the cases show them; a dialog where none may be shown
  // would take the next case's answer and fail both.
  std::string answers;
  for (const auto& c : kCases) {
    if (c.answer != nullptr) answers += std::string(answers.empty() ? "" : ",") + c.answer;
  }
  ASSERT_TRUE(kestrune::platform::setEnvironmentVariable("KESTRUNE_CHOOSE", answers.c_str()));
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.subject ? c.subject : "(null)") + " | " +
                 (c.issuer ? c.issuer : "(null)") + " | " + std::to_string(c.flags));
    PCCERT_CONTEXT found = nullptr;
    EXPECT_EQ(c.want, tvxCAPIFindCertificate(store.list(), c.subject, c.issuer, c.flags, c.keyUsage,
                                             chooseWithoutMessage, &found));
    if (c.want != 0) {
      EXPECT_EQ(nullptr, found);
      continue;
    }
    ASSERT_NE(nullptr, found);
    EXPECT_EQ(c.serial, serialOf(found));
    CertFreeCertificateContext(found);
  }
  kestrune::platform::setEnvironmentVariable("KESTRUNE_CHOOSE", "");
}

TEST(LookupTest, NullArguments) {
  MemoryStore store;
  PCCERT_CONTEXT found = nullptr;
  EXPECT_EQ(5005, tvxCAPIFindCertificate(nullptr, nullptr, nullptr, 0, 0, nullptr, &found));
  EXPECT_EQ(5005, tvxCAPIFindCertificate(store.list(), nullptr, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(5010, tvxCAPIFindCertificate(store.list(), nullptr, nullptr, 0, 0, nullptr, &found));
}

}  // namespace
