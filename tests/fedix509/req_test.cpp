// The request records: coders, tag strictness, optional revocation fields, BIT STRINGs kept
// whole, the DigestInfo and the request MAC against a CBC-MAC computed here from DES-CBC.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "FEDIX509/fedi_req.h"
#include "common/der.h"
#include "common/ptr.h"
#include "fedi_der.h"
#include "fedi_records.h"

namespace kestrune::fedi::test {
namespace {

template <class T>
RequestPtr<T> decodeRequest(T* (*d2i)(T**, const unsigned char**, long), const Bytes& der) {
  const unsigned char* pos = der.data();
  RequestPtr<T> record(d2i(nullptr, &pos, static_cast<long>(der.size())));
  if (record && pos != der.data() + der.size()) return nullptr;
  return record;
}

template <class T>
Bytes encodeRequest(int (*i2d)(const T*, unsigned char**), const T* record) {
  const int length = i2d(record, nullptr);
  if (length <= 0) return {};
  Bytes out(static_cast<std::size_t>(length));
  unsigned char* pos = out.data();
  EXPECT_EQ(length, i2d(record, &pos));
  return out;
}

Bytes encodePkcs10(X509_REQ* request) {
  return toDer(request, i2d_X509_REQ);
}

// The CBC-MAC from its definition: key MD5("CeRt_ReQ" || pass)[0..8), zero padding, DES-CBC
// with a zero IV, first 4 bytes of the last block.
Bytes referenceMac(const Bytes& request, const std::string& pass) {
  // Single DES needs the legacy provider; loaded here for the process, unloaded at exit.
  struct Providers {
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    OSSL_PROVIDER* fallback = OSSL_PROVIDER_load(nullptr, "default");
    ~Providers() {
      OSSL_PROVIDER_unload(fallback);
      OSSL_PROVIDER_unload(legacy);
    }
  };
  static const Providers providers;
  EXPECT_NE(nullptr, providers.legacy);
  const std::string material = "CeRt_ReQ" + pass;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLen = 0;
  EXPECT_EQ(1,
            EVP_Digest(material.data(), material.size(), digest, &digestLen, EVP_md5(), nullptr));
  Bytes data = request;
  while (data.size() % 8 != 0) data.push_back(0);
  EVP_CIPHER* des = EVP_CIPHER_fetch(nullptr, "DES-CBC", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const unsigned char iv[8] = {};
  Bytes out(data.size() + 16);
  int written = 0;
  int tail = 0;
  EXPECT_EQ(1, EVP_EncryptInit_ex2(ctx, des, digest, iv, nullptr));
  EXPECT_EQ(
      1, EVP_EncryptUpdate(ctx, out.data(), &written, data.data(), static_cast<int>(data.size())));
  EXPECT_EQ(1, EVP_EncryptFinal_ex(ctx, out.data() + written, &tail));  // padding block dropped
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(des);
  return Bytes(out.begin() + written - 8, out.begin() + written - 4);
}

// A new-certificate request for the holder key, its PKCS#10 part signed through OpenSSL and
// MACed under pass.
RequestPtr<FEDIREQ> signedRequest(const std::string& pass, const char* commonName = "SID1",
                                  const EVP_MD* md = EVP_md5()) {
  RequestPtr<FEDIREQ> req(FEDIREQ_new());
  EXPECT_NE(nullptr, req);
  X509_NAME* subject = X509_REQ_get_subject_name(req->request);
  EXPECT_EQ(1,
            X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>("SID2"), -1, -1, 0));
  EXPECT_EQ(
      1, X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                    reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0));
  EXPECT_EQ(1, FEDIREQ_set_rsa_pubkey(req.get(), holderKey()));
  EXPECT_GT(X509_REQ_sign(req->request, holderKey(), md), 0);
  unsigned char mac[4];
  EXPECT_EQ(1, FEDI_req_mac(req->request, reinterpret_cast<const unsigned char*>(pass.data()),
                            pass.size(), mac));
  EXPECT_EQ(1, setFullBitString(req->mac, mac, sizeof mac));
  return req;
}

std::string asn1parse(const Bytes& der) {
  char path[] = "/tmp/fedireqXXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  FILE* file = fdopen(fd, "wb");
  std::fwrite(der.data(), 1, der.size(), file);
  std::fclose(file);
  const std::string command = std::string("openssl asn1parse -inform DER -in ") + path;
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) out += line;
    EXPECT_EQ(0, pclose(pipe));
  }
  std::remove(path);
  return out;
}

