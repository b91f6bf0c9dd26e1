// The control's CryptoAPI signing session against the least work its results need, each pair
// measured in alternation (runPaired) so that the machine's drift falls on both sides alike:
// - FEDIMessageSignWithCSP_Update of a 10 MB message with a key in a software container,
//   against OpenSSL's SHA-1 over the same bytes and one RSA-1024 signature: the hash and the
//   signature are work it can't avoid, so the conversions and the envelope must stay small;
// - _Update of a short message on a smart card's provider (a SoftHSM2 token), against the
//   PKCS#11 calls of one signature made directly on the same token: the card's signature is
//   the cost, what the provider adds around it must be next to nothing;
// - a lookup by CN in a My store of 1,000 certificates, against reading their 1,000 files and
//   decoding each: the store is read from its folder on every lookup, and the search over the
//   decoded certificates must cost little beside that.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/csp_bed.h"
#include "bench/ratio_reporter.h"
#include "bench/token_bed.h"
#include "TVCAPI/tvcapi_ptr.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "tests/support/softhsm.h"

namespace kestrune::bench {
namespace {

constexpr std::size_t kMegabyte = 1000 * 1000;
constexpr std::u16string_view kShortMessage = u"UNH+1+INVOIC:D:96A:UN'BGM+380+1'UNT+3+1'";
constexpr int kStoreSize = 1000;

// invoice returns an invoice of about that many megabytes: a header, item lines with their
// prices and free text, and a trailer.
std::string invoice(std::size_t megabytes) {
  std::string out = "UNH+1+INVOIC:D:96A:UN'BGM+380+1'";
  const std::string lines[] = {"LIN+1++4000862141404:SRS'", "QTY+47:12:PCE'", "MOA+203:1248.50'",
                               "FTX+AAI+++NET 30 DAYS'"};
  out.reserve(megabytes * kMegabyte + 64);
  for (std::size_t i = 0; out.size() < megabytes * kMegabyte; ++i) out += lines[i % 4];
  out += "UNT+3+1'";
  return out;
}

std::u16string wide(std::string_view text) {
  return {text.begin(), text.end()};
}

// updates returns a step that signs the message in the control's open session, for runPaired.
auto updates(TVFEDIMiniKeyCrypt& control, const std::u16string_view message) {
  return [&control, message]() -> const char* {
    const auto signedMessage = control.FEDIMessageSignWithCSP_Update(message);
    if (!signedMessage) return "FEDIMessageSignWithCSP_Update failed";
    benchmark::DoNotOptimize(signedMessage->data());
    return nullptr;
  };
}

// A certificate in the user's My store whose RSA-1024 key lies in a software container, and a
// 10 MB invoice.
struct SoftwareBed {
  UserFolder folder;
  Ptr<EVP_PKEY> key = newRsaKey(1024);
  std::string text = invoice(10);
  std::u16string message = wide(text);
  TVFEDIMiniKeyCrypt control;
  bool ready = false;

  SoftwareBed() {
    const UserFolderScope entered(folder);
    ready = key && storeInContainer(key.get(), "signer") &&
            addToStore(folder.userStore("My"), certificateOf(key.get(), "U001", "ORG01", 0x010A),
                       kSoftwareProvider, "signer");
  }
};

SoftwareBed& softwareBed() {
  static SoftwareBed b;
  return b;
}

void BM_PairedSoftwareUpdateVsSha1Rsa(benchmark::State& state) {
  SoftwareBed& b = softwareBed();
  if (!b.ready) {
    state.SkipWithError("the software container could not be set up");
    return;
  }
  const UserFolderScope entered(b.folder);
  if (b.control.FEDIMessageSignWithCSP_Init(u"CN=U001", u"", u"", u"", 0, 0) != 0) {
    state.SkipWithError("FEDIMessageSignWithCSP_Init failed");
    return;
  }
  const Ptr<EVP_MD_CTX> context(EVP_MD_CTX_new());
  std::vector<unsigned char> signature(static_cast<std::size_t>(EVP_PKEY_get_size(b.key.get())));
  runPaired(state, updates(b.control, b.message), [&]() -> const char* {
    std::size_t length = signature.size();
    if (!context || EVP_MD_CTX_reset(context.get()) != 1 ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha1(), nullptr, b.key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature.data(), &length,
                       reinterpret_cast<const unsigned char*>(b.text.data()), b.text.size()) != 1) {
      return "SHA-1 with RSA failed";
    }
    benchmark::DoNotOptimize(signature.data());
    return nullptr;
  });
  b.control.FEDIMessageSignWithCSP_Final();
}

// A SoftHSM2 token with an RSA-1024 key ("card-key") and its certificate under the same CKA_ID,
// as a card issuer writes them, declared as the provider "Card".
struct CardBed {
  bool previousSessionEnded = (endSharedSession(), true);
  testing::SoftHsm hsm{1};
  UserFolder folder;
  CK_FUNCTION_LIST* functions = softHsmFunctions();
  bool ready = false;

