#include "tools/kestrune/demo_csp.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include "FEDIX509/builtin_ca_records.h"
#include "ca/test_authority_key.h"
#include "common/der.h"
#include "edifact/edifact.h"
#include "platform/platform.h"
#include "token/labels.h"
#include "tools/kestrune/demo_ca.h"
#include "tools/kestrune/demo_calls.h"
#include "tools/kestrune/demo_token.h"

namespace kestrune::host {
namespace {

// Two orders signed in one session, and an invoice signed through the store in one call.
constexpr const char* kFirstOrder =
    "UNH+1+ORDERS:D:96A:UN'BGM+220+PO0001+9'DTM+137:20240102:102'LIN+1++WIDGET:SA'"
    "QTY+21:10'UNT+6+1'";
constexpr const char* kSecondOrder =
    "UNH+2+ORDERS:D:96A:UN'BGM+220+PO0002+9'DTM+137:20240103:102'LIN+1++GADGET:SA'"
    "QTY+21:5'UNT+6+2'";
constexpr const char* kInvoice = "UNH+3+INVOIC:D:96A:UN'BGM+380+INV0002+9'MOA+203:500'UNT+4+3'";
constexpr const char* kSubject = "CN=U001";

Ptr<EVP_PKEY> publicKeyOf(const TokenPublicKey& key) {
  Ptr<BIGNUM> n(BN_bin2bn(key.modulus.data(), static_cast<int>(key.modulus.size()), nullptr));
  Ptr<BIGNUM> e(BN_bin2bn(key.exponent.data(), static_cast<int>(key.exponent.size()), nullptr));
  Ptr<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
  if (!n || !e || !builder ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
    return nullptr;
  }
  Ptr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
  Ptr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* made = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return nullptr;
  }
  return Ptr<EVP_PKEY>(made);
}

bool addName(X509_NAME* name, const char* field, const char* value) {
  return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(value), -1, -1, 0) == 1;
}

// issueX509 makes the signer's certificate: the holder's name (O, CN) and key, issued in the
// test authority's name (O, CN) and signed with its key, valid from an hour ago for a year,
// with a random serial number.
std::vector<std::uint8_t> issueX509(const TokenPublicKey& key, std::string& why) {
  const Ptr<EVP_PKEY> subjectKey = publicKeyOf(key);
  const auto authorityKey = ca::loadTestAuthorityKey();
  Ptr<X509> cert(X509_new());
  std::uint8_t serial[8];
  if (!subjectKey || !authorityKey || !cert || RAND_bytes(serial, sizeof serial) != 1) {
    why = "cannot make the certificate";
    return {};
  }
  serial[0] = static_cast<std::uint8_t>((serial[0] & 0x7F) | 0x01);  // positive, 8 bytes
  Ptr<BIGNUM> serialNumber(BN_bin2bn(serial, sizeof serial, nullptr));
  X509_NAME* subject = X509_get_subject_name(cert.get());
  X509_NAME* issuer = X509_get_issuer_name(cert.get());
  const bool built =
      serialNumber && X509_set_version(cert.get(), X509_VERSION_3) == 1 &&
      BN_to_ASN1_INTEGER(serialNumber.get(), X509_get_serialNumber(cert.get())) != nullptr &&
      addName(subject, "O", kDemoOrgId) && addName(subject, "CN", kDemoUserId) &&
      addName(issuer, "O", fedi::kTestCasid2) && addName(issuer, "CN", fedi::kTestCasid1) &&
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600L) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 86400L) != nullptr &&
      X509_set_pubkey(cert.get(), subjectKey.get()) == 1 &&
      X509_sign(cert.get(), authorityKey.get(), EVP_sha256()) > 0;
  if (!built) {
    why = "cannot make the certificate";
    return {};
  }
  return toDer(cert.get(), i2d_X509);
}

StepOutcome installSigner(DemoContext& context, const std::string& modulePath) {
  std::vector<std::uint8_t> der;
  std::string why;
  const std::string_view keyLabel = token::kLinkwayPrivateKeyLabel;
  if (!placeCertificateBesideKey(modulePath, keyLabel, issueX509, der, why) ||
      !installDemoSigner(context.dir, modulePath, der, std::string(keyLabel).c_str(), why)) {
    return {false, std::nullopt, why, {}};
  }
  const std::string file = pathIn(context.dir, kCspCertificateFile);
  if (platform::writeFile(file.c_str(), der) != platform::FileStatus::ok) {
    return {false, std::nullopt, "cannot write " + file, {}};
  }
  const unsigned char* position = der.data();
  context.cspSigner.reset(d2i_X509(nullptr, &position, static_cast<long>(der.size())));
  return {true,
          std::nullopt,
          std::string("issued by ") + fedi::kTestCasid1 + ", written to " + kCspCertificateFile +
              ", on the token beside " + std::string(keyLabel) + ", in My with the provider \"" +
              kDemoProvider + "\"",
          {}};
}

// signedAndVerified judges a signed message: it must carry the SHA-1 envelope, and verify
// with the signer's certificate; it is written to dir/file for a later check.
Judge signedAndVerified(std::string file) {
  return [file = std::move(file)](const CallOutcome& o, DemoContext& context) {
    if (!o.result.isText()) return unexpected(o);
    std::string text;
    if (!platform::toCodePage950(o.result.asText(), text)) {
      return Verdict{false, "the signed message does not convert to code page 950"};
    }
    edifact::VerifyReport report;
    if (!context.cspSigner ||
        edifact::verifyEdifactMessage(text, X509_get0_pubkey(context.cspSigner.get()), report) !=
            edifact::VerifyStatus::ok) {
      return Verdict{false, "does not verify: " + report.message};
    }
    const std::string path = pathIn(context.dir, file);
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    if (platform::writeFile(path.c_str(), bytes) != platform::FileStatus::ok) {
      return Verdict{false, "cannot write " + path};
    }
    return expected("written to " + file + "; " + report.message);
  };
}

}  // namespace

std::vector<DemoStep> cspSigningSteps(const std::string& modulePath) {
  const std::string provider = kDemoProvider;
  return {
      {"an X.509 certificate for the token's key pair from the test authority",
       [modulePath](DemoContext& context) { return installSigner(context, modulePath); }},
      call("FEDIMessageSignWithCSP_Init " + std::string(kSubject) + " through \"" + provider + "\"",
           "FEDIMessageSignWithCSP_Init", words({kSubject, "", provider, kDemoUserPin, "0", "0"}),
           codeIs(0,
                  "the certificate found among the provider's containers, the PIN handed "
                  "over")),
      call("FEDIMessageSignWithCSP_Update of an ORDERS message", "FEDIMessageSignWithCSP_Update",
           words({kFirstOrder}), signedAndVerified("orders-1-signed.edi")),
      call("FEDIMessageSignWithCSP_Update of a second ORDERS message",
           "FEDIMessageSignWithCSP_Update", words({kSecondOrder}),
           signedAndVerified("orders-2-signed.edi")),
      call("getSID1", "getSID1", words({}),
           textIs(kDemoUserId, "the signing certificate's subject CN")),
      call("FEDIMessageSignWithCSP_Final", "FEDIMessageSignWithCSP_Final", words({}),
           codeIs(0, "the session is released")),
      call(std::string("FEDIMessageSignWithCSP of an INVOIC message, ") + kSubject +
               " found in the My store",
           "FEDIMessageSignWithCSP",
           words({kInvoice, kSubject, std::string("O=") + fedi::kTestCasid2, "", kDemoUserPin, "0",
                  "0"}),
           signedAndVerified("invoic-csp-signed.edi")),
  };
}

}  // namespace kestrune::host
