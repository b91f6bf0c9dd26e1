// CertNameToStrA against the text Windows writes for the same names.
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
      {"T61String byte for byte",
       {{"2.5.4.3", V_ASN1_T61STRING, "\xA4\xFD"}},
       kX500,
       "CN=\xA4\xFD"},
      {"empty value quoted", {{"2.5.4.3", kUtf8, ""}}, kX500, "CN=\"\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(nameToStr(nameDer(c.entries), c.strType), c.want);
  }
}

TEST(NameToStr, SizeFirstAndShortBuffers) {
  const Bytes der = nameDer({{"2.5.4.3", kUtf8, "Alice"}});
  CERT_NAME_BLOB blob{static_cast<DWORD>(der.size()), const_cast<BYTE*>(der.data())};
  EXPECT_EQ(CertNameToStrA(kEncoding, &blob, kX500, nullptr, 0), 9u);  // "CN=Alice" and zero
  char text[16];
  EXPECT_EQ(CertNameToStrA(kEncoding, &blob, kX500, text, 0), 9u);
  EXPECT_EQ(CertNameToStrA(kEncoding, &blob, kX500, text, 5), 5u);
  EXPECT_STREQ(text, "CN=A");
  // An undecodable name is the empty text.
  BYTE junk[] = {0x30, 0x03, 0x31, 0x01};
  CERT_NAME_BLOB bad{sizeof junk, junk};
  EXPECT_EQ(CertNameToStrA(kEncoding, &bad, kX500, text, sizeof text), 1u);
  EXPECT_STREQ(text, "");
}

}  // namespace
}  // namespace kestrune::test
