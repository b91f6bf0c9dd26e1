// Issued certificates checked with OpenSSL alone: the signature over the body bytes taken
// straight from the DER, and the structure as the openssl command parses it.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ca/issuing.h"
#include "common/ptr.h"
#include "decoding.h"
#include "test_authority.h"

namespace kestrune::ca::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One element read with ASN1_get_object: its whole TLV and its contents.
struct Element {
  Bytes whole;
  Bytes contents;
};

// readElement reads one definite-length element of the given tag at pos, within end.
bool readElement(const unsigned char*& pos, const unsigned char* end, int wantTag, Element& out) {
  const unsigned char* start = pos;
  long length = 0;
  int tag = 0;
  int tagClass = 0;
  const int flags = ASN1_get_object(&pos, &length, &tag, &tagClass, end - pos);
  if ((flags & 0x80) != 0 || (flags & 0x01) != 0 || tag != wantTag ||
      tagClass != V_ASN1_UNIVERSAL || length > end - pos) {
    return false;
  }
  out.whole.assign(start, pos + length);
  out.contents.assign(pos, pos + length);
  pos += length;
  return true;
}

// Certificate ::= SEQUENCE { body SEQUENCE, signatureAlgorithm SEQUENCE, signature BIT STRING }
struct SignedParts {
  Element body;
  Element algorithm;
  Element signature;
};

bool splitCertificate(const Bytes& der, SignedParts& parts) {
  const unsigned char* pos = der.data();
  const unsigned char* end = der.data() + der.size();
  Element outer;
  if (!readElement(pos, end, V_ASN1_SEQUENCE, outer) || pos != end) return false;
  pos = outer.whole.data() + (outer.whole.size() - outer.contents.size());
  end = outer.whole.data() + outer.whole.size();
  return readElement(pos, end, V_ASN1_SEQUENCE, parts.body) &&
         readElement(pos, end, V_ASN1_SEQUENCE, parts.algorithm) &&
         readElement(pos, end, V_ASN1_BIT_STRING, parts.signature) && pos == end;
}

// The body's third field, its own copy of the signature algorithm.
Bytes bodySignatureAlgorithm(const Element& body) {
  const unsigned char* pos = body.contents.data();
  const unsigned char* end = pos + body.contents.size();
  Element version, serial, algorithm;
  if (!readElement(pos, end, V_ASN1_INTEGER, version) ||
      !readElement(pos, end, V_ASN1_INTEGER, serial) ||
      !readElement(pos, end, V_ASN1_SEQUENCE, algorithm)) {
    return {};
  }
  return algorithm.whole;
}

int verifyWithOpenSsl(const EVP_MD* md, EVP_PKEY* key, const Bytes& signed_,
                      const Bytes& signature) {
  Ptr<EVP_MD_CTX> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, md, nullptr, key) != 1) return -1;
  return EVP_DigestVerify(context.get(), signature.data(), signature.size(), signed_.data(),
                          signed_.size());
}

