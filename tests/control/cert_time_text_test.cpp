// Certificate time texts: formatCertTime over UTCTime and GeneralizedTime, parseDateText and
// toLocalTimeWithZone in fixed zones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "common/ptr.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/cert_internal.h"

namespace kestrune::control {
namespace {

// asnTime makes an ASN.1 time of the given type holding exactly text, unchecked.
Ptr<ASN1_STRING> asnTime(int type, const std::string& text) {
  Ptr<ASN1_STRING> time(ASN1_STRING_type_new(type));
  ASN1_STRING_set(time.get(), text.data(), static_cast<int>(text.size()));
  return time;
}

void useZone(const char* zone) {
  setenv("TZ", zone, 1);
  tzset();
}

// localTime is mktime of a local civil time with daylight saving off.
std::int64_t localTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = 0;
  return std::mktime(&tm);
}

TEST(FormatCertTime, RendersEachModeOfBothTimeTypes) {
  struct Case {
    int type;
    const char* text;
    int mode;
    std::int32_t code;
    const char* want;
  };
  const Case cases[] = {
      // Two-digit years: 00-49 are 2000-2049, 50-99 are 1950-1999.
      {V_ASN1_UTCTIME, "491231235959Z", kDateTimeZone, 0, "20491231235959Z"},
      {V_ASN1_UTCTIME, "500101000000Z", kDateTimeZone, 0, "19500101000000Z"},
      {V_ASN1_UTCTIME, "491231235959Z", kDateTime, 0, "20491231235959"},
      {V_ASN1_UTCTIME, "491231235959Z", kDateOnly, 0, "20491231"},
      // Seconds left out read as 00.
      {V_ASN1_UTCTIME, "4912312359Z", kDateTime, 0, "20491231235900"},
      {V_ASN1_UTCTIME, "4912312359", kDateTimeZone, 0, "20491231235900"},
      // An offset instead of Z: no Z marker, and the offset is not applied.
      {V_ASN1_UTCTIME, "961122000000+0800", kDateTimeZone, 0, "19961122000000"},
      {V_ASN1_UTCTIME, "9611220000+0800", kDateTime, 0, "19961122000000"},
      // The all-nines mark is rendered as digits.
      {V_ASN1_UTCTIME, "999999999999Z", kDateOnly, 0, "19999999"},
      {V_ASN1_UTCTIME, "491231235", kDateTime, +ControlCode::kMalformedArgument, ""},
      {V_ASN1_GENERALIZEDTIME, "20501231235959Z", kDateTimeZone, 0, "20501231235959Z"},
      {V_ASN1_GENERALIZEDTIME, "205012312359Z", kDateTime, 0, "20501231235900"},
      {V_ASN1_GENERALIZEDTIME, "20501231235959", kDateTimeZone, 0, "20501231235959"},
      {V_ASN1_GENERALIZEDTIME, "20501231235", kDateOnly, +ControlCode::kMalformedArgument, ""},
      // Another type renders nothing.
      {V_ASN1_OCTET_STRING, "491231235959Z", kDateTime, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " mode " + std::to_string(c.mode));
    const auto time = asnTime(c.type, c.text);
    std::string out = "stale";
    EXPECT_EQ(c.code, formatCertTime(time.get(), out, c.mode));
    EXPECT_EQ(c.want, out);
  }
}

TEST(ParseDateText, ReadsLocalDatesEndingTheDayUnlessATimeIsGiven) {
  useZone("Asia/Taipei");
  struct Case {
    const char* text;
    std::int64_t want;
  };
  const Case cases[] = {
      {"20100101", localTime(2010, 1, 1, 23, 59, 59)},
      {"2010010112", localTime(2010, 1, 1, 23, 59, 59)},
      {"20100101123456", localTime(2010, 1, 1, 12, 34, 56)},
      {"20100101123456Z", localTime(2010, 1, 1, 23, 59, 59)},
      {"2010010", -1},
      {"00000101", -1},
      {"20100001", -1},
      {"20100100", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.want, parseDateText(c.text));
  }
}

TEST(ToLocalTimeWithZone, WritesLocalTimeAndTheStandardOffset) {
  struct Case {
    const char* zone;
    const char* text;
    std::int32_t code;
    const char* want;
  };
  const Case cases[] = {
      {"Asia/Taipei", "20491231235959Z", 0, "20500101075959+0800"},
      {"Asia/Taipei", "20100101", 0, "20100101080000+0800"},
      {"UTC", "20491231235959Z", 0, "20491231235959+0000"},
      {"America/New_York", "20100101120000", 0, "20100101070000-0500"},
      {"Asia/Kolkata", "20100101000000Z", 0, "20100101053000+0530"},
      {"Asia/Taipei", "2010010", 1, ""},
      {"Asia/Taipei", "00001231235959", -1, ""},
      {"Asia/Taipei", "20100031235959", -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + c.text);
    useZone(c.zone);
    std::string out;
    EXPECT_EQ(c.code, toLocalTimeWithZone(c.text, out));
    EXPECT_EQ(c.want, out);
  }
}

}  // namespace
}  // namespace kestrune::control
