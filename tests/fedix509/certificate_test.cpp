// FEDI certificates: decoding, byte-exact re-encoding, accessors, keys and signatures.
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <string>

#include "FEDIX509/fedi_x509.h"
#include "coding.h"
#include "fedi_records.h"

namespace kestrune::fedi::test {
namespace {

std::string str(const ASN1_STRING* s) {
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                     static_cast<std::size_t>(ASN1_STRING_length(s)));
}

std::string entry(X509_NAME* name, int index) {
  return str(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
}

TEST(FediCertificate, DecodesFieldsAndReencodesTheSameBytes) {
  const Bytes der = certificate();
  auto cert = decode(d2i_FEDI_X509, der);
  ASSERT_TRUE(cert);
  EXPECT_EQ(1, cert->references);
  EXPECT_EQ(2, FEDI_X509_get_version(cert.get()));
  EXPECT_EQ(0x1234567, ASN1_INTEGER_get(FEDI_X509_get_serialNumber(cert.get())));
  EXPECT_EQ("FEDI Test Certification CA", entry(FEDI_X509_get_issuer_name(cert.get()), 0));
  EXPECT_EQ("TESTCA1", entry(FEDI_X509_get_issuer_name(cert.get()), 1));
  EXPECT_EQ("12345678", entry(FEDI_X509_get_subject_name(cert.get()), 0));
  EXPECT_EQ("TESTUSER01", entry(FEDI_X509_get_subject_name(cert.get()), 1));
  EXPECT_EQ("961122000000+0800", str(FEDI_X509_get_notBefore(cert.get())));
  EXPECT_EQ("999999999999Z", str(FEDI_X509_get_notAfter(cert.get())));
  EXPECT_EQ(NID_md5WithRSAEncryption, FEDI_X509_get_signature_nid(cert.get()));
  EXPECT_STREQ("/O=12345678/CN=TESTUSER01", FEDI_X509_get_oneline_name(cert.get()));
  EXPECT_EQ(-1, cert->ex_pathlen);
  EXPECT_EQ(nullptr, cert->cert_info->key->pkey);  // the key is decoded only on demand
  EXPECT_EQ(toHex(der), toHex(encode(i2d_FEDI_X509, cert.get())));
}

// What the coders must keep as received for the signature over the re-encoded body to hold.
TEST(FediCertificate, KeepsReceivedEncodings) {
  struct Case {
    const char* what;
    BodyFields fields;
  };
  Case cases[] = {
      {"T61String names", {}},
      {"UTF8String names", {}},
      {"GeneralizedTime validity", {}},
      {"UTCTime without seconds", {}},
      {"negative serial", {}},
      {"key BIT STRING with unused bits", {}},
      {"algorithm without parameters", {}},
  };
  cases[0].fields.subject = name("12345678", "TESTUSER01", 0x14);
  cases[1].fields.issuer = name("FEDI Test Certification CA", "TESTCA1", 0x0C);
  cases[2].fields.validity =
      seq({tlv(0x18, text("19961122000000Z")), tlv(0x18, text("20491231235959Z"))});
  cases[3].fields.validity = seq({utcTime("9611220000+0800"), utcTime("4912312359Z")});
  cases[4].fields.serial = integer(-129);
  cases[5].fields.key =
      seq({algorithm(md5WithRsaOid()),
           tlv(0x03, concat({Bytes{0x03}, rsaPublicKey(holderKey()), Bytes{0xF8}}))});
  cases[6].fields.signature = seq({md5WithRsaOid()});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes der = certificate(c.fields);
    auto cert = decode(d2i_FEDI_X509, der);
    ASSERT_TRUE(cert);
    EXPECT_EQ(toHex(der), toHex(encode(i2d_FEDI_X509, cert.get())));
    EXPECT_EQ(1, FEDI_X509_verify(cert.get(), testCaKey()));
  }
}

TEST(FediCertificate, RefusesMalformedBodies) {
  struct Case {
    const char* what;
    BodyFields fields;
  };
  Case cases[] = {
      {"[0] EXPLICIT version", {}},       {"issuer unique id", {}},
      {"subject unique id", {}},          {"extensions", {}},
      {"bytes after the key", {}},        {"missing validity", {}},
      {"time of another type", {}},       {"UTCTime of 10 nines", {}},
      {"UTCTime with bytes after Z", {}}, {"validity with a third time", {}},
  };
  cases[0].fields.version = tlv(0xA0, integer(2));
  cases[1].fields.trailing = tlv(0x81, hex("00 01 02"));
  cases[2].fields.trailing = tlv(0x82, hex("00 01 02"));
  cases[3].fields.trailing =
      tlv(0xA3, seq({seq({hex("06 03 55 1D 13"), tlv(0x04, hex("30 00"))})}));
  cases[4].fields.trailing = hex("05 00");
  cases[5].fields.validity = {};
  cases[6].fields.validity = seq({tlv(0x13, text("961122000000Z")), utcTime("999999999999Z")});
  cases[7].fields.validity = seq({utcTime("9999999999"), utcTime("999999999999Z")});
  cases[8].fields.validity = seq({utcTime("961122000000Z1"), utcTime("999999999999Z")});
  cases[9].fields.validity =
      seq({utcTime("961122000000Z"), utcTime("999999999999Z"), utcTime("999999999999Z")});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(decode(d2i_FEDI_X509, certificate(c.fields)));
  }
}

