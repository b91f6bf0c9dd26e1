// The built-in CA public-key records and their decoder.
#include <openssl/evp.h>

#include <sstream>
#include <string>

#include "FEDIX509/builtin_ca_records.h"
#include "FEDIX509/fedi_x509.h"
#include "coding.h"
#include "fedi_records.h"

namespace kestrune::fedi::test {
namespace {

Bytes base64Decode(const std::string& textValue) {
  std::string joined;
  for (char c : textValue) {
    if (c != '\n') joined += c;
  }
  Bytes out(joined.size() / 4 * 3);
  const int length =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(joined.data()),
                      static_cast<int>(joined.size()));
  if (length < 0) return {};
  std::size_t padding = 0;
  for (auto it = joined.rbegin(); it != joined.rend() && *it == '='; ++it) ++padding;
  out.resize(static_cast<std::size_t>(length) - padding);
  return out;
}

std::string entry(X509_NAME* name, int index) {
  const ASN1_STRING* s = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                     static_cast<std::size_t>(ASN1_STRING_length(s)));
}

struct RecordCase {
  const char* what;
  bool test;
  std::size_t textLength;
  std::size_t derLength;
};

constexpr RecordCase kRecords[] = {
    {"production", false, 358, 264},
    {"test", true, 354, 260},
};

TEST(BuiltinCaRecord, TextIsBase64InLinesOf64) {
  for (const auto& c : kRecords) {
    SCOPED_TRACE(c.what);
    const std::string textValue = builtinCaRecordText(c.test);
    EXPECT_EQ(c.textLength, textValue.size());
    std::istringstream lines(textValue);
    std::string line;
    std::size_t total = 0;
    while (std::getline(lines, line)) {
      total += line.size() + 1;
      if (total < textValue.size()) {
        EXPECT_EQ(64U, line.size());
      }
    }
    EXPECT_EQ(textValue.size(), total);
    EXPECT_EQ('\n', textValue.back());
    EXPECT_EQ(c.derLength, base64Decode(textValue).size());
  }
}

TEST(BuiltinCaRecord, DecodesWithItsFields) {
  for (const auto& c : kRecords) {
    SCOPED_TRACE(c.what);
    const Bytes der = base64Decode(builtinCaRecordText(c.test));
    auto record = decode(d2i_FEDI_CAPUBKEY, der);
    ASSERT_TRUE(record);
    EXPECT_EQ(1, record->references);
    const FEDI_CAPUBKEY_INFO& info = *record->body;
    EXPECT_EQ("CaPrIpUb", std::string(reinterpret_cast<const char*>(info.typeTag->data),
                                      static_cast<std::size_t>(info.typeTag->length)));
    EXPECT_EQ(V_ASN1_PRINTABLESTRING, info.typeTag->type);
    EXPECT_EQ(0, ASN1_INTEGER_get(info.version));
    EXPECT_EQ("961122000000+0800", std::string(reinterpret_cast<const char*>(info.time->data),
                                               static_cast<std::size_t>(info.time->length)));
    EXPECT_EQ(8, record->signature->length);
    EXPECT_EQ(nullptr, info.key->pkey);
    EXPECT_EQ(toHex(der), toHex(encode(i2d_FEDI_CAPUBKEY, record.get())));
    PkeyPtr key(FEDI_CAPUBKEY_get_pkey(record.get()));
    ASSERT_TRUE(key);
    EXPECT_EQ(1024, EVP_PKEY_get_bits(key.get()));
    BIGNUM* e = nullptr;
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(key.get(), "e", &e));
    EXPECT_EQ(65537U, BN_get_word(e));
    BN_free(e);
  }
}

TEST(BuiltinCaRecord, TestRecordIsTheTestAuthority) {
  auto record = decode(d2i_FEDI_CAPUBKEY, base64Decode(builtinCaRecordText(true)));
  ASSERT_TRUE(record);
  EXPECT_EQ(kTestCasid2, entry(record->body->name, 0));
  EXPECT_EQ(kTestCasid1, entry(record->body->name, 1));
  PkeyPtr key(FEDI_CAPUBKEY_get_pkey(record.get()));
  ASSERT_TRUE(key);
  EXPECT_EQ(1, EVP_PKEY_eq(key.get(), testCaKey()));

  // A certificate the test authority signed verifies with the built-in key.
  auto cert = decode(d2i_FEDI_X509, certificate());
  ASSERT_TRUE(cert);
  EXPECT_EQ(1, FEDI_X509_verify(cert.get(), key.get()));
}

TEST(BuiltinCaRecord, KeyIsMadeOnceAndSharedByReference) {
  auto record = decode(d2i_FEDI_CAPUBKEY, base64Decode(builtinCaRecordText(true)));
  ASSERT_TRUE(record);
  EVP_PKEY* first = FEDI_CAPUBKEY_get_pkey(record.get());
  EVP_PKEY* second = FEDI_CAPUBKEY_get_pkey(record.get());
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, record->body->key->pkey);
  // The record holds one reference and each call handed out one more: both survive it.
  record.reset();
  EXPECT_EQ(1024, EVP_PKEY_get_bits(first));
  EVP_PKEY_free(first);
  EXPECT_EQ(1024, EVP_PKEY_get_bits(second));
  EVP_PKEY_free(second);
}

TEST(BuiltinCaRecord, NoKeyWithoutAKey) {
  EXPECT_EQ(nullptr, FEDI_CAPUBKEY_get_pkey(nullptr));
  RecordPtr<FEDI_CAPUBKEY> empty(FEDI_CAPUBKEY_new());
  ASSERT_TRUE(empty);
  EXPECT_EQ(nullptr, FEDI_CAPUBKEY_get_pkey(empty.get()));  // empty INTEGERs
  FEDI_RSAPUBKEY_free(empty->body->key);
  empty->body->key = nullptr;
  EXPECT_EQ(nullptr, FEDI_CAPUBKEY_get_pkey(empty.get()));
}

TEST(CaPublicKeyRecord, RefusesMalformedRecords) {
  const Bytes der = base64Decode(builtinCaRecordText(true));
  auto record = decode(d2i_FEDI_CAPUBKEY, der);
  ASSERT_TRUE(record);
  const Bytes info = encode(i2d_FEDI_CAPUBKEY_INFO, record->body);
  const Bytes alg = algorithm(hex("06 01 00"));
  struct Case {
    const char* what;
    Bytes der;
    bool decodes;
  };
  const Case cases[] = {
      {"as built", seq({info, alg, tlv(0x04, text("TESTCA01"))}), true},
      {"signature as BIT STRING", seq({info, alg, tlv(0x03, text("\0TESTCA01"))}), false},
      {"signature missing", seq({info, alg}), false},
      {"field after the signature", seq({info, alg, tlv(0x04, text("TESTCA01")), hex("05 00")}),
       false},
      {"body as OCTET STRING", seq({tlv(0x04, info), alg, tlv(0x04, text("TESTCA01"))}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto decoded = decode(d2i_FEDI_CAPUBKEY, c.der);
    EXPECT_EQ(c.decodes, static_cast<bool>(decoded));
  }
  EXPECT_EQ(1, FEDI_CAPUBKEY_up_ref(record.get()));
  EXPECT_EQ(2, record->references);
  FEDI_CAPUBKEY_free(record.get());
}

}  // namespace
}  // namespace kestrune::fedi::test
