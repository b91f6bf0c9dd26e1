// The selection dialog's model: language and texts, the rows' column texts, sorting, the
// information rows, and the memory kept from one dialog to the next.
#include <gtest/gtest.h>

// First: it includes OpenSSL before the CryptoAPI declarations.
#include "cert_maker.h"

#include <string>
#include <vector>

#include "TVCAPI/select_collection.h"
#include "TVCAPI/select_model.h"
#include "platform/platform.h"

namespace {

using kestrune::platform::CertificateDialogAnswer;
using kestrune::platform::CertificateDialogMemory;
using kestrune::platform::CertificateDialogRow;
using kestrune::test::CertSpec;
using kestrune::test::kEncoding;

class Contexts {
 public:
  explicit Contexts(const std::vector<CertSpec>& specs) {
    for (const auto& spec : specs) {
      const auto der = kestrune::test::makeCert(spec);
      certs_.push_back(
          CertCreateCertificateContext(kEncoding, der.data(), static_cast<DWORD>(der.size())));
    }
  }
  ~Contexts() {
    for (auto c : certs_) CertFreeCertificateContext(c);
  }
  Contexts(const Contexts&) = delete;
  Contexts& operator=(const Contexts&) = delete;
  CertCollection collection() {
    return {static_cast<DWORD>(certs_.size()), static_cast<DWORD>(certs_.size()), certs_.data()};
  }
  PCCERT_CONTEXT operator[](std::size_t i) const { return certs_[i]; }

 private:
  std::vector<PCCERT_CONTEXT> certs_;
};

CertSpec holder(std::vector<kestrune::test::NameEntry> subject, std::uint64_t serial,
                long notBeforeDays) {
  CertSpec spec;
  spec.subject = std::move(subject);
  spec.issuer = {{"2.5.4.10", V_ASN1_PRINTABLESTRING, "Issuing Org"},
                 {"1.2.840.113549.1.9.1", V_ASN1_IA5STRING, "ca@example.org"}};
  spec.serial = serial;
  spec.notBeforeDays = notBeforeDays;
  return spec;
}

std::vector<CertSpec> threeHolders() {
  return {holder({{"2.5.4.3", V_ASN1_UTF8STRING, "bob"}}, 0x0A1B, -20),
          holder({{"2.5.4.11", V_ASN1_PRINTABLESTRING, "Unit"},
                  {"2.5.4.10", V_ASN1_PRINTABLESTRING, "Org"}},
                 0x02, -30),
          holder({{"2.5.4.3", V_ASN1_PRINTABLESTRING, "Alice"}}, 0x03, -10)};
}

TEST(SelectModelTest, LanguageFromTheSystemLanguage) {
  struct Case {
    const char* lang;
    DisplayLanguage want;
  };
  const Case kCases[] = {{"zh_TW.UTF-8", DisplayLanguage::traditionalChinese},
                         {"zh_HK.UTF-8", DisplayLanguage::traditionalChinese},
                         {"zh_CN.UTF-8", DisplayLanguage::english},
                         {"en_US.UTF-8", DisplayLanguage::english},
                         {"C", DisplayLanguage::english}};
  const std::string saved = kestrune::platform::environmentVariable("LANG");
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.lang);
    kestrune::platform::setEnvironmentVariable("LANG", c.lang);
    EXPECT_EQ(c.want, languageOfLangId(GetSystemDefaultLangID()));
  }
  kestrune::platform::setEnvironmentVariable("LANG", saved.c_str());
  EXPECT_EQ(DisplayLanguage::english, languageOfLangId(0x0804));  // simplified Chinese
  EXPECT_EQ(DisplayLanguage::english, languageOfLangId(0x0411));
  EXPECT_EQ(DisplayLanguage::traditionalChinese, languageOfLangId(0x1404));
}

TEST(SelectModelTest, TextsOfBothLanguages) {
  const auto chinese = dialogTexts(DisplayLanguage::traditionalChinese);
  EXPECT_EQ(30023, chinese.selectionTemplate);
  EXPECT_EQ(30021, chinese.informationTemplate);
  std::u16string holder;
  ASSERT_TRUE(kestrune::platform::fromCodePage950(chinese.columnTitles[0], holder));
  EXPECT_EQ(u"\u6191\u8b49\u6301\u6709\u4eba", holder);  // certificate holder
  std::u16string serial;
  ASSERT_TRUE(kestrune::platform::fromCodePage950(chinese.informationLabels[5], serial));
  EXPECT_EQ(u"\u6191\u8b49\u5e8f\u865f", serial);  // certificate serial number
  const auto english = dialogTexts(DisplayLanguage::english);
  EXPECT_EQ(30033, english.selectionTemplate);
  EXPECT_EQ(30031, english.informationTemplate);
  EXPECT_EQ((std::array<std::string, 4>{"Owner", "NotBefore", "NotAfter", "Issuer"}),
            english.columnTitles);
  EXPECT_EQ("SerialNumber", english.informationLabels[5]);
}