TEST(FediCertificate, RefusesTrailingAndTruncatedInput) {
  const Bytes der = certificate();
  Bytes longer = der;
  longer.insert(longer.end() - 1, 0x00);  // a byte after the signature, inside the SEQUENCE
  longer[2] = static_cast<std::uint8_t>(longer[2] + 1);
  ASSERT_EQ(0x82, der[1]);
  EXPECT_FALSE(decode(d2i_FEDI_X509, longer));
  for (std::size_t cut : {std::size_t{1}, std::size_t{20}, der.size() - 1}) {
    SCOPED_TRACE(cut);
    const unsigned char* pos = der.data();
    EXPECT_EQ(nullptr, d2i_FEDI_X509(nullptr, &pos, static_cast<long>(der.size() - cut)));
    EXPECT_EQ(der.data(), pos);
  }
}

TEST(FediCertificate, StopsAfterTheRecord) {
  Bytes der = certificate();
  const std::size_t size = der.size();
  der.push_back(0x42);
  const unsigned char* pos = der.data();
  RecordPtr<FEDI_X509> cert(d2i_FEDI_X509(nullptr, &pos, static_cast<long>(der.size())));
  ASSERT_TRUE(cert);
  EXPECT_EQ(der.data() + size, pos);
}

// Indefinite lengths: the outer SEQUENCE and the body, closed by end-of-contents.
TEST(FediCertificate, DecodesIndefiniteLengthsAndWritesDer) {
  const Bytes bodyDer = body({});
  const Bytes definite = signedCertificate(bodyDer, testCaKey());
  auto reference = decode(d2i_FEDI_X509, definite);
  ASSERT_TRUE(reference);
  const Bytes signature = Bytes(definite.end() - 132, definite.end());  // 03 81 81 00 ...
  ASSERT_EQ(0x03, signature[0]);
  // The body's content after its own header.
  const std::size_t bodyHeader = bodyDer[1] & 0x80 ? 2 + (bodyDer[1] & 0x7F) : 2;
  const Bytes bodyContent(bodyDer.begin() + static_cast<long>(bodyHeader), bodyDer.end());
  const Bytes indefinite = concat({hex("30 80 30 80"), bodyContent, hex("00 00"),
                                   algorithm(md5WithRsaOid()), signature, hex("00 00")});
  auto cert = decode(d2i_FEDI_X509, indefinite);
  ASSERT_TRUE(cert);
  EXPECT_EQ(toHex(definite), toHex(encode(i2d_FEDI_X509, cert.get())));
  EXPECT_EQ(1, FEDI_X509_verify(cert.get(), testCaKey()));
}