// FEDIREQ_verify must judge the signature as OpenSSL's verifier does, whatever the digest, and
// on the bytes the request came with: each case's MAC is made anew over its altered request, so
// that only the signature decides.
TEST(RequestRecord, VerifyJudgesTheSignatureAsOpenSslDoes) {
  const std::string pass = "pass phrase";
  const auto passBytes = reinterpret_cast<const unsigned char*>(pass.data());
  struct Case {
    const char* name;
    const EVP_MD* md;
    bool alterSubject;
    bool alterSignature;
    int expected;
  };
  const Case cases[] = {
      {"md5", EVP_md5(), false, false, 1},
      {"sha1", EVP_sha1(), false, false, 1},
      {"md5, subject altered", EVP_md5(), true, false, 0},
      {"md5, signature altered", EVP_md5(), false, true, 0},
      {"sha1, signature altered", EVP_sha1(), false, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes der = encodeRequest(&i2d_FEDIREQ, signedRequest(pass, "SID1", c.md).get());
    if (c.alterSubject) {
      const std::string cn = "SID1";
      const auto at = std::search(der.begin(), der.end(), cn.begin(), cn.end());
      ASSERT_NE(der.end(), at);
      *at = 'T';
    }
    auto decoded = decodeRequest(&d2i_FEDIREQ, der);
    ASSERT_NE(nullptr, decoded);
    if (c.alterSignature) {
      const ASN1_BIT_STRING* signature = nullptr;
      X509_REQ_get0_signature(decoded->request, &signature, nullptr);
      ASSERT_NE(nullptr, signature);
      ASSERT_GT(signature->length, 10);
      signature->data[10] ^= 0x01;
    }
    unsigned char mac[4];
    ASSERT_EQ(1, FEDI_req_mac(decoded->request, passBytes, pass.size(), mac));
    ASSERT_EQ(1, setFullBitString(decoded->mac, mac, sizeof mac));
    Ptr<EVP_PKEY> key(FEDIREQ_get_pubkey(decoded.get()));
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(c.expected, X509_REQ_verify(decoded->request, key.get()));
    EXPECT_EQ(c.expected, FEDIREQ_verify(decoded.get(), passBytes, pass.size()));
  }
}

TEST(RequestRecord, NewRequestRoundTripsVerifiesAndHasNoAttributes) {
  auto req = signedRequest("pass phrase");
  const Bytes der = encodeRequest(&i2d_FEDIREQ, req.get());
  ASSERT_FALSE(der.empty());
  auto decoded = decodeRequest(&d2i_FEDIREQ, der);
  ASSERT_NE(nullptr, decoded);
  EXPECT_EQ(der, encodeRequest(&i2d_FEDIREQ, decoded.get()));

  // OpenSSL's own verifier accepts the PKCS#10 part with the key read back from it.
  Ptr<EVP_PKEY> key(FEDIREQ_get_pubkey(decoded.get()));
  ASSERT_NE(nullptr, key);
  EXPECT_EQ(1, EVP_PKEY_eq(key.get(), holderKey()));
  EXPECT_EQ(1, X509_REQ_verify(decoded->request, key.get()));
  const auto pass = reinterpret_cast<const unsigned char*>("pass phrase");
  EXPECT_EQ(1, FEDIREQ_verify(decoded.get(), pass, 11));
  EXPECT_EQ(
      0, FEDIREQ_verify(decoded.get(), reinterpret_cast<const unsigned char*>("pass phrasf"), 11));
  EXPECT_EQ(0, FEDIREQ_verify(nullptr, pass, 11));

  const std::string parsed = asn1parse(encodePkcs10(decoded->request));
  EXPECT_NE(std::string::npos, parsed.find("md5WithRSAEncryption")) << parsed;
  EXPECT_EQ(std::string::npos, parsed.find("cont [ 0 ]")) << parsed;
}

TEST(RequestRecord, NewRequestEncodesTheKeyItWasGiven) {
  RequestPtr<FEDIREQ> req(FEDIREQ_new());
  ASSERT_NE(nullptr, req);
  ASSERT_EQ(1, FEDIREQ_set_rsa_pubkey(req.get(), holderKey()));
  const Bytes der = encodeRequest(&i2d_FEDIREQ, req.get());
  const std::string keyInfo = toHex(subjectPublicKeyInfo(md5WithRsaOid(), holderKey()));
  EXPECT_NE(std::string::npos, toHex(der).find(keyInfo)) << toHex(der);
  Ptr<EVP_PKEY> key(FEDIREQ_get_pubkey(req.get()));
  EXPECT_EQ(1, EVP_PKEY_eq(key.get(), holderKey()));
  EXPECT_EQ(nullptr, FEDIREQ_get_pubkey(nullptr));
}

TEST(RequestRecord, RequestTagIsReadFromAnyPrintableTypeOthersOnlyFromPrintableString) {
  auto req = signedRequest("x");
  Bytes reqDer = encodeRequest(&i2d_FEDIREQ, req.get());
  RequestPtr<FEDIEXT> ext(FEDIEXT_new());
  ASSERT_NE(nullptr, ext);
  ASSERT_EQ(
      1, X509_NAME_add_entry_by_txt(ext->signedPart->body->issuer, "CN", MBSTRING_ASC,
                                    reinterpret_cast<const unsigned char*>("TESTCA1"), -1, -1, 0));
  Bytes extDer = encodeRequest(&i2d_FEDIEXT, ext.get());
  RequestPtr<FEDIREV> rev(FEDIREV_new());
  ASSERT_NE(nullptr, rev);
  Bytes revDer = encodeRequest(&i2d_FEDIREV, rev.get());

  // Each record starts 30 81 LL or 30 LL, then the tag 13 08.
  for (Bytes* der : {&reqDer, &extDer, &revDer}) {
    ASSERT_GT(der->size(), 8u);
    const std::size_t at = (*der)[1] & 0x80 ? 2 + ((*der)[1] & 0x7F) : 2;
    ASSERT_EQ(0x13, (*der)[at]);
    (*der)[at] = 0x16;  // IA5String
  }
  EXPECT_NE(nullptr, decodeRequest(&d2i_FEDIREQ, reqDer));
  EXPECT_EQ(nullptr, decodeRequest(&d2i_FEDIEXT, extDer));
  EXPECT_EQ(nullptr, decodeRequest(&d2i_FEDIREV, revDer));
}

TEST(RequestRecord, ExtensionRoundTripsWithItsFields) {
  RequestPtr<FEDIEXT> ext(FEDIEXT_new());
  ASSERT_NE(nullptr, ext);
  FEDIEXT_INFO* body = ext->signedPart->body;
  EXPECT_EQ(0, ASN1_INTEGER_get(body->version));
  EXPECT_EQ(2, ASN1_INTEGER_get(body->type));
  ASSERT_EQ(1, ASN1_INTEGER_set(body->serialNumber, 0x1234567));
  const unsigned char sig[] = {0x12, 0x34, 0x02, 0x00};
  ASSERT_EQ(1, setFullBitString(ext->signedPart->signature, sig, sizeof sig));
  const Bytes der = encodeRequest(&i2d_FEDIEXT, ext.get());
  // The trailing zero octet of the signature is kept, with 0 unused bits.
  EXPECT_NE(std::string::npos, toHex(der).find("03050012340200")) << toHex(der);
  auto decoded = decodeRequest(&d2i_FEDIEXT, der);
  ASSERT_NE(nullptr, decoded);
  EXPECT_EQ(der, encodeRequest(&i2d_FEDIEXT, decoded.get()));
  EXPECT_EQ(0x1234567, ASN1_INTEGER_get(decoded->signedPart->body->serialNumber));
}

TEST(RequestRecord, ReceivedBitStringKeepsItsUnusedBits) {
  // A received extension whose signature says 1 unused bit: it re-encodes as it came.
  const Bytes body = seq({integer(0), integer(2), algorithm(md5WithRsaOid()),
                          name("FEDI Test Certification CA", "TESTCA1"), integer(7)});
  const Bytes der = seq({tlv(0x13, text("CeRt_eXt")), integer(0),
                         seq({body, algorithm(md5WithRsaOid()), hex("030401123402")})});
  auto decoded = decodeRequest(&d2i_FEDIEXT, der);
  ASSERT_NE(nullptr, decoded);
  EXPECT_EQ(der, encodeRequest(&i2d_FEDIEXT, decoded.get()));
}

TEST(RequestRecord, RevocationOptionalFieldsAreWrittenOnlyWhenPresent) {
  struct Case {
    const char* name;
    bool withOptional;
  };
  for (const Case& c : {Case{"absent", false}, Case{"present", true}}) {
    SCOPED_TRACE(c.name);
    RequestPtr<FEDIREV> rev(FEDIREV_new());
    ASSERT_NE(nullptr, rev);
    FEDIREV_INFO* body = rev->signedPart->body;
    EXPECT_EQ(4, ASN1_INTEGER_get(body->type));
    ASSERT_EQ(1, ASN1_OCTET_STRING_set(body->reason,
                                       reinterpret_cast<const unsigned char*>("Revoke"), 6));
    ASSERT_EQ(1, ASN1_INTEGER_set(body->serialNumber2, 0x55));
    if (c.withOptional) {
      body->serialNumber = ASN1_INTEGER_new();
      body->subject = X509_NAME_new();
      ASSERT_EQ(1, ASN1_INTEGER_set(body->serialNumber, 0x55));
      ASSERT_EQ(
          1, X509_NAME_add_entry_by_txt(body->subject, "CN", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char*>("SID1"), -1, -1, 0));
    }
    const Bytes der = encodeRequest(&i2d_FEDIREV, rev.get());
    const std::string text = toHex(der);
    EXPECT_EQ(c.withOptional, text.find("800155") != std::string::npos) << text;
    EXPECT_EQ(c.withOptional, text.find("A10F310D300B0603550403") != std::string::npos) << text;
    auto decoded = decodeRequest(&d2i_FEDIREV, der);
    ASSERT_NE(nullptr, decoded) << text;
    EXPECT_EQ(c.withOptional, decoded->signedPart->body->serialNumber != nullptr);
    EXPECT_EQ(c.withOptional, decoded->signedPart->body->subject != nullptr);
    if (c.withOptional) {
      EXPECT_EQ(0, X509_NAME_cmp(body->subject, decoded->signedPart->body->subject));
    }
    EXPECT_EQ(der, encodeRequest(&i2d_FEDIREV, decoded.get()));

    // Decoding into an existing body replaces its optional fields.
    RequestPtr<FEDIREV_INFO> target(FEDIREV_INFO_new());
    target->serialNumber = ASN1_INTEGER_new();
    const Bytes bodyDer = encodeRequest(&i2d_FEDIREV_INFO, body);
    const unsigned char* pos = bodyDer.data();
    FEDIREV_INFO* into = target.get();
    ASSERT_EQ(target.get(), d2i_FEDIREV_INFO(&into, &pos, static_cast<long>(bodyDer.size())));
    EXPECT_EQ(c.withOptional, target->serialNumber != nullptr);
  }
}

TEST(RequestRecord, MalformedInputIsRefused) {
  auto req = signedRequest("x");
  const Bytes der = encodeRequest(&i2d_FEDIREQ, req.get());
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, der.size() / 2, der.size() - 1}) {
    SCOPED_TRACE(cut);
    Bytes part(der.begin(), der.begin() + static_cast<long>(cut));
    const unsigned char* pos = part.data();
    EXPECT_EQ(nullptr, d2i_FEDIREQ(nullptr, &pos, static_cast<long>(part.size())));
    EXPECT_EQ(part.data(), pos);
  }
}

