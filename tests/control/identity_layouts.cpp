#include "tests/control/identity_layouts.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>

#include "common/ptr.h"

namespace kestrune::testing {
namespace {

Bytes textWithZero(std::string_view text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

const unsigned char* utf8(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// zrmlCertificate returns the DER of an X.509 certificate of key for the holder named cn
// (a BMPString), issued by an organisation (a UTF8String) with a throwaway key.
Bytes zrmlCertificate(const ZrmlCard& card, EVP_PKEY* key) {
  const KeyPtr issuerKey(EVP_RSA_gen(1024));
  const Ptr<X509> certificate(X509_new());
  ASN1_STRING* bmp = nullptr;
  if (!issuerKey || !certificate ||
      ASN1_mbstring_copy(&bmp, utf8(card.commonName), static_cast<int>(card.commonName.size()),
                         MBSTRING_UTF8, B_ASN1_BMPSTRING) < 0) {
    ADD_FAILURE() << "OpenSSL could not make the ZRML certificate's parts";
    return {};
  }
  const Ptr<ASN1_STRING> commonName(bmp);
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), card.serial);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24L * 3600);

  X509_NAME* subject = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC, utf8("ZRML Holder Org"), -1, -1, 0);
  X509_NAME_add_entry_by_NID(subject, NID_commonName, V_ASN1_BMPSTRING,
                             ASN1_STRING_get0_data(commonName.get()),
                             ASN1_STRING_length(commonName.get()), -1, 0);
  X509_NAME* issuer = X509_get_issuer_name(certificate.get());
  X509_NAME_add_entry_by_txt(issuer, "C", MBSTRING_ASC, utf8("TW"), -1, -1, 0);
  X509_NAME_add_entry_by_NID(issuer, NID_organizationName, V_ASN1_UTF8STRING,
                             utf8(card.issuerOrganisation),
                             static_cast<int>(card.issuerOrganisation.size()), -1, 0);
  X509_NAME_add_entry_by_txt(issuer, "CN", MBSTRING_ASC, utf8("ZRML CA"), -1, -1, 0);
  X509_set_pubkey(certificate.get(), key);
  if (X509_sign(certificate.get(), issuerKey.get(), EVP_sha256()) <= 0) {
    ADD_FAILURE() << "OpenSSL could not sign the ZRML certificate";
    return {};
  }
  const int length = i2d_X509(certificate.get(), nullptr);
  Bytes der(length > 0 ? static_cast<std::size_t>(length) : 0);
  unsigned char* out = der.data();
  i2d_X509(certificate.get(), &out);
  return der;
}

}  // namespace

void layOutLinkway(SoftHsm& hsm, std::string_view sid1, std::string_view sid2) {
  hsm.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
  const std::string application("Vornix-P11", 11);
  hsm.createData(0, {.label = "EOISID1", .value = textWithZero(sid1), .application = application});
  hsm.createData(0, {.label = "EOISID2", .value = textWithZero(sid2), .application = application});
}

void layOutSafeNet(SoftHsm& hsm, std::string_view csn, std::string_view sid1,
                   std::string_view sid2) {
  hsm.generateKeyPair(0, kSafeNetPublicKey, kSafeNetPrivateKey, 512);
  hsm.createData(0, {.label = std::string(csn),
                     .value = Bytes(sid1.begin(), sid1.end()),
                     .application = std::string(sid2)});
}

Bytes taiOneUserData(std::string_view sid2, std::string_view sid1,
                     const std::array<std::uint8_t, 8>& serial) {
  Bytes record(152, ' ');
  std::copy(sid2.begin(), sid2.end(), record.begin());
  std::copy(sid1.begin(), sid1.end(), record.begin() + 36);
  std::copy(serial.begin(), serial.end(), record.begin() + 72);
  return record;
}

void layOutTaiOne(SoftHsm& hsm, const Bytes& userData) {
  hsm.generateKeyPair(0, kTaiOnePublicKey, kTaiOnePrivateKey, 512);
  hsm.createData(0, {.label = "UserData", .value = userData, .isPrivate = true});
}

void layOutZrml(SoftHsm& hsm, const ZrmlCard& card) {
  const std::string publicLabel = card.label + kZrmlPublicSuffix;
  hsm.generateKeyPair(0, publicLabel, card.label, 512);
  const KeyPtr key = tokenPublicKey(hsm, publicLabel);
  if (!key) return;
  hsm.createCertificate(0, card.label, zrmlCertificate(card, key.get()));
}

KeyPtr tokenPublicKey(SoftHsm& hsm, std::string_view label) {
  const Bytes modulus = hsm.attribute(0, label, CKA_MODULUS);
  const Bytes exponent = hsm.attribute(0, label, CKA_PUBLIC_EXPONENT);
  const Ptr<BIGNUM> n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
  const Ptr<BIGNUM> e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
  const Ptr<OSSL_PARAM_BLD> build(OSSL_PARAM_BLD_new());
  if (modulus.empty() || exponent.empty() || !n || !e || !build ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
    ADD_FAILURE() << "no RSA public key labelled " << label << " on the token";
    return nullptr;
  }
  const Ptr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(build.get()));
  const Ptr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    ADD_FAILURE() << "OpenSSL could not make a key of " << label;
    return nullptr;
  }
  return KeyPtr(key);
}

Bytes digestOf(const EVP_MD* md, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr) != 1) {
    ADD_FAILURE() << "OpenSSL could not hash";
    return {};
  }
  return Bytes(digest, digest + length);
}

bool verifiesDigest(EVP_PKEY* key, const EVP_MD* md, const Bytes& digest,
                    std::u16string_view hexSignature) {
  if (key == nullptr) return false;
  const std::string hex(hexSignature.begin(), hexSignature.end());
  long length = 0;
  const Ptr<unsigned char> signature(OPENSSL_hexstr2buf(hex.c_str(), &length));
  const Ptr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new(key, nullptr));
  if (!signature || !context || EVP_PKEY_verify_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), md) != 1) {
    return false;
  }
  return EVP_PKEY_verify(context.get(), signature.get(), static_cast<std::size_t>(length),
                         digest.data(), digest.size()) == 1;
}

}  // namespace kestrune::testing
