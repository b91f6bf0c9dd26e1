// Token signing of the certificate requests, checked with OpenSSL against the public key read
// from the token, and the request MAC on a signed request.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>

#include "FEDIX509/fedi_req_sign.h"
#include "tests/control/identity_layouts.h"
#include "tests/control/request_test_support.h"
#include "tests/support/softhsm.h"
#include "token/token.h"

namespace kestrune::testing {
namespace {

using fedi::RequestPtr;
using token::TokenKeyInfo;
using token::TokenSession;

// A token holding the "FEDICA" key pair, opened through the token layer with the user PIN.
class RequestSigningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hsm_.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
    publicKey_ = tokenPublicKey(hsm_, "FEDICA.pubkey");
    ASSERT_NE(nullptr, publicKey_);
    ASSERT_EQ(+token::TokenCode::kTokenOk, token::p11_LoadLibrary(softHsmModule()));
    ASSERT_EQ(+token::TokenCode::kTokenOk, token::token_Open(&session_, kUserPin));
    opened_ = true;
    ASSERT_EQ(+token::TokenCode::kTokenOk, token::p11_SetPrivateObjects(1));
    ASSERT_EQ(0, token::token_GetKeyInfo(&keyInfo_, &session_, "FEDICA.prikey", 1));
  }
  void TearDown() override {
    if (opened_) token::token_Close(&session_);
    token::p11_UnloadAll();
  }

  SoftHsm hsm_;
  KeyPtr publicKey_;
  TokenSession session_;
  TokenKeyInfo keyInfo_;
  bool opened_ = false;
};

TEST_F(RequestSigningTest, NewRequestIsSignedMacedAndVerifies) {
  RequestPtr<FEDIREQ> req(FEDIREQ_new());
  ASSERT_NE(nullptr, req);
  X509_NAME* subject = X509_REQ_get_subject_name(req->request);
  ASSERT_EQ(1,
            X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC, bytes("12345678"), -1, -1, 0));
  ASSERT_EQ(
      1, X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, bytes("TESTUSER01"), -1, -1, 0));
  ASSERT_EQ(1, FEDIREQ_set_rsa_pubkey(req.get(), publicKey_.get()));
  ASSERT_EQ(1, FEDIREQ_sign(req.get(), &keyInfo_, bytes("secret"), 6));

  const Bytes der = encodeRecord(&i2d_FEDIREQ, req.get());
  auto decoded = decodeRecord(&d2i_FEDIREQ, der);
  ASSERT_NE(nullptr, decoded);
  EXPECT_EQ(der, encodeRecord(&i2d_FEDIREQ, decoded.get()));
  EXPECT_EQ(1, X509_REQ_verify(decoded->request, publicKey_.get()));
  EXPECT_EQ(1, FEDIREQ_verify(decoded.get(), bytes("secret"), 6));
  EXPECT_EQ(0, FEDIREQ_verify(decoded.get(), bytes("secreT"), 6));

  const ASN1_BIT_STRING* signature = nullptr;
  X509_REQ_get0_signature(decoded->request, &signature, nullptr);
  EXPECT_EQ(static_cast<int>(keyInfo_.bytes), signature->length);
  ASSERT_EQ(4, decoded->mac->length);
  unsigned char mac[4];
  ASSERT_EQ(1, FEDI_req_mac(decoded->request, bytes("secret"), 6, mac));
  EXPECT_EQ(0, std::memcmp(mac, decoded->mac->data, 4));
  EXPECT_EQ(Bytes({0x30, 0x05, 0x06, 0x01, 0x00, 0x05, 0x00}),
            encodeRecord(&i2d_X509_ALGOR, decoded->macAlgorithm));
}