TEST(RequestMac, EqualsCbcMacFromTheDefinition) {
  struct Case {
    const char* name;
    std::string pass;
  };
  const Case cases[] = {{"empty", ""}, {"short", "abc"}, {"long", std::string(1023, 'p')}};
  auto req = signedRequest("x");
  const Bytes request = encodePkcs10(req->request);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unsigned char mac[4];
    ASSERT_EQ(1, FEDI_req_mac(req->request, reinterpret_cast<const unsigned char*>(c.pass.data()),
                              c.pass.size(), mac));
    EXPECT_EQ(referenceMac(request, c.pass), Bytes(mac, mac + 4));
  }
  unsigned char nullPass[4];
  ASSERT_EQ(1, FEDI_req_mac(req->request, nullptr, 0, nullPass));
  EXPECT_EQ(referenceMac(request, ""), Bytes(nullPass, nullPass + 4));
  const std::string tooLong(4241, 'p');
  EXPECT_EQ(0, FEDI_req_mac(req->request, reinterpret_cast<const unsigned char*>(tooLong.data()),
                            tooLong.size(), nullPass));
}

TEST(RequestMac, PadsOnlyPartialBlocks) {
  // Names of growing length walk the request's length through every remainder modulo 8.
  bool whole = false;
  bool oneOver = false;
  for (std::size_t n = 1; n <= 16; ++n) {
    const std::string commonName(n, 'C');
    SCOPED_TRACE(commonName);
    auto req = signedRequest("x", commonName.c_str());
    const Bytes request = encodePkcs10(req->request);
    whole |= request.size() % 8 == 0;
    oneOver |= request.size() % 8 == 1;
    unsigned char mac[4];
    ASSERT_EQ(1, FEDI_req_mac(req->request, reinterpret_cast<const unsigned char*>("pw"), 2, mac));
    EXPECT_EQ(referenceMac(request, "pw"), Bytes(mac, mac + 4));
  }
  EXPECT_TRUE(whole);
  EXPECT_TRUE(oneOver);
}