  CardBed() {
    const Ptr<EVP_PKEY> key = newRsaKey(1024);
    const Bytes certificate =
        key ? certificateOf(key.get(), "card", "Card Issuer", 0x0C01) : Bytes();
    if (certificate.empty() || functions == nullptr || hsm.slots().empty()) return;
    // softhsm2-util imports the key with the label and CKA_ID a card issuer gives it.
    const std::string keyPem = folder.path() + "/key8.pem";
    {
      const Ptr<BIO> out(BIO_new_file(keyPem.c_str(), "w"));
      if (!out || PEM_write_bio_PKCS8PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                                nullptr) != 1) {
        return;
      }
    }
    const std::string import = std::string("softhsm2-util --import ") + keyPem +
                               " --token token0 --label card-key --id 0a0b --pin " +
                               testing::kUserPin + " >/dev/null 2>&1";
    const bool imported = std::system(import.c_str()) == 0;
    std::filesystem::remove(keyPem);
    if (!imported || hsm.createCertificate(0, "card-cert", certificate, {0x0A, 0x0B}) == 0) return;
    ready = folder.writeProviders(std::string("{\"Card\": {\"pkcs11\": \"") +
                                  testing::softHsmModule() + "\", \"token\": \"token0\"}}");
  }
};

CardBed& cardBed() {
  static CardBed b;
  return b;
}

// A session of our own on the card's token, beside the provider's: PKCS#11 logins belong to
// the application, so the provider's login serves it too.
class DirectSession {
 public:
  DirectSession(CK_FUNCTION_LIST* f, CK_SLOT_ID slot) : f_(f) {
    if (f_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session_) != CKR_OK) {
      session_ = CK_INVALID_HANDLE;
      return;
    }
    CK_OBJECT_CLASS privateKey = CKO_PRIVATE_KEY;
    char label[] = "card-key";
    std::array<CK_ATTRIBUTE, 2> search{
        {{CKA_CLASS, &privateKey, sizeof privateKey}, {CKA_LABEL, label, sizeof label - 1}}};
    CK_ULONG found = 0;
    if (f_->C_FindObjectsInit(session_, search.data(), search.size()) == CKR_OK) {
      if (f_->C_FindObjects(session_, &key_, 1, &found) != CKR_OK || found != 1) {
        key_ = CK_INVALID_HANDLE;
      }
      f_->C_FindObjectsFinal(session_);
    }
  }
  ~DirectSession() {
    if (session_ != CK_INVALID_HANDLE) f_->C_CloseSession(session_);
  }
  DirectSession(const DirectSession&) = delete;
  DirectSession& operator=(const DirectSession&) = delete;

  bool ready() const { return session_ != CK_INVALID_HANDLE && key_ != CK_INVALID_HANDLE; }

  // sign makes what the control sends the card for one message: the SHA-1 DigestInfo of the
  // text, signed with CKM_RSA_PKCS (its length asked first, as a caller does).
  const char* sign(std::string_view text) {
    static constexpr std::uint8_t kSha1Prefix[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                                   0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    std::array<std::uint8_t, sizeof kSha1Prefix + 20> digestInfo{};
    std::copy(std::begin(kSha1Prefix), std::end(kSha1Prefix), digestInfo.begin());
    unsigned int digestLength = 0;
    if (EVP_Digest(text.data(), text.size(), digestInfo.data() + sizeof kSha1Prefix, &digestLength,
                   EVP_sha1(), nullptr) != 1) {
      return "SHA-1 failed";
    }
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    CK_ULONG length = 0;
    if (f_->C_SignInit(session_, &mechanism, key_) != CKR_OK ||
        f_->C_Sign(session_, digestInfo.data(), digestInfo.size(), nullptr, &length) != CKR_OK ||
        length > signature_.size() ||
        f_->C_Sign(session_, digestInfo.data(), digestInfo.size(), signature_.data(), &length) !=
            CKR_OK) {
      return "C_Sign failed";
    }
    benchmark::DoNotOptimize(signature_.data());
    return nullptr;
  }

 private:
  CK_FUNCTION_LIST* f_;
  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE key_ = CK_INVALID_HANDLE;
  std::array<CK_BYTE, 512> signature_{};
};