TEST_F(RequestSigningTest, ExtensionAndRevocationSignaturesVerifyWithOpenSsl) {
  RequestPtr<FEDIEXT> ext(FEDIEXT_new());
  RequestPtr<FEDIREV> rev(FEDIREV_new());
  ASSERT_NE(nullptr, ext);
  ASSERT_NE(nullptr, rev);
  ASSERT_EQ(1, ASN1_INTEGER_set(ext->signedPart->body->serialNumber, 42));
  ASSERT_EQ(1, ASN1_OCTET_STRING_set(rev->signedPart->body->reason, bytes("Revoke"), 6));
  ASSERT_EQ(1, FEDIEXT_sign(ext.get(), &keyInfo_));
  ASSERT_EQ(1, FEDIREV_sign(rev.get(), &keyInfo_));

  auto extBack = decodeRecord(&d2i_FEDIEXT, encodeRecord(&i2d_FEDIEXT, ext.get()));
  auto revBack = decodeRecord(&d2i_FEDIREV, encodeRecord(&i2d_FEDIREV, rev.get()));
  ASSERT_NE(nullptr, extBack);
  ASSERT_NE(nullptr, revBack);
  EXPECT_TRUE(verifiesMd5(publicKey_.get(),
                          encodeRecord(&i2d_FEDIEXT_INFO, extBack->signedPart->body),
                          extBack->signedPart->signature));
  EXPECT_TRUE(verifiesMd5(publicKey_.get(),
                          encodeRecord(&i2d_FEDIREV_INFO, revBack->signedPart->body),
                          revBack->signedPart->signature));
  EXPECT_EQ(NID_md5WithRSAEncryption,
            OBJ_obj2nid(extBack->signedPart->signatureAlgorithm->algorithm));
  EXPECT_EQ(NID_md5WithRSAEncryption, OBJ_obj2nid(revBack->signedPart->body->signature->algorithm));
}

TEST_F(RequestSigningTest, SignatureEndingInZeroKeepsItsLastByte) {
  RequestPtr<FEDIEXT> ext(FEDIEXT_new());
  ASSERT_NE(nullptr, ext);
  // Signatures are deterministic: walk serial numbers until one signature ends in 00.
  const ASN1_BIT_STRING* signature = ext->signedPart->signature;
  bool found = false;
  for (long serial = 1; serial < 8000 && !found; ++serial) {
    ASSERT_EQ(1, ASN1_INTEGER_set(ext->signedPart->body->serialNumber, serial));
    ASSERT_EQ(1, FEDIEXT_sign(ext.get(), &keyInfo_));
    found = signature->length > 0 && signature->data[signature->length - 1] == 0;
  }
  ASSERT_TRUE(found);
  const Bytes der = encodeRecord(&i2d_FEDIEXT, ext.get());
  auto back = decodeRecord(&d2i_FEDIEXT, der);
  ASSERT_NE(nullptr, back);
  EXPECT_EQ(static_cast<int>(keyInfo_.bytes), back->signedPart->signature->length);
  EXPECT_EQ(der, encodeRecord(&i2d_FEDIEXT, back.get()));
  EXPECT_TRUE(verifiesMd5(publicKey_.get(), encodeRecord(&i2d_FEDIEXT_INFO, back->signedPart->body),
                          back->signedPart->signature));
  // The BIT STRING ends the record: 0 unused bits, then every byte, the last one 00.
  const std::size_t tail = der.size() - keyInfo_.bytes - 1;
  EXPECT_EQ(0, der[tail]);
  EXPECT_EQ(0, der.back());
}

TEST_F(RequestSigningTest, SigningFailsWithoutAUsableKey) {
  RequestPtr<FEDIEXT> ext(FEDIEXT_new());
  RequestPtr<FEDIREQ> req(FEDIREQ_new());
  ASSERT_EQ(1, FEDIREQ_set_rsa_pubkey(req.get(), publicKey_.get()));
  EXPECT_EQ(0, FEDIEXT_sign(ext.get(), nullptr));
  EXPECT_EQ(0, FEDIREQ_sign(req.get(), nullptr, bytes("x"), 1));
  EXPECT_EQ(0, FEDIEXT_sign(nullptr, &keyInfo_));
  ASSERT_EQ(+token::TokenCode::kTokenOk,
            token::p11_SetPrivateObjects(0));  // the private key is hidden
  EXPECT_EQ(0, FEDIEXT_sign(ext.get(), &keyInfo_));
  EXPECT_EQ(0, FEDIREQ_sign(req.get(), &keyInfo_, bytes("x"), 1));
}

}  // namespace
}  // namespace kestrune::testing