TEST(SelectModelTest, RowsShowHolderDatesAndIssuer) {
  Contexts certs(threeHolders());
  std::vector<CertificateDialogRow> rows;
  auto collection = certs.collection();
  ASSERT_TRUE(rowsOf(collection.certs, collection.count, rows));
  ASSERT_EQ(3u, rows.size());
  EXPECT_EQ("bob", rows[0].columns[0]);
  EXPECT_EQ("Unit", rows[1].columns[0]);  // OU when there is no CN
  EXPECT_EQ(L"bob", rows[0].holderWide);
  EXPECT_EQ(L"", rows[1].holderWide);
  EXPECT_EQ("Alice", rows[2].columns[0]);
  EXPECT_EQ("Issuing Org", rows[0].columns[3]);
  EXPECT_EQ(10u, rows[0].columns[1].size());
  EXPECT_EQ(rows[0].columns[1], rows[0].information[2].substr(0, 10));
  EXPECT_EQ("ca@example.org", rows[0].information[4]);
  EXPECT_EQ("0A1B", rows[0].information[5]);
  EXPECT_EQ("O=Issuing Org; E=ca@example.org", rows[0].information[0]);
  EXPECT_EQ("CN=bob", rows[0].information[1]);
  // Sorted by holder: Alice, bob (case ignored), Unit; by start date: Unit, bob, Alice.
  EXPECT_EQ((std::vector<std::size_t>{2, 0, 1}), displayOrder(rows, 0, false));
  EXPECT_EQ((std::vector<std::size_t>{1, 0, 2}), displayOrder(rows, 0, true));
  EXPECT_EQ((std::vector<std::size_t>{1, 0, 2}), displayOrder(rows, 1, false));
  EXPECT_EQ((std::vector<std::size_t>{0, 1, 2}), displayOrder(rows, -1, false));
}

TEST(SelectModelTest, AttributeTexts) {
  std::wstring wide = L"\u738b";  // Big5 A4 FD
  BYTE universal[] = {0, 0, 0, 0x41, 0, 0, 0, 0x42, 0, 0, 0, 0x43};
  std::string longValue(300, 'x');
  struct Case {
    CERT_RDN_ATTR attr;
    std::string want;
  };
  const Case kCases[] = {
      {{nullptr,
        CERT_RDN_UTF8_STRING,
        {static_cast<DWORD>(wide.size() * sizeof(wchar_t)), reinterpret_cast<BYTE*>(wide.data())}},
       "\xa4\xfd"},
      {{nullptr, CERT_RDN_UNIVERSAL_STRING, {sizeof universal, universal}}, "00000041"},
      {{nullptr,
        CERT_RDN_PRINTABLE_STRING,
        {static_cast<DWORD>(longValue.size()), reinterpret_cast<BYTE*>(longValue.data())}},
       std::string(255, 'x')},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.want, attributeText(c.attr));
}

TEST(SelectModelTest, LocalDatesInTaipei) {
  // 2009-12-31 20:30:05 UTC is 2010-01-01 04:30:05 in Taipei.
  const std::uint64_t ticks = (1262291405ull + 11644473600ull) * 10000000ull;
  const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  EXPECT_EQ("2010/01/01", localDateText(time, false));
  EXPECT_EQ("2010/01/01 04:30:05", localDateText(time, true));
}

TEST(SelectModelTest, WidthsKeptOnlyInRange) {
  CertificateDialogMemory memory;
  CertificateDialogAnswer answer;
  answer.choice = 1;
  answer.columnWidths = {-5, 401, 400, 0};
  answer.sortColumn = 2;
  answer.sortDescending = true;
  rememberAnswer(memory, answer, 2);
  EXPECT_EQ((std::array<int, 4>{125, 70, 400, 0}), memory.columnWidths);
  EXPECT_EQ(1, memory.lastRow);
  EXPECT_EQ(2, memory.sortColumn);
  answer.choice = kestrune::platform::kDialogCancelled;
  answer.columnWidths = {1, 1, 1, 1};
  answer.sortColumn = 0;
  rememberAnswer(memory, answer, 2);
  EXPECT_EQ((std::array<int, 4>{125, 70, 400, 0}), memory.columnWidths);
  EXPECT_EQ(0, memory.sortColumn);  // header clicks count even when cancelled
  answer.choice = 5;                // outside the collection: not remembered
  rememberAnswer(memory, answer, 2);
  EXPECT_EQ(1, memory.lastRow);
}

// The second dialog of the process starts from what the first left: the chosen row, the
// widths and the sort order (rows are numbered in the order shown).
TEST(SelectModelTest, SecondDialogKeepsTheFirstOnesState) {
  Contexts certs(threeHolders());
  auto collection = certs.collection();
  CertificateDialogMemory& memory = tvxCAPIDialogMemory();
  memory = CertificateDialogMemory{};
  ASSERT_TRUE(kestrune::platform::setEnvironmentVariable("KESTRUNE_CHOOSE", "2,1,cancel,none"));
  PCCERT_CONTEXT chosen = nullptr;
  ASSERT_EQ(0, tvxCAPISelectFromCollection(&collection, "msg", 3, &chosen));
  EXPECT_EQ(certs[1]->pCertInfo, chosen->pCertInfo);
  CertFreeCertificateContext(chosen);
  EXPECT_EQ(1, memory.lastRow);
  EXPECT_EQ((std::array<int, 4>{125, 70, 70, 127}), memory.columnWidths);
  // As if the user had sorted by holder, descending, in the first dialog.
  memory.sortColumn = 0;
  memory.sortDescending = true;
  ASSERT_EQ(0, tvxCAPISelectFromCollection(&collection, nullptr, 0, &chosen));
  EXPECT_EQ(certs[1]->pCertInfo, chosen->pCertInfo);  // "Unit" comes first
  CertFreeCertificateContext(chosen);
  EXPECT_EQ(0, memory.sortColumn);
  EXPECT_TRUE(memory.sortDescending);
  EXPECT_EQ(5070, tvxCAPISelectFromCollection(&collection, nullptr, 0, &chosen));
  EXPECT_EQ(5001, tvxCAPISelectFromCollection(&collection, nullptr, 0, &chosen));
  EXPECT_EQ(5001, tvxCAPISelectFromCollection(&collection, nullptr, 0, &chosen));  // list used up
  EXPECT_EQ(5005, tvxCAPISelectFromCollection(nullptr, nullptr, 0, &chosen));
  memory = CertificateDialogMemory{};
}

}  // namespace