void BM_PairedCardUpdateVsDirectSign(benchmark::State& state) {
  CardBed& b = cardBed();
  if (!b.ready) {
    state.SkipWithError("the token could not be set up");
    return;
  }
  const UserFolderScope entered(b.folder);
  TVFEDIMiniKeyCrypt control;
  if (control.FEDIMessageSignWithCSP_Init(u"CN=card", u"", u"Card", wide(testing::kUserPin), 0,
                                          0) != 0) {
    state.SkipWithError("FEDIMessageSignWithCSP_Init failed");
    return;
  }
  const std::string text(kShortMessage.begin(), kShortMessage.end());
  {
    DirectSession direct(b.functions, b.hsm.slots().front());
    if (!direct.ready()) {
      state.SkipWithError("no session or key on the token");
    } else {
      runPaired(state, updates(control, kShortMessage), [&] { return direct.sign(text); });
    }
  }
  control.FEDIMessageSignWithCSP_Final();
}

// A My store of 1,000 certificates of one key, each with its own CN, and the store's files.
struct StoreBed {
  UserFolder folder;
  std::vector<std::string> files;
  bool ready = false;

  StoreBed() {
    const Ptr<EVP_PKEY> key = newRsaKey(2048);
    if (!key) return;
    const std::string my = folder.userStore("My");
    for (int i = 0; i < kStoreSize; ++i) {
      if (!addToStore(my, certificateOf(key.get(), holder(i), "Bench CA", 1000 + i))) return;
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(my, error)) {
      if (entry.path().extension() == ".der") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    ready = !error && files.size() == kStoreSize;
  }

  static std::string holder(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "Holder %04d", i);
    return name;
  }
};

StoreBed& storeBed() {
  static StoreBed b;
  return b;
}

void BM_PairedCnLookupVsDecode(benchmark::State& state) {
  StoreBed& b = storeBed();
  if (!b.ready) {
    state.SkipWithError("the store could not be set up");
    return;
  }
  const UserFolderScope entered(b.folder);
  const std::string subject = "CN=" + StoreBed::holder(kStoreSize / 2);
  Bytes der;
  runPaired(
      state,
      [&]() -> const char* {
        TVCAPIHandle* found = nullptr;
        const std::int32_t code =
            TVXCAPI_GetCertificateFromStores(subject.c_str(), "", 0, 0, &found);
        const Ptr<TVCAPIHandle> certificate(found);
        return code == TVCAPI_OK && certificate ? nullptr : "the lookup failed";
      },
      [&]() -> const char* {
        for (const std::string& file : b.files) {
          if (!readWhole(file, der)) return "a certificate file could not be read";
          const unsigned char* at = der.data();
          const Ptr<X509> certificate(d2i_X509(nullptr, &at, static_cast<long>(der.size())));
          if (!certificate) return "a certificate could not be decoded";
        }
        return nullptr;
      });
}

constexpr int kRepetitions = 7;
constexpr double kSoftwareLimit = 1.5;  // _Update of 10 MB over SHA-1 and one signature
constexpr double kCardLimit = 1.10;     // _Update on a card over the card's signature
constexpr double kLookupLimit = 1.5;    // a CN lookup over reading and decoding the store

[[maybe_unused]] const bool registered = [] {
  auto stable = [](benchmark::internal::Benchmark* b, benchmark::TimeUnit unit) {
    b->Repetitions(kRepetitions)->ReportAggregatesOnly(true)->UseManualTime()->Unit(unit);
  };
  stable(benchmark::RegisterBenchmark("PairedCspUpdateVsSha1Rsa/10MB",
                                      BM_PairedSoftwareUpdateVsSha1Rsa),
         benchmark::kMillisecond);
  stable(benchmark::RegisterBenchmark("PairedCspCardUpdateVsDirectSign",
                                      BM_PairedCardUpdateVsDirectSign),
         benchmark::kMicrosecond);
  stable(benchmark::RegisterBenchmark("PairedCspCnLookupVsDecode/1000", BM_PairedCnLookupVsDecode),
         benchmark::kMillisecond);
  registerPairedRatio("PairedCspUpdateVsSha1Rsa/10MB", kSoftwareLimit);
  registerPairedRatio("PairedCspCardUpdateVsDirectSign", kCardLimit);
  registerPairedRatio("PairedCspCnLookupVsDecode/1000", kLookupLimit);
  return true;
}();

}  // namespace
}  // namespace kestrune::bench
