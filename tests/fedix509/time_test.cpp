// The FEDI time rule and the time coders.
#include <gtest/gtest.h>

#include "FEDIX509/fedi_x509.h"
#include "fedi_der.h"

namespace kestrune::fedi::test {
namespace {

struct UtcCase {
  const char* text;
  int valid;
};

// The FEDI UTCTime rule: OpenSSL's syntax plus six leading nines for "never expires".
constexpr UtcCase kUtcCases[] = {
    {"999999999999Z", 1},      {"99999999999", 1},  // 11 characters, all nines
    {"999999abcdefgh", 1},                          // six nines: nothing else is examined
    {"9999999999", 0},                              // 10 characters: too short even as nines
    {"9611220000+0800", 1},                         // seconds omitted, offset given
    {"961122000000+0800", 1},  {"961122000000-1259", 1},
    {"961122000000+1300", 0},                       // offset hours above 12
    {"961122000000+0860", 0},                       // offset minutes above 59
    {"961122000000+080", 0},                        // offset cut short
    {"961122000000+08000", 0},                      // bytes after the offset
    {"961122000000", 1},                            // no zone designator
    {"961122000000Z", 1},      {"9611220000Z", 1},  // 11 characters, seconds omitted
    {"961122000000Z1", 0},                          // bytes after Z
    {"961322000000Z", 0},                           // month 13
    {"961100000000Z", 0},                           // day 0
    {"961132000000Z", 0},                           // day 32
    {"961122240000Z", 0},                           // hour 24
    {"961122006000Z", 0},                           // minute 60
    {"961122000060Z", 0},                           // second 60
    {"96112200000Z", 0},                            // odd digit count
    {"96112200:000Z", 0},                           // not a digit
    {"9611220000", 0},                              // 10 characters
    {"96112200000", 0},                             // 11 characters, seconds cut short
    {"991122000000X", 0},                           // unknown zone designator
    {"961122000000z", 0},                           // lower-case z
};

TEST(FediUtcTimeCheck, FollowsTheFediRule) {
  for (const auto& c : kUtcCases) {
    SCOPED_TRACE(c.text);
    ASN1_UTCTIME* time = ASN1_UTCTIME_new();
    ASSERT_TRUE(ASN1_STRING_set(time, c.text, -1));
    EXPECT_EQ(c.valid, FEDI_ASN1_UTCTIME_check(time));
    ASN1_UTCTIME_free(time);
  }
}

TEST(FediUtcTimeCheck, RefusesOtherTypesAndNull) {
  EXPECT_EQ(0, FEDI_ASN1_UTCTIME_check(nullptr));
  ASN1_STRING* general = ASN1_STRING_type_new(V_ASN1_GENERALIZEDTIME);
  ASSERT_TRUE(ASN1_STRING_set(general, "999999999999Z", -1));
  EXPECT_EQ(0, FEDI_ASN1_UTCTIME_check(general));
  ASN1_STRING_free(general);
}

// Decoding applies the same rule, and re-encoding gives back the bytes.
TEST(FediTimeCoder, DecodesWhatTheRuleAcceptsAndRoundTrips) {
  for (const auto& c : kUtcCases) {
    SCOPED_TRACE(c.text);
    const Bytes der = utcTime(c.text);
    const unsigned char* pos = der.data();
    ASN1_TIME* time = d2i_FEDI_ASN1_TIME(nullptr, &pos, static_cast<long>(der.size()));
    EXPECT_EQ(c.valid == 1, time != nullptr);
    if (time == nullptr) continue;
    EXPECT_EQ(der.data() + der.size(), pos);
    EXPECT_EQ(V_ASN1_UTCTIME, time->type);
    Bytes out(static_cast<std::size_t>(i2d_FEDI_ASN1_TIME(time, nullptr)));
    unsigned char* w = out.data();
    EXPECT_EQ(static_cast<int>(der.size()), i2d_FEDI_ASN1_TIME(time, &w));
    EXPECT_EQ(toHex(der), toHex(out));
    ASN1_TIME_free(time);
  }
}

struct TagCase {
  const char* name;
  Bytes der;
  bool decodes;
};

TEST(FediTimeCoder, ChoosesByTag) {
  const TagCase cases[] = {
      {"GeneralizedTime", tlv(0x18, text("19961122000000Z")), true},
      {"GeneralizedTime with offset", tlv(0x18, text("19961122000000+0800")), true},
      {"bad GeneralizedTime", tlv(0x18, text("19961322000000Z")), false},
      {"all-nines GeneralizedTime", tlv(0x18, text("99999999999999Z")), false},
      {"constructed UTCTime", tlv(0x37, concat({utcTime("961122"), utcTime("000000Z")})), true},
      {"PrintableString", tlv(0x13, text("961122000000Z")), false},
      {"OCTET STRING", tlv(0x04, text("961122000000Z")), false},
      {"context-tagged UTCTime", tlv(0x97, text("961122000000Z")), false},
      {"empty input", Bytes{}, false},
      {"header past the end", hex("17 0D 39 36"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const unsigned char* pos = c.der.data();
    ASN1_TIME* time = d2i_FEDI_ASN1_TIME(nullptr, &pos, static_cast<long>(c.der.size()));
    EXPECT_EQ(c.decodes, time != nullptr);
    if (time != nullptr) {
      EXPECT_EQ(c.der.data() + c.der.size(), pos);
    }
    ASN1_TIME_free(time);
  }
}

TEST(FediTimeCoder, ConstructedUtcTimeIsJoined) {
  const Bytes der = tlv(0x37, concat({utcTime("961122"), utcTime("000000Z")}));
  const unsigned char* pos = der.data();
  ASN1_TIME* time = d2i_FEDI_ASN1_TIME(nullptr, &pos, static_cast<long>(der.size()));
  ASSERT_NE(nullptr, time);
  EXPECT_EQ("961122000000Z", std::string(reinterpret_cast<const char*>(time->data),
                                         static_cast<std::size_t>(time->length)));
  ASN1_TIME_free(time);
}

TEST(FediTimeCoder, FillsTheCallersValueAndLeavesItOnFailure) {
  ASN1_TIME* mine = ASN1_UTCTIME_new();
  ASSERT_TRUE(ASN1_STRING_set(mine, "010101000000Z", -1));
  const Bytes bad = utcTime("9999999999");
  const unsigned char* pos = bad.data();
  EXPECT_EQ(nullptr, d2i_FEDI_ASN1_TIME(&mine, &pos, static_cast<long>(bad.size())));
  ASSERT_NE(nullptr, mine);
  EXPECT_EQ(bad.data(), pos);
  EXPECT_STREQ("010101000000Z", reinterpret_cast<const char*>(ASN1_STRING_get0_data(mine)));

  const Bytes good = tlv(0x18, text("19961122000000Z"));
  pos = good.data();
  ASN1_TIME* before = mine;
  EXPECT_EQ(before, d2i_FEDI_ASN1_TIME(&mine, &pos, static_cast<long>(good.size())));
  EXPECT_EQ(V_ASN1_GENERALIZEDTIME, mine->type);
  ASN1_TIME_free(mine);
}

TEST(FediTimeCoder, EncoderRefusesOtherTypes) {
  ASN1_STRING* printable = ASN1_STRING_type_new(V_ASN1_PRINTABLESTRING);
  ASSERT_TRUE(ASN1_STRING_set(printable, "961122000000Z", -1));
  EXPECT_EQ(-1, i2d_FEDI_ASN1_TIME(printable, nullptr));
  EXPECT_EQ(0, i2d_FEDI_ASN1_TIME(nullptr, nullptr));
  ASN1_STRING_free(printable);
}

}  // namespace
}  // namespace kestrune::fedi::test
