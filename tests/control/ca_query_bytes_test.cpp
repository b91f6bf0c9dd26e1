// What the CA queries put on the wire, read back from the posted FEDI_MESSAGE, and what they
// return from the authority's answer.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "FEDIX509/fedi_crl.h"
#include "common/ptr.h"
#include "tests/control/ca_scripted_authority.h"

namespace kestrune::testing {
namespace {

using Text = std::optional<std::u16string>;

// decimalOfBytes is the decimal text of an unsigned number of `bytes` bytes: all ones, or
// (with plusOne) the smallest number one byte longer.
std::u16string decimalOfBytes(int bytes, bool plusOne) {
  Ptr<BIGNUM> number(BN_new());
  BN_set_bit(number.get(), bytes * 8);
  if (!plusOne) BN_sub_word(number.get(), 1);
  char* text = BN_bn2dec(number.get());
  std::u16string decimal = u16(text);
  OPENSSL_free(text);
  return decimal;
}

class CaQueryBytes : public ScriptedCaTest {
 protected:
  void SetUp() override {
    ScriptedCaTest::SetUp();
    ASSERT_TRUE(bag);
    answerWith(FEDI_CT_GET_CERT_ANS, bag.get());
  }
  // answerWith answers every message with a record of the given type.
  void answerWith(int type, void* record) {
    authority.answer([type, record](const FEDI_MESSAGE* request) {
      return messageResponse(request, type, record);
    });
  }
  // lastQuery is the query record of the last message posted, of the given content type.
  template <class T>
  T* lastQuery(int type) {
    posted = authority.posted();
    return posted.empty() ? nullptr : content<T>(posted.back(), type);
  }
  // returnsBag checks that a text result is the Base64 of the answered bag.
  void returnsBag(const Text& text) {
    ASSERT_TRUE(text);
    EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
    EXPECT_EQ(ca::toDer(*bag), decodeBase64(*text));
  }

