// The revocation-list record: a real X.509 CRL made and signed by OpenSSL, wrapped and
// unwrapped byte for byte.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "FEDIX509/fedi_crl.h"
#include "common/ptr.h"
#include "fedi_der.h"

namespace kestrune::fedi::test {
namespace {

// signedCrl returns the DER of a CRL with one revoked serial, signed with a fresh P-256 key.
Bytes signedCrl() {
  Ptr<EVP_PKEY> key(EVP_EC_gen("P-256"));
  Ptr<X509_CRL> crl(X509_CRL_new());
  Ptr<X509_NAME> issuer(X509_NAME_new());
  Ptr<ASN1_TIME> now(ASN1_TIME_set(nullptr, 1700000000));
  Ptr<ASN1_INTEGER> serial(ASN1_INTEGER_new());
  if (!key || !crl || !issuer || !now || !serial) return {};
  X509_REVOKED* revoked = X509_REVOKED_new();
  const auto* org = reinterpret_cast<const unsigned char*>("FEDI CA");
  if (X509_NAME_add_entry_by_txt(issuer.get(), "O", MBSTRING_ASC, org, -1, -1, 0) != 1 ||
      X509_CRL_set_version(crl.get(), X509_CRL_VERSION_2) != 1 ||
      X509_CRL_set_issuer_name(crl.get(), issuer.get()) != 1 ||
      X509_CRL_set1_lastUpdate(crl.get(), now.get()) != 1 ||
      X509_CRL_set1_nextUpdate(crl.get(), now.get()) != 1 ||
      ASN1_INTEGER_set(serial.get(), 4242) != 1 ||
      X509_REVOKED_set_serialNumber(revoked, serial.get()) != 1 ||
      X509_REVOKED_set_revocationDate(revoked, now.get()) != 1 ||
      X509_CRL_add0_revoked(crl.get(), revoked) != 1) {
    X509_REVOKED_free(revoked);
    return {};
  }
  if (X509_CRL_sort(crl.get()) != 1 || X509_CRL_sign(crl.get(), key.get(), EVP_sha256()) <= 0) {
    return {};
  }
  unsigned char* der = nullptr;
  const int length = i2d_X509_CRL(crl.get(), &der);
  if (length <= 0) return {};
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

// decodeAll returns the record when d2i_FEDICRL consumed exactly der, else null.
CrlPtr decodeAll(const Bytes& der) {
  const unsigned char* pos = der.data();
  CrlPtr record(d2i_FEDICRL(nullptr, &pos, static_cast<long>(der.size())));
  if (record && pos != der.data() + der.size()) return nullptr;
  return record;
}

Bytes encodeCrl(const FEDICRL* record) {
  unsigned char* der = nullptr;
  const int length = i2d_FEDICRL(record, &der);
  if (length <= 0) return {};
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

Bytes crlRecord(std::string_view tag, const Bytes& crl, const Bytes& extra = {}) {
  return seq({tlv(0x13, text(tag)), integer(0), integer(7), integer(-1), crl, extra});
}

TEST(FediCrl, NewRecordHasItsTagAndVersion) {
  CrlPtr record(FEDICRL_new());
  ASSERT_TRUE(record);
  EXPECT_EQ(V_ASN1_PRINTABLESTRING, record->typeTag->type);
  EXPECT_EQ("ReVoKeCl", std::string(reinterpret_cast<const char*>(record->typeTag->data),
                                    static_cast<std::size_t>(record->typeTag->length)));
  EXPECT_EQ(0, ASN1_INTEGER_get(record->version));
  ASSERT_NE(nullptr, record->crl);
  FEDICRL_free(nullptr);
}

TEST(FediCrl, DecodesAndReencodesByteForByte) {
  const Bytes crl = signedCrl();
  ASSERT_FALSE(crl.empty());
  // The tag is not compared: a certificate bag's tag over this layout still reads as a list.
  for (const char* tag : {"ReVoKeCl", "CeRtIfIc"}) {
    SCOPED_TRACE(tag);
    const Bytes der = crlRecord(tag, crl);
    CrlPtr record = decodeAll(der);
    ASSERT_TRUE(record);
    EXPECT_EQ(7, ASN1_INTEGER_get(record->second));
    EXPECT_EQ(-1, ASN1_INTEGER_get(record->third));
    EXPECT_EQ(1, sk_X509_REVOKED_num(X509_CRL_get_REVOKED(record->crl)));
    EXPECT_EQ(toHex(der), toHex(encodeCrl(record.get())));
  }
}

TEST(FediCrl, RefusesMalformedRecords) {
  const Bytes crl = signedCrl();
  ASSERT_FALSE(crl.empty());
  struct Case {
    const char* what;
    Bytes der;
  };
  const Case cases[] = {
      {"a sixth field after the list", crlRecord("ReVoKeCl", crl, integer(1))},
      {"no list", seq({tlv(0x13, text("ReVoKeCl")), integer(0), integer(0), integer(0)})},
      {"a tag outside the printable family",
       seq({tlv(0x04, text("ReVoKeCl")), integer(0), integer(0), integer(0), crl})},
      {"a certificate where the list goes",
       seq({tlv(0x13, text("ReVoKeCl")), integer(0), integer(0), integer(0), seq({integer(1)})})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const unsigned char* pos = c.der.data();
    CrlPtr record(d2i_FEDICRL(nullptr, &pos, static_cast<long>(c.der.size())));
    EXPECT_FALSE(record);
    EXPECT_EQ(c.der.data(), pos);
  }
}

}  // namespace
}  // namespace kestrune::fedi::test