TEST(RequestMac, ChangesWithOneByteOfPassOrRequest) {
  auto mac = [](X509_REQ* request, const std::string& pass) {
    unsigned char out[4];
    EXPECT_EQ(1, FEDI_req_mac(request, reinterpret_cast<const unsigned char*>(pass.data()),
                              pass.size(), out));
    return Bytes(out, out + 4);
  };
  auto req = signedRequest("x", "SID1");
  auto other = signedRequest("x", "SID2");
  EXPECT_EQ(mac(req->request, "secret"), mac(req->request, "secret"));
  EXPECT_NE(mac(req->request, "secret"), mac(req->request, "secreu"));
  EXPECT_NE(mac(req->request, "secret"), mac(other->request, "secret"));
}

TEST(DigestInfo, WritesTheMd5DigestInfo) {
  const Bytes data = text("abc");
  std::array<unsigned char, EVP_MAX_MD_SIZE + 32> out{};
  const int len = FEDI_digest_info(data.data(), data.size(), out.data(), out.size(), EVP_md5());
  ASSERT_EQ(34, len);
  EXPECT_EQ(hex("3020300c06082a864886f70d020505000410900150983cd24fb0d6963f7d28e17f72"),
            Bytes(out.begin(), out.begin() + len));
  EXPECT_EQ(0, FEDI_digest_info(data.data(), data.size(), out.data(), 10, EVP_md5()));
  EXPECT_EQ(0, FEDI_digest_info(data.data(), data.size(), out.data(), out.size(), nullptr));
}

