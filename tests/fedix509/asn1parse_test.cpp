// What the encoders write parses with the openssl command, a reader we did not write.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "FEDIX509/fedi_x509.h"
#include "coding.h"
#include "fedi_records.h"

namespace kestrune::fedi::test {
namespace {

// asn1parse writes der to a file of this test's own and returns `openssl asn1parse` output,
// or an empty text when the command fails.
std::string asn1parse(const Bytes& der, const char* fileName) {
  const std::string path = std::string(::testing::TempDir()) + fileName;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
  const std::string command = "openssl asn1parse -inform DER -i -in '" + path + "' 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int status = ::pclose(pipe);
  std::remove(path.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? output : std::string();
}

TEST(Asn1Parse, ReadsABuiltBag) {
  RecordPtr<FEDI_X509> cert(FEDI_X509_new());
  ASSERT_TRUE(cert);
  ASSERT_EQ(1, FEDI_X509_set_version(cert.get(), 2));
  X509_NAME* name = X509_NAME_new();
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("FEDI Test Certification CA"),
                             -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("TESTCA1"), -1, -1, 0);
  ASSERT_EQ(1, FEDI_X509_set_issuer_name(cert.get(), name));
  ASSERT_EQ(1, FEDI_X509_set_subject_name(cert.get(), name));
  X509_NAME_free(name);
  ASN1_TIME* time = ASN1_UTCTIME_new();
  ASN1_STRING_set(time, "999999999999Z", -1);
  ASSERT_EQ(1, FEDI_X509_set_notBefore(cert.get(), time));
  ASSERT_EQ(1, FEDI_X509_set_notAfter(cert.get(), time));
  ASSERT_EQ(1, FEDI_X509_PUBKEY_set_rsa(FEDI_X509_get_X509_PUBKEY(cert.get()),
                                        NID_md5WithRSAEncryption, holderKey()));
  ASSERT_GT(FEDI_X509_sign(cert.get(), testCaKey(), EVP_md5()), 0);

  RecordPtr<FEDICERT> built(FEDICERT_new());
  ASSERT_TRUE(built);
  FEDICERT_set_type(built.get(), 1);
  FEDICERT_set_count(built.get(), 1);
  ASSERT_EQ(1, FEDICERT_set_time(built.get(), time));
  ASN1_TIME_free(time);
  ASSERT_EQ(1, FEDICERT_push_cert(built.get(), cert.release()));

  const std::string parsed = asn1parse(encode(i2d_FEDICERT, built.get()), "bag.der");
  ASSERT_FALSE(parsed.empty());
  for (const char* expected : {"PRINTABLESTRING   :CeRtIfIc", "UTCTIME           :999999999999Z",
                               "md5WithRSAEncryption", "TESTCA1", "BIT STRING"}) {
    SCOPED_TRACE(expected);
    EXPECT_NE(std::string::npos, parsed.find(expected)) << parsed;
  }
}

TEST(Asn1Parse, ReadsAReencodedCaRecord) {
  const Bytes key = rsaPublicKey(testCaKey());
  const Bytes der =
      seq({seq({tlv(0x13, text("CaPrIpUb")), integer(0), algorithm(hex("06 01 00")),
                name("FEDI Test Certification CA", "TESTCA1"), utcTime("961122000000+0800"), key}),
           algorithm(hex("06 01 00")), tlv(0x04, text("TESTCA01"))});
  auto record = decode(d2i_FEDI_CAPUBKEY, der);
  ASSERT_TRUE(record);
  const std::string parsed = asn1parse(encode(i2d_FEDI_CAPUBKEY, record.get()), "record.der");
  ASSERT_FALSE(parsed.empty());
  for (const char* expected : {":CaPrIpUb", ":961122000000+0800", ":010001", ":TESTCA01"}) {
    SCOPED_TRACE(expected);
    EXPECT_NE(std::string::npos, parsed.find(expected)) << parsed;
  }
}

}  // namespace
}  // namespace kestrune::fedi::test