TEST(FediCertificate, VerifiesTheAuthoritysSignatureOnly) {
  const Bytes der = certificate();
  auto cert = decode(d2i_FEDI_X509, der);
  ASSERT_TRUE(cert);
  EXPECT_EQ(1, FEDI_X509_verify(cert.get(), testCaKey()));
  EXPECT_EQ(0, FEDI_X509_verify(cert.get(), holderKey()));

  Bytes flipped = der;
  flipped[flipped.size() - 10] ^= 0x01;  // one bit of the signature
  auto forged = decode(d2i_FEDI_X509, flipped);
  ASSERT_TRUE(forged);
  EXPECT_EQ(0, FEDI_X509_verify(forged.get(), testCaKey()));

  Bytes changedBody = der;
  auto at = toHex(changedBody).find(toHex(text("TESTUSER01")));
  ASSERT_NE(std::string::npos, at);
  changedBody[at / 2] = 'X';
  auto altered = decode(d2i_FEDI_X509, changedBody);
  ASSERT_TRUE(altered);
  EXPECT_EQ(0, FEDI_X509_verify(altered.get(), testCaKey()));

  EXPECT_EQ(-1, FEDI_X509_verify(nullptr, testCaKey()));
  EXPECT_EQ(-1, FEDI_X509_verify(cert.get(), nullptr));
}

TEST(FediCertificate, PublicKeyComesFromTheSignatureAlgorithm) {
  auto cert = decode(d2i_FEDI_X509, certificate());
  ASSERT_TRUE(cert);
  PkeyPtr key(FEDI_X509_get_pubkey(cert.get()));
  ASSERT_TRUE(key);
  EXPECT_EQ(1, EVP_PKEY_eq(key.get(), holderKey()));
  PkeyPtr again(FEDI_X509_get_pubkey(cert.get()));
  EXPECT_EQ(key.get(), again.get());  // cached in the record
  cert.reset();
  EXPECT_EQ(1024, EVP_PKEY_get_bits(key.get()));  // the caller's references outlive it
}

