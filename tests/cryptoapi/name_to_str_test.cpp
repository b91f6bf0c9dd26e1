// CertNameToStrA against the text Windows writes for the same names.
#include <cstring>

#include <gtest/gtest.h>

#include "tests/cryptoapi/cert_maker.h"

namespace kestrune::test {
namespace {

constexpr int kUtf8 = V_ASN1_UTF8STRING;
constexpr int kPrintable = V_ASN1_PRINTABLESTRING;
constexpr DWORD kX500 = CERT_X500_NAME_STR;
constexpr DWORD kTvcapiForm = 0x18000003;  // X.500, no quoting, CR LF

std::string nameToStr(const Bytes& der, DWORD strType) {
  CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), const_cast<BYTE*>(der.data())};
  const DWORD size = CertNameToStrA(kEncoding, &blob, strType, nullptr, 0);
  std::string text(size, '\0');
  EXPECT_EQ(CertNameToStrA(kEncoding, &blob, strType, text.data(), size), size);
  EXPECT_EQ(text.back(), '\0');
  text.pop_back();
  return text;
}

TEST(NameToStr, WritesWindowsText) {
  const std::vector<NameEntry> plain = {
      {"2.5.4.6", kPrintable, "TW"}, {"2.5.4.10", kUtf8, "Bank"}, {"2.5.4.3", kUtf8, "Alice"}};
  const std::vector<NameEntry> quoted = {{"2.5.4.10", kUtf8, "Bank"},
                                         {"2.5.4.3", kUtf8, "Doe, John"}};
  struct Case {
    const char* name;
    std::vector<NameEntry> entries;
    DWORD strType;
    std::string want;
  };
  const Case cases[] = {
      {"comma", plain, kX500, "C=TW, O=Bank, CN=Alice"},
      {"semicolon", plain, kX500 | CERT_NAME_STR_SEMICOLON_FLAG, "C=TW; O=Bank; CN=Alice"},
      {"crlf", plain, kX500 | CERT_NAME_STR_CRLF_FLAG, "C=TW\r\nO=Bank\r\nCN=Alice"},
      {"reverse", plain, kX500 | CERT_NAME_STR_REVERSE_FLAG, "CN=Alice, O=Bank, C=TW"},
      {"oid form", plain, CERT_OID_NAME_STR, "2.5.4.6=TW, 2.5.4.10=Bank, 2.5.4.3=Alice"},
      {"simple form", plain, CERT_SIMPLE_NAME_STR, "TW, Bank, Alice"},
      {"quoted comma", quoted, kX500, "O=Bank, CN=\"Doe, John\""},
      {"component's form", quoted, kTvcapiForm, "O=Bank\r\nCN=Doe, John"},
      {"inner quotes doubled", {{"2.5.4.3", kUtf8, "Say \"hi\""}}, kX500, "CN=\"Say \"\"hi\"\"\""},
      {"leading space", {{"2.5.4.3", kUtf8, " x"}}, kX500, "CN=\" x\""},
      {"each special character",
       {{"2.5.4.3", kUtf8, "a+b"},
        {"2.5.4.3", kUtf8, "a=b"},
        {"2.5.4.3", kUtf8, "a<b>"},
        {"2.5.4.3", kUtf8, "#1"},
        {"2.5.4.3", kUtf8, "a;b"},
        {"2.5.4.3", kUtf8, "a\nb"}},
       kX500 | CERT_NAME_STR_SEMICOLON_FLAG,
       "CN=\"a+b\"; CN=\"a=b\"; CN=\"a<b>\"; CN=\"#1\"; CN=\"a;b\"; CN=\"a\nb\""},
      {"multi-valued RDN",
       {{"2.5.4.3", kUtf8, "Bob"}, {"2.5.4.11", kUtf8, "Ops", true}, {"2.5.4.10", kUtf8, "Bank"}},
       kX500,
       "CN=Bob + OU=Ops, O=Bank"},
      {"short names",
       {{"1.2.840.113549.1.9.1", V_ASN1_IA5STRING, "a@b.tw"},
        {"2.5.4.5", kPrintable, "A123"},
        {"2.5.4.8", kUtf8, "Taiwan"},
        {"2.5.4.7", kUtf8, "Taipei"},
        {"2.5.4.9", kUtf8, "Main St"},
        {"2.5.4.12", kUtf8, "Dr"},
        {"2.5.4.42", kUtf8, "Ann"},
        {"2.5.4.43", kUtf8, "AB"},
        {"2.5.4.4", kUtf8, "Lee"},
        {"0.9.2342.19200300.100.1.25", V_ASN1_IA5STRING, "tw"},
        {"1.2.3.4", kUtf8, "other"}},
       kX500,
       "E=a@b.tw, SERIALNUMBER=A123, S=Taiwan, L=Taipei, STREET=Main St, T=Dr, G=Ann, I=AB, "
       "SN=Lee, DC=tw, OID.1.2.3.4=other"},
      // Wide values in code page 950 (Big5): 王小明 is A4FD A470 A9FA.
      {"Chinese UTF8String", {{"2.5.4.3", kUtf8, "王小明"}}, kX500, "CN=\xA4\xFD\xA4\x70\xA9\xFA"},
      {"Chinese BMPString",
       {{"2.5.4.3", V_ASN1_BMPSTRING, "王小明"}},
       kX500,
       "CN=\xA4\xFD\xA4\x70\xA9\xFA"},
      // Characters Big5 lacks get Windows' best fits: é as e.
      {"best fit", {{"2.5.4.3", kUtf8, "Jos\u00E9 M\u00FCller"}}, kX500, "CN=Jose Muller"},
      {"empty value quoted", {{"2.5.4.3", kUtf8, ""}}, kX500, "CN=\"\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(nameToStr(nameDer(c.entries), c.strType), c.want);
  }
}

// A T61String is read as UTF-8 when it is UTF-8, else as 8-bit characters, and then written in
// code page 950 like any other text; with CERT_NAME_STR_DISABLE_IE4_UTF8_FLAG always as 8-bit.
TEST(NameToStr, ReadsT61StringsAsWindowsDoes) {
  constexpr DWORD kNoUtf8 = kX500 | CERT_NAME_STR_DISABLE_IE4_UTF8_FLAG;
  struct Case {
    const char* name;
    std::string value;
    DWORD strType;
    std::string want;
  };
  const Case cases[] = {
      {"ASCII", "Alice", kX500, "CN=Alice"},
      {"UTF-8 Chinese", "王小明", kX500, "CN=\xA4\xFD\xA4\x70\xA9\xFA"},
      {"UTF-8 with a best fit", "Caf\xC3\xA9", kX500, "CN=Cafe"},
      {"8-bit, not UTF-8", "Caf\xE9", kX500, "CN=Cafe"},
      // Big5 bytes are not UTF-8: A4 and FD read as U+00A4 (no Big5, no best fit) and ý.
      {"Big5 bytes", "\xA4\xFD", kX500, "CN=?y"},
      {"UTF-8 read as 8-bit", "Caf\xC3\xA9", kNoUtf8, "CN=CafAc"},
      {"8-bit with the flag", "Caf\xE9", kNoUtf8, "CN=Cafe"},
      {"UTF-8 Chinese read as 8-bit", "王", kNoUtf8, "CN=c??"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(nameToStr(nameDer({{"2.5.4.3", V_ASN1_T61STRING, c.value}}), c.strType), c.want);
  }
}

// Names Windows leaves open: malformed UTF-8 and BER's indefinite lengths don't make a name
// unreadable, so the certificate still shows by the attributes it has.
TEST(NameToStr, ReadsFlawedNamesLeniently) {
  // Each malformed part of a UTF8String reads as U+FFFD, which Big5 lacks: here a stray FF
  // and a lead byte C3 without its continuation.
  const Bytes badUtf8 = {0x30, 0x0F, 0x31, 0x0D, 0x30, 0x0B, 0x06, 0x03, 0x55,
                         0x04, 0x03, 0x0C, 0x04, 'a',  0xFF, 0xC3, 'z'};
  EXPECT_EQ(nameToStr(badUtf8, kX500), "CN=a??z");
  // SEQUENCE, SET and SEQUENCE of indefinite length, each ended by 00 00.
  const Bytes ber = {0x30, 0x80, 0x31, 0x80, 0x30, 0x80, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0C,
                     0x05, 'A',  'l',  'i',  'c',  'e',  0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(nameToStr(ber, kX500), "CN=Alice");
  Bytes cut(ber.begin(), ber.end() - 2);  // the outer marker missing
  CERT_NAME_BLOB blob{static_cast<DWORD>(cut.size()), cut.data()};
  char text[16];
  EXPECT_EQ(CertNameToStrA(kEncoding, &blob, kX500, text, sizeof text), 1u);
}

TEST(NameToStr, SizeFirstAndShortBuffers) {
  const Bytes der = nameDer({{"2.5.4.3", kUtf8, "Alice"}});
  CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), const_cast<BYTE*>(der.data())};
  EXPECT_EQ(CertNameToStrA(kEncoding, &blob, kX500, nullptr, 0), 9u);  // "CN=Alice" and zero
  char text[16];
  EXPECT_EQ(CertNameToStrA(kEncoding, &blob, kX500, text, 0), 9u);
  EXPECT_EQ(CertNameToStrA(kEncoding, &blob, kX500, text, 5), 5u);
  EXPECT_STREQ(text, "CN=A");
  // A two-byte Big5 character is written whole or not at all.
  const Bytes chinese = nameDer({{"2.5.4.3", kUtf8, "王小"}});  // CN=A4FD A470
  CERT_NAME_BLOB big5{static_cast<DWORD>(chinese.size()), const_cast<BYTE*>(chinese.data())};
  EXPECT_EQ(CertNameToStrA(kEncoding, &big5, kX500, nullptr, 0), 8u);
  struct Cut {
    DWORD size;
    const char* want;
  };
  for (const Cut& c : {Cut{5, "CN="}, Cut{6, "CN=\xA4\xFD"}, Cut{7, "CN=\xA4\xFD"},
                       Cut{8, "CN=\xA4\xFD\xA4\x70"}}) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(CertNameToStrA(kEncoding, &big5, kX500, text, c.size), std::strlen(c.want) + 1);
    EXPECT_STREQ(text, c.want);
  }
  // An undecodable name is the empty text.
  BYTE junk[] = {0x30, 0x03, 0x31, 0x01};
  CERT_NAME_BLOB bad{sizeof junk, junk};
  EXPECT_EQ(CertNameToStrA(kEncoding, &bad, kX500, text, sizeof text), 1u);
  EXPECT_STREQ(text, "");
}

}  // namespace
}  // namespace kestrune::test