TEST(OpenSslCrossCheck, SignatureVerifiesOverTheBodyBytes) {
  struct Case {
    const char* label;
    SignatureAlgorithm algorithm;
    const EVP_MD* md;
    Bytes algorithmDer;  // AlgorithmIdentifier with NULL parameters
  };
  const Case cases[] = {
      {"md5WithRSAEncryption",
       SignatureAlgorithm::md5WithRsa,
       EVP_md5(),
       {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04, 0x05, 0x00}},
      {"sha1WithRSAEncryption",
       SignatureAlgorithm::sha1WithRsa,
       EVP_sha1(),
       {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05, 0x05, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertificateSpec spec = holderSpec();
    spec.signatureAlgorithm = c.algorithm;
    CertificatePtr issued = issueCertificate(spec, testCaKey());
    ASSERT_TRUE(issued);
    SignedParts parts;
    ASSERT_TRUE(splitCertificate(toDer(*issued), parts));
    EXPECT_EQ(c.algorithmDer, parts.algorithm.whole);
    EXPECT_EQ(c.algorithmDer, bodySignatureAlgorithm(parts.body));

    // A BIT STRING of 0 unused bits holding a signature as long as the 1024-bit modulus.
    ASSERT_EQ(129u, parts.signature.contents.size());
    EXPECT_EQ(0, parts.signature.contents[0]);
    const Bytes signature(parts.signature.contents.begin() + 1, parts.signature.contents.end());
    EXPECT_EQ(1, verifyWithOpenSsl(c.md, testCaRecordKey(), parts.body.whole, signature));

    Bytes altered = parts.body.whole;
    altered.back() ^= 0x01;
    EXPECT_NE(1, verifyWithOpenSsl(c.md, testCaRecordKey(), altered, signature));
  }
}

// One line of `openssl asn1parse`: "   8:d=2  hl=2 l=   1 prim: INTEGER           :00".
struct ParsedLine {
  int depth = -1;
  std::string type;
  std::string value;
};

std::string trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::vector<ParsedLine> asn1parse(const Bytes& der, const std::string& fileName) {
  const std::string path = ::testing::TempDir() + fileName;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
  const std::string command = "openssl asn1parse -inform DER -in '" + path + "' 2>&1";
  std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return {};
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) output += buffer;
  std::remove(path.c_str());

  std::vector<ParsedLine> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    const auto depthAt = line.find("d=");
    auto kindAt = line.find("prim: ");
    if (kindAt == std::string::npos) kindAt = line.find("cons: ");
    if (depthAt == std::string::npos || kindAt == std::string::npos) {
      ADD_FAILURE() << "unexpected asn1parse line: " << line;
      continue;
    }
    ParsedLine parsed;
    parsed.depth = std::stoi(line.substr(depthAt + 2));
    const std::string rest = line.substr(kindAt + 6);
    const auto colon = rest.find(':');
    parsed.type = trimmed(rest.substr(0, colon));
    if (colon != std::string::npos) parsed.value = trimmed(rest.substr(colon + 1));
    lines.push_back(parsed);
  }
  return lines;
}

TEST(OpenSslCrossCheck, Asn1parseShowsTheBareVersionAndTheAlgorithmInTheKeyInfo) {
  struct Case {
    const char* label;
    long version;
    KeyAlgorithm keyAlgorithm;
    const char* versionText;
    const char* keyAlgorithmText;
  };
  const Case cases[] = {
      {"defaults", CertificateSpec{}.version, CertificateSpec{}.keyAlgorithm, "00",
       "md5WithRSAEncryption"},
      {"version 2, rsaEncryption", 2, KeyAlgorithm::rsaEncryption, "02", "rsaEncryption"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    CertificateSpec spec = holderSpec();
    spec.version = c.version;
    spec.keyAlgorithm = c.keyAlgorithm;
    CertificatePtr issued = issueCertificate(spec, testCaKey());
    ASSERT_TRUE(issued);
    const std::vector<ParsedLine> lines =
        asn1parse(toDer(*issued), "ca_asn1parse_" + std::to_string(getpid()) + ".der");
    ASSERT_FALSE(lines.empty());

    // Depth 1 is the body; its first element is the version, a plain INTEGER.
    const ParsedLine* first = nullptr;
    for (const auto& line : lines) {
      if (line.depth == 2) {
        first = &line;
        break;
      }
    }
    ASSERT_NE(nullptr, first);
    EXPECT_EQ("INTEGER", first->type);
    EXPECT_EQ(c.versionText, first->value);
    std::vector<std::string> keyInfoObjects;  // OBJECTs at depth 4 belong to the key info only
    for (const auto& line : lines) {
      EXPECT_EQ(std::string::npos, line.type.find("cont")) << "context tag: " << line.type;
      if (line.depth == 4 && line.type == "OBJECT") keyInfoObjects.push_back(line.value);
    }
    EXPECT_EQ(std::vector<std::string>{c.keyAlgorithmText}, keyInfoObjects);

    // The FEDI decoder reads both, but yields a key only under a signature algorithm.
    auto decoded = decodeWhole(d2i_FEDI_X509, toDer(*issued));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(c.version, FEDI_X509_get_version(decoded.get()));
    EXPECT_EQ(1, FEDI_X509_verify(decoded.get(), testCaRecordKey()));
    EVP_PKEY* key = FEDI_X509_get_pubkey(decoded.get());
    EXPECT_EQ(c.keyAlgorithm == KeyAlgorithm::md5WithRsa, key != nullptr);
    EVP_PKEY_free(key);
  }
}

}  // namespace
}  // namespace kestrune::ca::test