TEST(FediCertificate, NoPublicKeyUnderAKeyAlgorithmOrABadKey) {
  struct Case {
    const char* what;
    Bytes key;
  };
  const Case cases[] = {
      {"rsaEncryption", subjectPublicKeyInfo(rsaEncryptionOid(), holderKey())},
      {"unknown OID", seq({algorithm(hex("06 03 2A 03 04")),
                           tlv(0x03, concat({Bytes{0}, rsaPublicKey(holderKey())}))})},
      {"not an RSA key", seq({algorithm(md5WithRsaOid()), tlv(0x03, hex("00 30 03 02 01 05"))})},
      {"empty BIT STRING", seq({algorithm(md5WithRsaOid()), hex("03 01 00")})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    BodyFields fields;
    fields.key = c.key;
    auto cert = decode(d2i_FEDI_X509, certificate(fields));
    ASSERT_TRUE(cert);
    EXPECT_EQ(nullptr, FEDI_X509_get_pubkey(cert.get()));
  }
  EXPECT_EQ(nullptr, FEDI_X509_get_pubkey(nullptr));
  EXPECT_EQ(nullptr, FEDI_X509_PUBKEY_get(nullptr));
}

TEST(FediCertificate, ReferenceCountsStartAtOne) {
  RecordPtr<FEDI_X509> cert(FEDI_X509_new());
  ASSERT_TRUE(cert);
  EXPECT_EQ(1, cert->references);
  EXPECT_EQ(-1, cert->ex_pathlen);
  ASSERT_EQ(1, FEDI_X509_up_ref(cert.get()));
  EXPECT_EQ(2, cert->references);
  FEDI_X509_free(cert.get());
  EXPECT_EQ(1, cert->references);
  EXPECT_EQ(0, FEDI_X509_up_ref(nullptr));
  FEDI_X509_free(nullptr);
}

TEST(FediCertificate, DecodeFillsTheCallersObjectOrLeavesIt) {
  const Bytes der = certificate();
  FEDI_X509* mine = FEDI_X509_new();
  FEDI_X509* const original = mine;
  Bytes bad = der;
  bad[bad.size() - 132] = 0x04;  // the signature's tag
  const unsigned char* pos = bad.data();
  EXPECT_EQ(nullptr, d2i_FEDI_X509(&mine, &pos, static_cast<long>(bad.size())));
  EXPECT_EQ(original, mine);
  pos = der.data();
  EXPECT_EQ(original, d2i_FEDI_X509(&mine, &pos, static_cast<long>(der.size())));
  EXPECT_EQ(toHex(der), toHex(encode(i2d_FEDI_X509, mine)));
  FEDI_X509_free(mine);
}

// An issuer builds a certificate with the setters, signs it, and any X.509-minded reader of
// the body (plain EVP over i2d_FEDI_X509_CINF) agrees with FEDI_X509_verify.
TEST(FediCertificate, BuildsSignsAndReadsBack) {
  RecordPtr<FEDI_X509> cert(FEDI_X509_new());
  ASSERT_TRUE(cert);
  RecordPtr<FEDI_X509> parsedName(nullptr);
  ASSERT_EQ(1, FEDI_X509_set_version(cert.get(), 2));
  ASN1_INTEGER* serial = ASN1_INTEGER_new();
  ASN1_INTEGER_set(serial, 77);
  ASSERT_EQ(1, FEDI_X509_set_serialNumber(cert.get(), serial));
  ASN1_INTEGER_free(serial);
  X509_NAME* issuer = X509_NAME_new();
  X509_NAME_add_entry_by_txt(issuer, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("FEDI Test Certification CA"),
                             -1, -1, 0);
  X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("TESTCA1"), -1, -1, 0);
  ASSERT_EQ(1, FEDI_X509_set_issuer_name(cert.get(), issuer));
  ASSERT_EQ(1, FEDI_X509_set_subject_name(cert.get(), issuer));
  X509_NAME_free(issuer);
  ASN1_TIME* time = ASN1_UTCTIME_new();
  ASN1_STRING_set(time, "999999999999Z", -1);
  ASSERT_EQ(1, FEDI_X509_set_notBefore(cert.get(), time));
  ASSERT_EQ(1, FEDI_X509_set_notAfter(cert.get(), time));
  time->type = V_ASN1_PRINTABLESTRING;
  EXPECT_EQ(0, FEDI_X509_set_notAfter(cert.get(), time));
  ASN1_TIME_free(time);
  ASSERT_EQ(1, FEDI_X509_PUBKEY_set_rsa(FEDI_X509_get_X509_PUBKEY(cert.get()),
                                        NID_md5WithRSAEncryption, holderKey()));
  ASSERT_GT(FEDI_X509_sign(cert.get(), testCaKey(), EVP_md5()), 0);
  EXPECT_EQ(NID_md5WithRSAEncryption, FEDI_X509_get_signature_nid(cert.get()));
  EXPECT_EQ(1, FEDI_X509_verify(cert.get(), testCaKey()));

  // Independent check of the signature over the encoded body.
  const Bytes bodyDer = encode(i2d_FEDI_X509_CINF, cert->cert_info);
  const ASN1_BIT_STRING* signature = nullptr;
  FEDI_X509_get0_signature(&signature, nullptr, cert.get());
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ASSERT_EQ(1, EVP_DigestVerifyInit(ctx, nullptr, EVP_md5(), nullptr, testCaKey()));
  EXPECT_EQ(1, EVP_DigestVerify(ctx, signature->data, static_cast<std::size_t>(signature->length),
                                bodyDer.data(), bodyDer.size()));
  EVP_MD_CTX_free(ctx);

  // The written certificate reads back with the same bytes and key.
  const Bytes der = encode(i2d_FEDI_X509, cert.get());
  auto back = decode(d2i_FEDI_X509, der);
  ASSERT_TRUE(back);
  EXPECT_EQ(toHex(der), toHex(encode(i2d_FEDI_X509, back.get())));
  EXPECT_EQ(1, FEDI_X509_verify(back.get(), testCaKey()));
  PkeyPtr key(FEDI_X509_get_pubkey(back.get()));
  ASSERT_TRUE(key);
  EXPECT_EQ(1, EVP_PKEY_eq(key.get(), holderKey()));
}

// The expected body, written independently, is what the setters and the encoder produce.
TEST(FediCertificate, EncodesTheBodyFieldByField) {
  BodyFields fields;
  fields.serial = integer(77);
  auto cert = decode(d2i_FEDI_X509, certificate(fields));
  ASSERT_TRUE(cert);
  EXPECT_EQ(toHex(body(fields)), toHex(encode(i2d_FEDI_X509_CINF, cert->cert_info)));
}

}  // namespace
}  // namespace kestrune::fedi::test