  const ca::BagPtr bag = holderBag();
  std::vector<fedi::MessagePtr> posted;
};

TEST_F(CaQueryBytes, CertificateBySerialNumberNamesIssuerAndSerialOnly) {
  const std::u16string serial = u"123456789012345678901234567890";
  returnsBag(control.queryB64Certificate(url, kCasid1, kCasid2, serial));

  const auto requests = authority.requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("GET", requests[0].method);
  EXPECT_EQ("POST", requests[1].method);
  const auto* query = lastQuery<FEDI_QUERY>(FEDI_CT_GET_CERT);
  ASSERT_NE(nullptr, query);
  EXPECT_EQ("GeT_CeRt", stringText(query->typeTag));
  EXPECT_EQ("O=FEDI Test Certification CA,CN=TESTCA1", nameText(query->getCert->issuer));
  EXPECT_EQ(nullptr, query->getCert->subject);
  EXPECT_EQ("123456789012345678901234567890", integerDecimal(query->getCert->serialNumber));
  EXPECT_EQ(nullptr, query->getCert->date);
}

TEST_F(CaQueryBytes, SerialNumbersUpTo255Bytes) {
  // 255 bytes fit the 256-byte buffer; 256 bytes, or anything that is no decimal number, give 3
  // before any traffic.
  const std::u16string longest = decimalOfBytes(255, false);
  returnsBag(control.queryB64Certificate(url, kCasid1, kCasid2, longest));
  const auto* query = lastQuery<FEDI_QUERY>(FEDI_CT_GET_CERT);
  ASSERT_NE(nullptr, query);
  EXPECT_EQ(255, ASN1_STRING_length(query->getCert->serialNumber));
  EXPECT_EQ(std::string(longest.begin(), longest.end()),
            integerDecimal(query->getCert->serialNumber));

  const std::size_t sent = authority.requests().size();
  const std::u16string refused[] = {
      decimalOfBytes(255, true), std::u16string(700, u'9'), u"", u"12A", u"-5", u"0x10"};
  for (const auto& serial : refused) {
    SCOPED_TRACE(
        std::string(serial.begin(), serial.begin() + std::min<std::size_t>(serial.size(), 8)));
    EXPECT_FALSE(control.queryB64Certificate(url, kCasid1, kCasid2, serial));
    EXPECT_EQ(+ControlCode::kBadText, control.getErrorCode());
    EXPECT_FALSE(control.queryPSNCaPublicKey(url, kCasid1, kCasid2, serial));
    EXPECT_EQ(+ControlCode::kBadText, control.getErrorCode());
  }
  EXPECT_EQ(sent, authority.requests().size());
}

TEST_F(CaQueryBytes, CertificatesOfAHolderByDate) {
  struct Case {
    const char16_t* date;
    const char* sentTime;  // null: the query has no time
  };
  const Case cases[] = {
      {u"", nullptr},
      // 30 February is normalised to 2 March; a date alone means 23:59:59 local time.
      {u"20100230", "100302155959Z"},
      {u"20100101083000", "100101003000Z"},
      // Not 14 characters: the time of day is ignored.
      {u"2010010108", "100101155959Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.date, c.date + std::char_traits<char16_t>::length(c.date)));
    returnsBag(control.queryMultipleCertificate(url, kCasid1, kCasid2, kSid1, kSid2, c.date));
    const auto* query = lastQuery<FEDI_QUERY>(FEDI_CT_GET_CERT);
    ASSERT_NE(nullptr, query);
    EXPECT_EQ("O=FEDI Test Certification CA,CN=TESTCA1", nameText(query->getCert->issuer));
    EXPECT_EQ("O=12345678,CN=TESTUSER01", nameText(query->getCert->subject));
    EXPECT_EQ(nullptr, query->getCert->serialNumber);
    if (c.sentTime == nullptr) {
      EXPECT_EQ(nullptr, query->getCert->date);
    } else {
      ASSERT_NE(nullptr, query->getCert->date);
      EXPECT_EQ(V_ASN1_UTCTIME, ASN1_STRING_type(query->getCert->date));
      EXPECT_EQ(c.sentTime, stringText(query->getCert->date));
    }
  }

  // An unreadable date stops the method before any traffic.
  const std::size_t sent = authority.requests().size();
  for (const char16_t* date : {u"2010", u"20100001", u"00000101"}) {
    SCOPED_TRACE(std::string(date, date + std::char_traits<char16_t>::length(date)));
    EXPECT_FALSE(control.queryMultipleCertificate(url, kCasid1, kCasid2, kSid1, kSid2, date));
    EXPECT_EQ(+ControlCode::kMalformedArgument, control.getErrorCode());
  }
  EXPECT_EQ(sent, authority.requests().size());
}

TEST_F(CaQueryBytes, AuthorityKeyQueries) {
  answerWith(FEDI_CT_GET_CAPK_ANS, bag.get());
  struct Case {
    const char* name;
    std::function<Text(TVFEDIMiniKeyCrypt&, const std::u16string&)> call;
    const char* psn;   // null: absent
    const char* date;  // null: absent
  };
  const Case cases[] = {
      {"queryCaPublicKey",
       [](TVFEDIMiniKeyCrypt& c, const std::u16string& u) {
         return c.queryCaPublicKey(u, kCasid1, kCasid2);
       },
       nullptr, nullptr},
      {"queryPSNCaPublicKey",
       [](TVFEDIMiniKeyCrypt& c, const std::u16string& u) {
         return c.queryPSNCaPublicKey(u, kCasid1, kCasid2, u"4660");
       },
       "4660", nullptr},
      {"queryDateCaPublicKey",
       [](TVFEDIMiniKeyCrypt& c, const std::u16string& u) {
         return c.queryDateCaPublicKey(u, kCasid1, kCasid2, u"20300101123456");
       },
       nullptr, "300101043456Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    returnsBag(c.call(control, url));
    const auto* query = lastQuery<FEDI_QUERY>(FEDI_CT_GET_CAPK);
    ASSERT_NE(nullptr, query);
    EXPECT_EQ("GeT_CaPk", stringText(query->typeTag));
    EXPECT_EQ("O=FEDI Test Certification CA,CN=TESTCA1", nameText(query->getCaPk->issuer));
    EXPECT_EQ(c.psn != nullptr ? c.psn : "(none)", integerDecimal(query->getCaPk->psn));
    EXPECT_EQ(c.date != nullptr, query->getCaPk->date != nullptr);
    if (c.date != nullptr && query->getCaPk->date != nullptr) {
      EXPECT_EQ(c.date, stringText(query->getCaPk->date));
    }
  }

  // A key query by date needs a readable date: an empty one is not "any date".
  const std::size_t sent = authority.requests().size();
  EXPECT_FALSE(control.queryDateCaPublicKey(url, kCasid1, kCasid2, u""));
  EXPECT_EQ(+ControlCode::kMalformedArgument, control.getErrorCode());
  EXPECT_EQ(sent, authority.requests().size());
}

TEST_F(CaQueryBytes, RevocationListQuery) {
  const auto crl = crlListing({7, 300});
  answerWith(FEDI_CT_GET_CRL_ANS, crl.get());
  const Text text = control.queryCRL(url, kCasid1, kCasid2);
  ASSERT_TRUE(text);
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());

  const auto* query = lastQuery<FEDI_QUERY>(FEDI_CT_GET_CRL);
  ASSERT_NE(nullptr, query);
  EXPECT_EQ("GeT_CrL_", stringText(query->typeTag));
  EXPECT_EQ("O=FEDI Test Certification CA,CN=TESTCA1", nameText(query->getCrl->issuer));

  const auto der = decodeBase64(*text);
  const unsigned char* position = der.data();
  const fedi::CrlPtr received(d2i_FEDICRL(nullptr, &position, static_cast<long>(der.size())));
  ASSERT_TRUE(received);
  const auto* revoked = X509_CRL_get_REVOKED(received->crl);
  ASSERT_EQ(2, sk_X509_REVOKED_num(revoked));
  EXPECT_EQ("7", integerDecimal(X509_REVOKED_get0_serialNumber(sk_X509_REVOKED_value(revoked, 0))));
}

// sidAnswer builds the authority's identifier answer: one pair whose text is a BMPString, as a
// new pair has it, and a SET of pairs with PrintableString texts.
struct SidAnswer {
  Ptr<FEDI_CSID_RESP> record{FEDI_CSID_RESP_new()};
  explicit SidAnswer(const std::vector<const char*>& setTexts) {
    ASN1_INTEGER_set(record->type, FEDI_CT_CCHN_RESP);
    // "ORG" followed by U+4E2D, in UTF-16 big endian.
    const unsigned char bmp[] = {0x00, 'O', 0x00, 'R', 0x00, 'G', 0x4E, 0x2D};
    ASN1_STRING_set(record->pair->text, bmp, sizeof bmp);
    ASN1_STRING_set(record->pair->code, "C1", 2);
    for (const char* text : setTexts) {
      FEDI_ID_PAIR* pair = FEDI_ID_PAIR_new();
      ASN1_STRING* printable = ASN1_PRINTABLESTRING_new();
      ASN1_STRING_set(printable, text, -1);
      ASN1_STRING_free(pair->text);
      pair->text = printable;
      ASN1_STRING_set(pair->code, "C2", 2);
      sk_FEDI_ID_PAIR_push(record->pairs, pair);
    }
  }
};

TEST_F(CaQueryBytes, IdentifierQueries) {
  // Written in DER order, the SET puts USER0001 first whatever the order in memory.
  SidAnswer answer({"USER0002", "USER0001"});
  answerWith(FEDI_CT_CCHN_RESP, answer.record.get());

  EXPECT_EQ(u"USER0001", control.querySID1(url, kSid1, kSid2));
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
  const auto* query = lastQuery<FEDI_CCHN_REQ>(FEDI_CT_CCHN_REQ);
  ASSERT_NE(nullptr, query);
  EXPECT_EQ("Get-CcHn", stringText(query->typeTag));
  EXPECT_EQ(FEDI_CT_CCHN_REQ, ASN1_INTEGER_get(query->type));
  // SID2 comes first in the record, both as PrintableStrings.
  EXPECT_EQ("12345678", stringText(query->sid2));
  EXPECT_EQ(V_ASN1_PRINTABLESTRING, ASN1_STRING_type(query->sid2));
  EXPECT_EQ("TESTUSER01", stringText(query->sid1));
  EXPECT_EQ(V_ASN1_PRINTABLESTRING, ASN1_STRING_type(query->sid1));

  // The single pair's BMPString text comes back as the Unicode text it is.
  EXPECT_EQ(u"ORG\u4E2D", control.querySID2(url, kSid1, kSid2));
  EXPECT_EQ(+ControlCode::kOk, control.getErrorCode());
}

TEST_F(CaQueryBytes, IdentifierAnswerWithAnEmptySet) {
  SidAnswer answer({});
  answerWith(FEDI_CT_CCHN_RESP, answer.record.get());
  // No element, no SID1: no text, and a code that doesn't claim success.
  EXPECT_FALSE(control.querySID1(url, kSid1, kSid2));
  EXPECT_EQ(+ControlCode::kMalformedArgument, control.getErrorCode());
  EXPECT_EQ(u"ORG\u4E2D", control.querySID2(url, kSid1, kSid2));
}

}  // namespace
}  // namespace kestrune::testing