// A revocation body's optional fields are read by their tag byte with the constructed bit
// masked off: either may come without the other, primitive or constructed.
TEST(RequestRecord, RevocationOptionalFieldsAreReadByTheirTagWithoutTheConstructedBit) {
  Bytes subject = name("SID2", "SID1");
  Bytes primitiveSubject = subject;
  subject[0] = 0xA1;
  primitiveSubject[0] = 0x81;
  struct Case {
    const char* name;
    Bytes optional;
    bool serial;
    bool subject;
  };
  const Case cases[] = {
      {"neither", {}, false, false},
      {"serial only", hex("800155"), true, false},
      {"subject only", subject, false, true},
      {"both", concat({hex("800155"), subject}), true, true},
      {"serial written constructed", hex("A00155"), true, false},
      {"subject written primitive", primitiveSubject, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes body = seq({integer(0), integer(4), algorithm(md5WithRsaOid()),
                            name("FEDI Test Certification CA", "TESTCA1"), c.optional,
                            tlv(0x04, text("Revoke")), integer(0x55)});
    auto decoded = decodeRequest(&d2i_FEDIREV_INFO, body);
    ASSERT_NE(nullptr, decoded) << toHex(body);
    ASSERT_EQ(c.serial, decoded->serialNumber != nullptr);
    ASSERT_EQ(c.subject, decoded->subject != nullptr);
    if (c.serial) {
      EXPECT_EQ(0x55, ASN1_INTEGER_get(decoded->serialNumber));
    }
    if (c.subject) {
      EXPECT_EQ(2, X509_NAME_entry_count(decoded->subject));
    }
    EXPECT_EQ(0x55, ASN1_INTEGER_get(decoded->serialNumber2));
  }
}

// A client that writes the signature and MAC BIT STRINGs to the letter of the request format
// drops their trailing zero octets (once in 256 for each): they are padded back before checking.
TEST(RequestRecord, SignatureAndMacWithoutTheirTrailingZeroOctetsVerify) {
  // Requests whose signature, then whose MAC, ends in a zero octet.
  RequestPtr<FEDIREQ> zeroSignature;
  for (int i = 0; !zeroSignature && i < 4096; ++i) {
    auto req = signedRequest("pass", ("SID" + std::to_string(i)).c_str());
    const ASN1_BIT_STRING* signature = nullptr;
    X509_REQ_get0_signature(req->request, &signature, nullptr);
    if (signature->data[signature->length - 1] == 0) zeroSignature = std::move(req);
  }
  ASSERT_NE(nullptr, zeroSignature);
  std::string zeroMacPass;
  RequestPtr<FEDIREQ> zeroMac;
  for (int i = 0; !zeroMac && i < 4096; ++i) {
    auto req = signedRequest("pass" + std::to_string(i));
    if (req->mac->data[3] == 0) {
      zeroMacPass = "pass" + std::to_string(i);
      zeroMac = std::move(req);
    }
  }
  ASSERT_NE(nullptr, zeroMac);

  struct Case {
    const char* name;
    FEDIREQ* req;
    std::string pass;
  };
  for (const Case& c :
       {Case{"signature", zeroSignature.get(), "pass"}, Case{"MAC", zeroMac.get(), zeroMacPass}}) {
    SCOPED_TRACE(c.name);
    // Written byte-wise: the encoder drops the trailing zero octets. The MAC covers the
    // request as written, so it is made again over the shorter signature.
    ASN1_BIT_STRING* written = c.req->mac;
    if (c.req == zeroSignature.get()) {
      X509_REQ_get0_signature(c.req->request, const_cast<const ASN1_BIT_STRING**>(&written),
                              nullptr);
    }
    written->flags &= ~(ASN1_STRING_FLAG_BITS_LEFT | 0x07L);
    if (c.req == zeroSignature.get()) {
      unsigned char mac[4];
      ASSERT_EQ(
          1, FEDI_req_mac(c.req->request, reinterpret_cast<const unsigned char*>("pass"), 4, mac));
      ASSERT_EQ(1, setFullBitString(c.req->mac, mac, sizeof mac));
    }
    const Bytes der = encodeRequest(&i2d_FEDIREQ, c.req);
    auto decoded = decodeRequest(&d2i_FEDIREQ, der);
    ASSERT_NE(nullptr, decoded);
    const ASN1_BIT_STRING* received = nullptr;
    X509_REQ_get0_signature(decoded->request, &received, nullptr);
    EXPECT_TRUE(received->length < EVP_PKEY_get_size(holderKey()) || decoded->mac->length < 4)
        << "nothing was dropped";
    EXPECT_EQ(1, FEDIREQ_verify_signature(decoded.get()));
    EXPECT_EQ(1,
              FEDIREQ_verify(decoded.get(), reinterpret_cast<const unsigned char*>(c.pass.data()),
                             c.pass.size()));
    EXPECT_EQ(0, FEDIREQ_verify(decoded.get(), reinterpret_cast<const unsigned char*>("other"), 5));
  }
}

}  // namespace
}  // namespace kestrune::fedi::test
