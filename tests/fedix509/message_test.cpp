// The CA message envelope and its content holder: wrapping by content type, the digest, the
// optional fields on decoding and the refusals.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "FEDIX509/fedi_message.h"
#include "common/ptr.h"
#include "fedi_der.h"
#include "platform/platform.h"

namespace kestrune::fedi::test {
namespace {

// holderOf decodes der, wrapped in the content header typeHeader, into a holder owning it.
ContentPtr holderOf(const char* typeHeader, const Bytes& der) {
  const Bytes wrapped =
      concat({hex(typeHeader), Bytes{static_cast<std::uint8_t>(der.size())}, der});
  const unsigned char* pos = wrapped.data();
  ContentPtr holder(d2i_FEDI_CONTENT(nullptr, &pos, static_cast<long>(wrapped.size())));
  if (holder && holder->record == nullptr) return nullptr;
  return holder;
}

Bytes encodeMessage(const FEDI_MESSAGE* msg) {
  unsigned char* der = nullptr;
  const int length = i2d_FEDI_MESSAGE(msg, &der);
  if (length <= 0) return {};
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

MessagePtr decodeMessage(const Bytes& der) {
  const unsigned char* pos = der.data();
  MessagePtr msg(d2i_FEDI_MESSAGE(nullptr, &pos, static_cast<long>(der.size())));
  if (msg && pos != der.data() + der.size()) return nullptr;
  return msg;
}

const Bytes kStatus = seq({integer(3), tlv(0x04, text("no such certificate"))});
const Bytes kCreated = tlv(0x18, text("20261210071000Z"));

Bytes header() {
  return concat({integer(0), integer(0), kCreated});
}

class FediMessage : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = platform::setClock([] { return std::int64_t{1765350600}; });
  }
  void TearDown() override { platform::setClock(previous_); }
  platform::Clock previous_;
};

TEST_F(FediMessage, FillWrapsTheContentByItsTypeAndDigestsIt) {
  struct Case {
    int type;
    const char* wrapper;  // [2] header then the [type] header, in hex
  };
  const Bytes cchn = seq({tlv(0x13, text("Get-CcHn")), integer(0), integer(108),
                          tlv(0x13, text("SID2")), tlv(0x13, text("SID1"))});
  const Case cases[] = {{FEDI_CT_CCHN_REQ, "A2BF6C"}, {FEDI_CT_STATUS, "A2BF8767"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    const Bytes record = c.type == FEDI_CT_STATUS ? kStatus : cchn;
    ContentPtr source = holderOf(std::string(c.wrapper).substr(2).c_str(), record);
    ASSERT_TRUE(source);
    MessagePtr msg(FEDI_MESSAGE_new());
    ASSERT_TRUE(msg);
    ASSERT_EQ(FEDI_MSG_OK,
              FEDI_MESSAGE_fill(msg.get(), 0, 0, "Tarvonel/FEDI/V1.00", c.type, source->record));
    EXPECT_EQ(0, msg->content->owned);

    Bytes digest(20);
    unsigned int md5Length = 0;
    ASSERT_EQ(
        1, EVP_Digest(record.data(), record.size(), digest.data(), &md5Length, EVP_md5(), nullptr));
    ASSERT_EQ(16u, md5Length);
    ASSERT_EQ(20, msg->digest->length);
    EXPECT_EQ(toHex(digest), toHex(Bytes(msg->digest->data, msg->digest->data + 20)));

    // The [type] wrapper's length is one byte here, so the [2] length covers header + record.
    const Bytes typeTag = hex(std::string(c.wrapper).substr(2));
    Bytes inner = concat({typeTag, Bytes{static_cast<std::uint8_t>(record.size())}, record});
    const Bytes want =
        seq({integer(0), integer(0), tlv(0x18, text("20251210071000Z")), tlv(0x81, digest),
             tlv(0x13, text("Tarvonel/FEDI/V1.00")), tlv(0xA2, inner)});
    const Bytes got = encodeMessage(msg.get());
    EXPECT_EQ(toHex(want), toHex(got));

    MessagePtr back = decodeMessage(got);
    ASSERT_TRUE(back);
    EXPECT_EQ(c.type, back->content->type);
    EXPECT_EQ(1, back->content->owned);
    EXPECT_EQ(toHex(got), toHex(encodeMessage(back.get())));
  }
}

TEST_F(FediMessage, ContentSetReportsItsCodes) {
  ContentPtr content(FEDI_CONTENT_new());
  ASSERT_TRUE(content);
  EXPECT_EQ(FEDI_CONTENT_NONE, content->type);
  ContentPtr status = holderOf("BF8767", kStatus);
  ASSERT_TRUE(status);
  void* any = status->record;
  EXPECT_EQ(FEDI_MSG_NO_CODER, FEDI_CONTENT_set(content.get(), 12, any));
  EXPECT_EQ(FEDI_MSG_NO_CODER, FEDI_CONTENT_set(content.get(), 110, any));
  EXPECT_EQ(FEDI_MSG_EMPTY_RECORD, FEDI_CONTENT_set(content.get(), FEDI_CT_STATUS, nullptr));
  EXPECT_EQ(FEDI_CONTENT_NONE, content->type);
  MessagePtr msg(FEDI_MESSAGE_new());
  ASSERT_TRUE(msg);
  EXPECT_EQ(FEDI_MSG_NO_CODER, FEDI_MESSAGE_fill(msg.get(), 0, 0, "a", 998, any));
  EXPECT_EQ(FEDI_MSG_OK, FEDI_CONTENT_set(content.get(), FEDI_CT_STATUS, any));
  EXPECT_EQ(static_cast<int>(kStatus.size()), content->der_length);
}

TEST_F(FediMessage, DecodesAnswersWithOptionalFieldsAbsentOrIndefinite) {
  const Bytes statusContent =
      concat({hex("BF8767"), Bytes{static_cast<std::uint8_t>(kStatus.size())}, kStatus});
  struct Case {
    const char* what;
    Bytes der;
    int type;
    bool digest;
  };
  const Case cases[] = {
      {"no digest, no content", seq({header(), tlv(0x13, text("CA"))}), FEDI_CONTENT_NONE, false},
      {"status without digest", seq({header(), tlv(0x13, text("CA")), tlv(0xA2, statusContent)}),
       FEDI_CT_STATUS, false},
      {"16-byte digest kept as received",
       seq({header(), tlv(0x81, Bytes(16, 0x11)), tlv(0x16, text("CA"))}), FEDI_CONTENT_NONE, true},
      {"indefinite wrappers",
       concat({hex("3080"), header(), tlv(0x13, text("CA")), hex("A280BF876780"), kStatus,
               hex("00000000"), hex("0000")}),
       FEDI_CT_STATUS, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MessagePtr msg = decodeMessage(c.der);
    ASSERT_TRUE(msg);
    EXPECT_EQ(c.type, msg->content->type);
    EXPECT_EQ(c.type == FEDI_CONTENT_NONE, msg->content->record == nullptr);
    EXPECT_EQ(c.digest, msg->digest != nullptr);
    if (c.der[1] != 0x80) {
      EXPECT_EQ(toHex(c.der), toHex(encodeMessage(msg.get())));
    }
  }
}

TEST_F(FediMessage, RefusesMalformedAnswers) {
  const Bytes agent = tlv(0x13, text("CA"));
  const Bytes status =
      concat({hex("BF8767"), Bytes{static_cast<std::uint8_t>(kStatus.size())}, kStatus});
  struct Case {
    const char* what;
    Bytes der;
  };
  const Case cases[] = {
      {"content type without coder", seq({header(), agent, tlv(0xA2, tlv(0xAC, kStatus))})},
      {"UTCTime as creation time",
       seq({integer(0), integer(0), tlv(0x17, text("261210071000Z")), agent})},
      {"bad GeneralizedTime", seq({integer(0), integer(0), tlv(0x18, text("2026121007")), agent})},
      {"trailing field", seq({header(), agent, tlv(0xA2, status), integer(1)})},
      {"bytes left inside [2]", seq({header(), agent, tlv(0xA2, concat({status, integer(1)}))})},
      {"malformed status record", seq({header(), agent, tlv(0xA2, tlv(0xBF, Bytes{}))})},
      {"missing end-of-contents",
       concat({hex("3080"), header(), agent, hex("A280BF876780"), kStatus, hex("0000")})},
      {"no agent", seq({header()})},
      {"empty [2]", seq({header(), agent, hex("A200")})},
      {"empty indefinite [2]", seq({header(), agent, hex("A2800000")})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const unsigned char* pos = c.der.data();
    MessagePtr msg(d2i_FEDI_MESSAGE(nullptr, &pos, static_cast<long>(c.der.size())));
    EXPECT_FALSE(msg);
    EXPECT_EQ(c.der.data(), pos);
  }
}

}  // namespace
}  // namespace kestrune::fedi::test

namespace kestrune::fedi::test {
namespace {

using QueryPtr = Ptr<FEDI_QUERY>;

// authority returns the Name {O = o, CN = cn}.
X509_NAME* authority(const char* o, const char* cn) {
  X509_NAME* name = X509_NAME_new();
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(o), -1,
                             -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  return name;
}

Bytes nameDer(const X509_NAME* name) {
  unsigned char* der = nullptr;
  const int length = i2d_X509_NAME(name, &der);
  if (length <= 0) return {};
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

Bytes encodeQuery(const FEDI_QUERY* query) {
  unsigned char* der = nullptr;
  const int length = i2d_FEDI_QUERY(query, &der);
  if (length <= 0) return {};
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

QueryPtr decodeQuery(const Bytes& der, int bodyType) {
  const unsigned char* pos = der.data();
  QueryPtr query(d2i_FEDI_QUERY(nullptr, &pos, static_cast<long>(der.size()), bodyType));
  if (query && pos != der.data() + der.size()) return nullptr;
  return query;
}

// withTag returns der with its first byte replaced.
Bytes withTag(Bytes der, std::uint8_t tag) {
  der[0] = tag;
  return der;
}

TEST(FediQuery, BodiesWriteOnlyTheFieldsPresentUnderTheirImplicitTags) {
  X509_NAME* issuer = authority("CASID2", "CASID1");
  X509_NAME* subject = authority("SID2", "SID1");
  const Bytes issuerDer = nameDer(issuer);
  const Bytes subjectDer = nameDer(subject);
  ASN1_TIME* date = ASN1_UTCTIME_set(nullptr, 1765350600);
  const Bytes dateText = text("251210071000Z");

  QueryPtr bare(FEDI_QUERY_new("GeT_CeRt", FEDI_CT_GET_CERT));
  ASSERT_TRUE(bare);
  X509_NAME_free(bare->getCert->issuer);
  bare->getCert->issuer = X509_NAME_dup(issuer);
  const Bytes bareDer =
      seq({tlv(0x13, text("GeT_CeRt")), integer(0), seq({integer(0), integer(6), issuerDer})});

  QueryPtr full(FEDI_QUERY_new("GeT_CeRt", FEDI_CT_GET_CERT));
  ASSERT_TRUE(full);
  X509_NAME_free(full->getCert->issuer);
  full->getCert->issuer = X509_NAME_dup(issuer);
  full->getCert->subject = X509_NAME_dup(subject);
  full->getCert->serialNumber = ASN1_INTEGER_new();
  ASN1_INTEGER_set(full->getCert->serialNumber, 0x1234);
  full->getCert->date = ASN1_STRING_dup(date);
  const Bytes fullDer = seq({tlv(0x13, text("GeT_CeRt")), integer(0),
                             seq({integer(0), integer(6), issuerDer, withTag(subjectDer, 0xA0),
                                  withTag(integer(0x1234), 0x81), tlv(0x82, dateText)})});

  QueryPtr crl(FEDI_QUERY_new("GeT_CrL_", FEDI_CT_GET_CRL));
  ASSERT_TRUE(crl);
  X509_NAME_free(crl->getCrl->issuer);
  crl->getCrl->issuer = X509_NAME_dup(issuer);
  const Bytes crlDer =
      seq({tlv(0x13, text("GeT_CrL_")), integer(0), seq({integer(0), integer(8), issuerDer})});

  QueryPtr caPk(FEDI_QUERY_new("GeT_CaPk", FEDI_CT_GET_CAPK));
  ASSERT_TRUE(caPk);
  X509_NAME_free(caPk->getCaPk->issuer);
  caPk->getCaPk->issuer = X509_NAME_dup(issuer);
  caPk->getCaPk->psn = ASN1_INTEGER_new();
  ASN1_INTEGER_set(caPk->getCaPk->psn, 5);
  caPk->getCaPk->date = ASN1_STRING_dup(date);
  const Bytes caPkDer = seq(
      {tlv(0x13, text("GeT_CaPk")), integer(0),
       seq({integer(0), integer(10), issuerDer, withTag(integer(5), 0x80), tlv(0x81, dateText)})});
  ASN1_TIME_free(date);
  X509_NAME_free(issuer);
  X509_NAME_free(subject);

  struct Case {
    const char* what;
    const FEDI_QUERY* query;
    const Bytes& want;
  };
  const Case cases[] = {{"GeT_CeRt without optional fields", bare.get(), bareDer},
                        {"GeT_CeRt with every field", full.get(), fullDer},
                        {"GeT_CrL_", crl.get(), crlDer},
                        {"GeT_CaPk with psn and date", caPk.get(), caPkDer}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes got = encodeQuery(c.query);
    EXPECT_EQ(toHex(c.want), toHex(got));
    QueryPtr back = decodeQuery(got, c.query->bodyType);
    ASSERT_TRUE(back);
    EXPECT_EQ(toHex(got), toHex(encodeQuery(back.get())));
  }

  // Sent in a message, the query is wrapped as [2] { [6] { query } }.
  MessagePtr msg(FEDI_MESSAGE_new());
  ASSERT_TRUE(msg);
  ASSERT_EQ(FEDI_MSG_OK, FEDI_MESSAGE_fill(msg.get(), 0, 0, "Tarvonel/FEDI/V1.00", FEDI_CT_GET_CERT,
                                           bare.get()));
  const Bytes message = encodeMessage(msg.get());
  const Bytes wrapped = tlv(0xA2, tlv(0xA6, bareDer));
  ASSERT_GE(message.size(), wrapped.size());
  EXPECT_EQ(toHex(wrapped),
            toHex(Bytes(message.end() - static_cast<long>(wrapped.size()), message.end())));
  MessagePtr back = decodeMessage(message);
  ASSERT_TRUE(back);
  ASSERT_EQ(FEDI_CT_GET_CERT, back->content->type);
  EXPECT_EQ(toHex(bareDer),
            toHex(encodeQuery(static_cast<const FEDI_QUERY*>(back->content->record))));
}

TEST(FediQuery, RefusesDatesAndBodiesOutOfShape) {
  const Bytes issuer = seq({});
  const Bytes head = concat({tlv(0x13, text("GeT_CeRt")), integer(0)});
  struct Case {
    const char* what;
    Bytes der;
    int bodyType;
  };
  const Case cases[] = {
      {"a GeneralizedTime date reads back as a UTCTime and fails its check",
       seq({head, seq({integer(0), integer(6), issuer, tlv(0x82, text("20251210071000Z"))})}),
       FEDI_CT_GET_CERT},
      {"a field after the body", seq({head, seq({integer(0), integer(6), issuer}), integer(0)}),
       FEDI_CT_GET_CERT},
      {"an unknown optional field",
       seq({head, seq({integer(0), integer(6), issuer, tlv(0x83, text("x"))})}), FEDI_CT_GET_CERT},
      {"optional fields out of order",
       seq({head, seq({integer(0), integer(10), issuer, tlv(0x81, text("251210071000Z")),
                       tlv(0x80, Bytes{5})})}),
       FEDI_CT_GET_CAPK},
      {"no issuer", seq({head, seq({integer(0), integer(8)})}), FEDI_CT_GET_CRL},
      {"a body type without query", seq({head, seq({integer(0), integer(6), issuer})}), 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const unsigned char* pos = c.der.data();
    QueryPtr query(d2i_FEDI_QUERY(nullptr, &pos, static_cast<long>(c.der.size()), c.bodyType));
    EXPECT_FALSE(query);
    EXPECT_EQ(c.der.data(), pos);
  }
  EXPECT_EQ(nullptr, FEDI_QUERY_new("GeT_CeRt", 7));
}

}  // namespace
}  // namespace kestrune::fedi::test

namespace kestrune::fedi::test {
namespace {

template <class T>
Bytes encodeWith(int (*i2d)(const T*, unsigned char**), const T* record) {
  unsigned char* der = nullptr;
  const int length = i2d(record, &der);
  if (length <= 0) return {};
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

Bytes bmp(std::string_view ascii) {
  Bytes out;
  for (char c : ascii) {
    out.push_back(0);
    out.push_back(static_cast<std::uint8_t>(c));
  }
  return tlv(0x1E, out);
}

TEST(FediIdentifiers, NewRecordsCarryTheirTagsAndPairsAreWrittenInDerOrder) {
  Ptr<FEDI_CCHN_REQ> cchn(FEDI_CCHN_REQ_new());
  ASSERT_TRUE(cchn);
  ASSERT_EQ(1, ASN1_STRING_set(cchn->sid2, "SID2", -1));
  ASSERT_EQ(1, ASN1_STRING_set(cchn->sid1, "SID1", -1));
  EXPECT_EQ(toHex(seq({tlv(0x13, text("Get-CcHn")), integer(0), integer(108),
                       tlv(0x13, text("SID2")), tlv(0x13, text("SID1"))})),
            toHex(encodeWith(i2d_FEDI_CCHN_REQ, static_cast<const FEDI_CCHN_REQ*>(cchn.get()))));

  // A received answer lists "b" before "a"; decoding keeps that order, encoding sorts.
  const Bytes pairB = seq({bmp("b"), tlv(0x13, text("2"))});
  const Bytes pairA = seq({bmp("a"), tlv(0x13, text("1"))});
  const auto answer = [&](const Bytes& first, const Bytes& second) {
    return seq({tlv(0x13, text("GeT-CsId")), integer(0), integer(109), pairA,
                tlv(0x31, concat({first, second}))});
  };
  const Bytes received = answer(pairB, pairA);
  const unsigned char* pos = received.data();
  Ptr<FEDI_CSID_RESP> resp(d2i_FEDI_CSID_RESP(nullptr, &pos, static_cast<long>(received.size())));
  ASSERT_TRUE(resp);
  ASSERT_EQ(2, sk_FEDI_ID_PAIR_num(resp->pairs));
  EXPECT_EQ(V_ASN1_BMPSTRING, sk_FEDI_ID_PAIR_value(resp->pairs, 0)->text->type);
  EXPECT_EQ(toHex(pairB),
            toHex(encodeWith(i2d_FEDI_ID_PAIR, static_cast<const FEDI_ID_PAIR*>(
                                                   sk_FEDI_ID_PAIR_value(resp->pairs, 0)))));
  EXPECT_EQ(toHex(answer(pairA, pairB)),
            toHex(encodeWith(i2d_FEDI_CSID_RESP, static_cast<const FEDI_CSID_RESP*>(resp.get()))));

  Ptr<FEDI_ID_PAIR> pair(FEDI_ID_PAIR_new());
  ASSERT_TRUE(pair);
  EXPECT_EQ(V_ASN1_BMPSTRING, pair->text->type);
  EXPECT_EQ(V_ASN1_PRINTABLESTRING, pair->code->type);
}

TEST(FediIdentifiers, StatusKeepsItsCodeAsANumber) {
  struct Case {
    const char* what;
    Bytes code;
    int want;
  };
  const Case cases[] = {{"small", integer(3), 3},
                        {"negative", integer(-7), -7},
                        {"four bytes", hex("020412345678"), 0x12345678},
                        {"five bytes", hex("02050100000000"), -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes der = seq({c.code, tlv(0x04, text("no"))});
    const unsigned char* pos = der.data();
    Ptr<FEDI_STATUS> status(d2i_FEDI_STATUS(nullptr, &pos, static_cast<long>(der.size())));
    ASSERT_TRUE(status);
    EXPECT_EQ(c.want, status->value);
    EXPECT_EQ(toHex(der),
              toHex(encodeWith(i2d_FEDI_STATUS, static_cast<const FEDI_STATUS*>(status.get()))));
  }
}

}  // namespace
}  // namespace kestrune::fedi::test
