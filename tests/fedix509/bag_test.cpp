// Certificate bags: decoding, the certificate list, building and re-encoding.
#include <string>

#include "FEDIX509/fedi_x509.h"
#include "coding.h"
#include "fedi_records.h"

namespace kestrune::fedi::test {
namespace {

TEST(FediCertBag, DecodesSeveralCertificatesInOrder) {
  BodyFields first, second, third;
  first.serial = integer(1);
  second.serial = integer(2);
  third.serial = integer(3);
  const Bytes der = bag({certificate(first), certificate(second), certificate(third)});
  auto decoded = decode(d2i_FEDICERT, der);
  ASSERT_TRUE(decoded);
  ASSERT_EQ(3, FEDICERT_get_num(decoded.get()));
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    RecordPtr<FEDI_X509> cert(FEDICERT_get_cert(decoded.get(), i));
    ASSERT_TRUE(cert);
    EXPECT_EQ(2, cert->references);  // the bag's and ours
    EXPECT_EQ(i + 1, ASN1_INTEGER_get(FEDI_X509_get_serialNumber(cert.get())));
    EXPECT_EQ(1, FEDI_X509_verify(cert.get(), testCaKey()));
  }
  EXPECT_EQ(nullptr, FEDICERT_get_cert(decoded.get(), 3));
  EXPECT_EQ(nullptr, FEDICERT_get_cert(decoded.get(), -1));
  EXPECT_EQ(toHex(der), toHex(encode(i2d_FEDICERT, decoded.get())));
}

TEST(FediCertBag, EmptyListHasNoCertificate) {
  const Bytes der = bag({});
  auto decoded = decode(d2i_FEDICERT, der);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(0, FEDICERT_get_num(decoded.get()));
  EXPECT_EQ(nullptr, FEDICERT_get_cert(decoded.get(), 0));
  EXPECT_EQ(toHex(der), toHex(encode(i2d_FEDICERT, decoded.get())));
  EXPECT_EQ(0, FEDICERT_get_num(nullptr));
  EXPECT_EQ(nullptr, FEDICERT_get_cert(nullptr, 0));
}

// The tag text is not compared, and any string type of the printable family is accepted and
// written back with its own type.
TEST(FediCertBag, AcceptsAnyPrintableFamilyTag) {
  struct Case {
    const char* what;
    Bytes tag;
    bool decodes;
  };
  const Case cases[] = {
      {"PrintableString other text", tlv(0x13, text("NoTaGhEr")), true},
      {"T61String", tlv(0x14, text("CeRtIfIc")), true},
      {"IA5String", tlv(0x16, text("CeRtIfIc")), true},
      {"UTF8String", tlv(0x0C, text("CeRtIfIc")), true},
      {"NumericString", tlv(0x12, text("12345678")), true},
      {"BMPString", tlv(0x1E, hex("0043 0065 0052 0074 0049 0066 0049 0063")), true},
      {"UniversalString", tlv(0x1C, hex("00000043 00000065")), true},
      {"BIT STRING", tlv(0x03, hex("00 43 65 52 74")), true},
      {"empty PrintableString", tlv(0x13, {}), true},
      {"INTEGER", integer(8), false},
      {"OCTET STRING", tlv(0x04, text("CeRtIfIc")), false},
      {"context tag", tlv(0x80, text("CeRtIfIc")), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes der = bag({certificate()}, c.tag);
    auto decoded = decode(d2i_FEDICERT, der);
    EXPECT_EQ(c.decodes, static_cast<bool>(decoded));
    if (decoded) {
      EXPECT_EQ(1, FEDICERT_get_num(decoded.get()));
      EXPECT_EQ(toHex(der), toHex(encode(i2d_FEDICERT, decoded.get())));
    }
  }
}

TEST(FediCertBag, RefusesMalformedBags) {
  struct Case {
    const char* what;
    Bytes der;
  };
  const Bytes cert = certificate();
  const Bytes tag = tlv(0x13, text("CeRtIfIc"));
  const Bytes time = utcTime("961122000000+0800");
  const Case cases[] = {
      {"time as PrintableString", bag({cert}, tag, tlv(0x13, text("961122000000Z")))},
      {"ten-nines time", bag({cert}, tag, utcTime("9999999999"))},
      {"list as SET", seq({tag, integer(0), integer(1), time, integer(1), tlv(0x31, cert)})},
      {"list missing", seq({tag, integer(0), integer(1), time, integer(1)})},
      {"field after the list",
       seq({tag, integer(0), integer(1), time, integer(1), tlv(0x30, cert), integer(0)})},
      {"bad certificate in the list",
       seq({tag, integer(0), integer(1), time, integer(1), tlv(0x30, integer(5))})},
      {"type missing", seq({tag, integer(0), time, integer(1), tlv(0x30, cert)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const unsigned char* pos = c.der.data();
    RecordPtr<FEDICERT> decoded(d2i_FEDICERT(nullptr, &pos, static_cast<long>(c.der.size())));
    EXPECT_FALSE(decoded);
    EXPECT_EQ(c.der.data(), pos);
  }
}

TEST(FediCertBag, DecodesIndefiniteLengthsAndWritesDer) {
  const Bytes cert = certificate();
  const Bytes definite = bag({cert});
  const Bytes indefinite =
      concat({hex("30 80"), tlv(0x13, text("CeRtIfIc")), integer(0), integer(1),
              utcTime("961122000000+0800"), integer(1), hex("30 80"), cert, hex("00 00 00 00")});
  auto decoded = decode(d2i_FEDICERT, indefinite);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(1, FEDICERT_get_num(decoded.get()));
  EXPECT_EQ(toHex(definite), toHex(encode(i2d_FEDICERT, decoded.get())));
}

TEST(FediCertBag, NewBagHasItsDefaults) {
  RecordPtr<FEDICERT> fresh(FEDICERT_new());
  ASSERT_TRUE(fresh);
  EXPECT_EQ(1, fresh->references);
  EXPECT_EQ(V_ASN1_PRINTABLESTRING, fresh->typeTag->type);
  EXPECT_EQ("CeRtIfIc", std::string(reinterpret_cast<const char*>(fresh->typeTag->data), 8));
  EXPECT_EQ(0, ASN1_INTEGER_get(fresh->version));
  EXPECT_EQ(V_ASN1_UTCTIME, fresh->time->type);
  EXPECT_EQ(0, fresh->time->length);
  EXPECT_EQ(0, FEDICERT_get_num(fresh.get()));
  EXPECT_EQ(1, fresh->certificates->modified);
}

// How the control rebuilds a bag around one certificate of another bag.
TEST(FediCertBag, BuildsABagAroundACertificate) {
  const Bytes cert = certificate();
  auto source = decode(d2i_FEDICERT, bag({certificate(), cert}, tlv(0x13, text("CeRtIfIc")),
                                         utcTime("101231120000Z")));
  ASSERT_TRUE(source);
  RecordPtr<FEDICERT> built(FEDICERT_new());
  ASSERT_TRUE(built);
  ASSERT_EQ(1, FEDICERT_set_type(built.get(), 1));
  ASSERT_EQ(1, FEDICERT_set_count(built.get(), 1));
  ASSERT_EQ(1, FEDICERT_set_time(built.get(), source->time));
  FEDI_X509* taken = FEDICERT_get_cert(source.get(), 1);
  ASSERT_NE(nullptr, taken);
  ASSERT_EQ(1, FEDICERT_push_cert(built.get(), taken));  // the bag takes our reference
  EXPECT_EQ(2, taken->references);
  const Bytes expected = bag({cert}, tlv(0x13, text("CeRtIfIc")), utcTime("101231120000Z"));
  EXPECT_EQ(toHex(expected), toHex(encode(i2d_FEDICERT, built.get())));
  source.reset();
  EXPECT_EQ(1, taken->references);
  EXPECT_EQ(toHex(expected), toHex(encode(i2d_FEDICERT, built.get())));
  EXPECT_EQ(0, FEDICERT_push_cert(built.get(), nullptr));
  EXPECT_EQ(0, FEDICERT_push_cert(nullptr, taken));
}

// The list's cached DER is never written stale: taking a certificate out (which lets the
// caller change it) or adding one makes the next encode rebuild it.
TEST(FediCertBag, CachedListFollowsChanges) {
  auto decoded = decode(d2i_FEDICERT, bag({certificate()}));
  ASSERT_TRUE(decoded);
  const Bytes before = encode(i2d_FEDICERT, decoded.get());
  EXPECT_EQ(0, decoded->certificates->modified);
  RecordPtr<FEDI_X509> cert(FEDICERT_get_cert(decoded.get(), 0));
  ASSERT_EQ(1, FEDI_X509_set_version(cert.get(), 7));
  const Bytes after = encode(i2d_FEDICERT, decoded.get());
  EXPECT_NE(toHex(before), toHex(after));
  auto reread = decode(d2i_FEDICERT, after);
  ASSERT_TRUE(reread);
  RecordPtr<FEDI_X509> changed(FEDICERT_get_cert(reread.get(), 0));
  EXPECT_EQ(7, FEDI_X509_get_version(changed.get()));
}

TEST(FediCertBag, EncoderFailsOnATimeOfAnotherType) {
  RecordPtr<FEDICERT> built(FEDICERT_new());
  ASSERT_TRUE(built);
  ASSERT_EQ(1, ASN1_STRING_set(built->time, "961122000000Z", -1));
  EXPECT_GT(i2d_FEDICERT(built.get(), nullptr), 0);
  built->time->type = V_ASN1_PRINTABLESTRING;
  EXPECT_EQ(-1, i2d_FEDICERT(built.get(), nullptr));
  unsigned char* out = nullptr;
  EXPECT_EQ(-1, i2d_FEDICERT(built.get(), &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(0, i2d_FEDICERT(nullptr, nullptr));

  // The same inside a certificate of the list.
  auto cert = decode(d2i_FEDI_X509, certificate());
  ASSERT_TRUE(cert);
  FEDI_X509_get_notAfter(cert.get())->type = V_ASN1_IA5STRING;
  built->time->type = V_ASN1_UTCTIME;
  ASSERT_EQ(1, FEDICERT_push_cert(built.get(), cert.release()));
  EXPECT_EQ(-1, i2d_FEDICERT(built.get(), nullptr));
}

TEST(FediCertBag, DecodeFillsTheCallersBag) {
  FEDICERT* mine = FEDICERT_new();
  FEDICERT* const original = mine;
  const Bytes der = bag({certificate(), certificate()});
  const unsigned char* pos = der.data();
  EXPECT_EQ(original, d2i_FEDICERT(&mine, &pos, static_cast<long>(der.size())));
  EXPECT_EQ(2, FEDICERT_get_num(mine));
  EXPECT_EQ(1, mine->references);
  const Bytes bad = bag({integer(1)});
  pos = bad.data();
  EXPECT_EQ(nullptr, d2i_FEDICERT(&mine, &pos, static_cast<long>(bad.size())));
  EXPECT_EQ(original, mine);
  EXPECT_EQ(2, FEDICERT_get_num(mine));
  FEDICERT_free(mine);
}

}  // namespace
}  // namespace kestrune::fedi::test
