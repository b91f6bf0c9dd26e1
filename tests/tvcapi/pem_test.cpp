// PEM armour: the lines written around the Base64 text, and which armour the decoder takes off.
#include <gtest/gtest.h>

#include <string>

#include "TVCAPI/tvcapi.h"

namespace {

std::string armoured(const std::string& data, const char* label) {
  TVCAPI_BLOB blob{0, nullptr};
  EXPECT_EQ(0, TVXCAPI_Encode(reinterpret_cast<const uint8_t*>(data.data()),
                              static_cast<uint32_t>(data.size()), &blob, label));
  std::string text(reinterpret_cast<char*>(blob.data), blob.count);
  EXPECT_EQ(0, blob.data[blob.count]);
  TVXCAPI_FreeBlob(&blob);
  return text;
}

TEST(PemTest, ArmourLinesAroundTheText) {
  const std::string text = armoured("abc", "CERTIFICATE");
  EXPECT_EQ("-----BEGIN CERTIFICATE-----\nYWJj\n-----END CERTIFICATE-----\n", text);
  const auto firstLine = text.find('\n');
  EXPECT_EQ(27u, firstLine);
  const auto lastLine = text.rfind('\n', text.size() - 2) + 1;
  EXPECT_EQ(25u, text.size() - 1 - lastLine);
  // Base64 length + twice the label + 32.
  EXPECT_EQ(5u + 2 * 11 + 32, text.size());
  EXPECT_EQ("YWJj\n", armoured("abc", ""));
  EXPECT_EQ("YWJj\n", armoured("abc", nullptr));
}

TEST(PemTest, CallersBufferMustHoldTheArmour) {
  char buffer[64];
  TVCAPI_BLOB blob{58, reinterpret_cast<uint8_t*>(buffer)};
  EXPECT_EQ(5003, TVXCAPI_Encode(reinterpret_cast<const uint8_t*>("abc"), 3, &blob, "CERTIFICATE"));
  EXPECT_EQ(59u, blob.count);
  EXPECT_EQ(0, TVXCAPI_Encode(reinterpret_cast<const uint8_t*>("abc"), 3, &blob, "CERTIFICATE"));
  EXPECT_EQ("-----BEGIN CERTIFICATE-----\nYWJj\n-----END CERTIFICATE-----\n",
            std::string(buffer, blob.count));
  blob.count = 4;
  EXPECT_EQ(5003, TVXCAPI_Encode(reinterpret_cast<const uint8_t*>("abc"), 3, &blob, nullptr));
  EXPECT_EQ(5u, blob.count);
  EXPECT_EQ(5005, TVXCAPI_Encode(reinterpret_cast<const uint8_t*>("abc"), 3, nullptr, "X"));
}

struct Case {
  std::string text;
  const char* labels;
  int want;
  std::string bytes;
};

TEST(PemTest, DecodesArmourOfAcceptedLabels) {
  const std::string withLongLabel = "A;" + std::string(111, 'L') + ";X";
  const Case kCases[] = {
      {"-----BEGIN CERTIFICATE-----\nYWJj\n-----END CERTIFICATE-----\n", "CERTIFICATE", 0, "abc"},
      {"  \r\n-----BEGIN X509 CERTIFICATE-----\r\nYW\r\nJj\r\n-----END X509 CERTIFICATE-----",
       "CERTIFICATE;X509 CERTIFICATE", 0, "abc"},
      {"-----BEGIN CERTIFICATE-----\nYWJj\n-----END CERTIFICATE-----\ntrailing text", "CERTIFICATE",
       0, "abc"},
      {"YWJj\n  ", "CERTIFICATE", 0, "abc"},
      {"  YWJj  ", nullptr, 0, "abc"},
      // No label of the list: the armour reaches the Base64 decoder.
      {"-----BEGIN PKCS7-----\nYWJj\n-----END PKCS7-----\n", "CERTIFICATE", 5008, ""},
      {"-----BEGIN CERTIFICATE-----\nYWJj\n-----END CERTIFICATE-----\n", nullptr, 5008, ""},
      {"-----BEGIN CERTIFICATE-----\nYWJj\n-----END CERTIFICATE-----\n", "", 5008, ""},
      // Broken armour of a label that matched.
      {"-----BEGIN CERTIFICATE-----\nYWJj\n-----END PKCS7-----\n", "CERTIFICATE", 5045, ""},
      {"-----BEGIN CERTIFICATE-----\nYWJj\n----------------------------", "CERTIFICATE", 5045, ""},
      {"-----BEGIN CERTIFICATE-----\nYWJj YWJj YWJj YWJj YWJj YWJj YWJj\n", "CERTIFICATE", 5045,
       ""},
      {"-----BEGIN CERTIFICATE-----\n                               \n", "CERTIFICATE", 5045, ""},
      // Too short to hold both lines: not taken.
      {"-----BEGIN CERTIFICATE----------END CERTIFICATE-----", "CERTIFICATE", 5008, ""},
      {"-----BEGIN X-----\nYWJj\n-----END X-----\n", withLongLabel.c_str(), 5045, ""},
      {"-----BEGIN X-----\nYWJ\n-----END X-----\n", "X", 5008, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    TVCAPI_BLOB blob{0, nullptr};
    ASSERT_EQ(c.want,
              TVXCAPI_Decode(c.text.data(), static_cast<uint32_t>(c.text.size()), &blob, c.labels));
    if (c.want != 0) {
      EXPECT_EQ(nullptr, blob.data);
      continue;
    }
    EXPECT_EQ(c.bytes, std::string(reinterpret_cast<char*>(blob.data), blob.count));
    TVXCAPI_FreeBlob(&blob);
  }
}

TEST(PemTest, DecodeReportsTheSizeItNeeds) {
  const std::string text = "-----BEGIN X-----\nYWJjYWJj\n-----END X-----\n";
  uint8_t buffer[4];
  TVCAPI_BLOB blob{sizeof buffer, buffer};
  EXPECT_EQ(5003, TVXCAPI_Decode(text.data(), static_cast<uint32_t>(text.size()), &blob, "X"));
  EXPECT_EQ(6u, blob.count);
  EXPECT_EQ(5005, TVXCAPI_Decode(text.data(), static_cast<uint32_t>(text.size()), nullptr, "X"));
}

}  // namespace
