// The control's sign against the PKCS#11 calls that its path makes, made directly on the same
// module and session: the control's own work (texts, digest, DigestInfo, hex) must add next to
// nothing. Also the module calls that sign, getSID1 and getCSN make.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "bench/token_bed.h"
#include "ca/issuing.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/session_state.h"
#include "tests/support/softhsm.h"
#include "token/token.h"

namespace kestrune::bench {
namespace {

constexpr char16_t kText16[] = u"FEDI benchmark payload";
constexpr char kText[] = "FEDI benchmark payload";

// A stored user certificate bag for the Linkway CSN, issued with throwaway keys.
std::vector<std::uint8_t> userCertificateBag() {
  const ca::KeyPtr caKey = ca::generateRsaKey(1024);
  const ca::KeyPtr userKey = ca::generateRsaKey(512);
  ca::CertificateSpec spec;
  spec.serial = 1234567890;
  spec.issuer = {"FEDI", "FEDICA01"};
  spec.subject = {"ORG01", "U001"};
  spec.notBefore = ca::FediTime(std::time_t{1700000000});
  spec.notAfter = ca::FediTime(std::time_t{4000000000});
  spec.subjectKey = userKey.get();
  const ca::CertificatePtr certificate = ca::issueCertificate(spec, caKey.get());
  if (!certificate) std::abort();
  FEDI_X509* certificates[] = {certificate.get()};
  const ca::BagPtr bag = ca::makeBag(certificates);
  if (!bag) std::abort();
  return ca::toDer(*bag);
}

// One Linkway token with a 512-bit key pair, identifiers and a user certificate, and a
// logged-in control on it.
struct Bed {
  TVFEDIMiniKeyCrypt control;
  std::optional<testing::SoftHsm> hsm;
  CK_FUNCTION_LIST* direct = nullptr;
  std::uint64_t signCalls = 0;  // module calls of one control sign

  Bed() {
    // Another benchmark of this program may still hold the process-wide session; the token
    // directory can change only while the module is finalised.
    control.close();
    hsm.emplace(1);
    hsm->generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
    hsm->createData(0, {.label = "EOISID1", .value = textWithZero("U001")});
    hsm->createData(0, {.label = "EOISID2", .value = textWithZero("ORG01")});
    hsm->createData(0, {.label = "EOICert", .value = userCertificateBag()});
    direct = softHsmFunctions();
    if (!logInOnSoftHsm(control) || direct == nullptr) std::abort();
    const auto before = token::p11_CallCount();
    if (!control.sign(kText16)) std::abort();
    signCalls = token::p11_CallCount() - before;
  }
  CK_SESSION_HANDLE session() const { return control::sharedSessionState().session->handle; }
};

Bed& bed() {
  static Bed b;
  return b;
}

void BM_ControlSign(benchmark::State& state) {
  Bed& b = bed();
  std::uint64_t calls = 0;
  for (auto _ : state) {
    const auto before = token::p11_CallCount();
    auto signature = b.control.sign(kText16);
    calls = token::p11_CallCount() - before;
    if (!signature) {
      state.SkipWithError("sign failed");
      break;
    }
    benchmark::DoNotOptimize(signature->data());
  }
  state.counters["pkcs11_calls"] = static_cast<double>(calls);
}

// The direct path: what the control's sign asks of the module, in the same order and with
// the same templates: the type check (is "FEDICA.pubkey" there), the key description (the
// private key's modulus), then the signature by label (search, modulus size, two-pass sign).
void BM_DirectSign(benchmark::State& state) {
  Bed& b = bed();
  CK_FUNCTION_LIST* f = b.direct;
  const CK_SESSION_HANDLE h = b.session();
  CK_BBOOL yes = CK_TRUE;
  CK_BBOOL no = CK_FALSE;
  const auto labelTemplate = [&](const char* label, CK_BBOOL* isPrivate) {
    return std::array<CK_ATTRIBUTE, 3>{{{CKA_TOKEN, &yes, 1},
                                        {CKA_PRIVATE, isPrivate, 1},
                                        {CKA_LABEL, const_cast<char*>(label), std::strlen(label)}}};
  };
  auto publicKey = labelTemplate("FEDICA.pubkey", &no);
  auto privateKey = labelTemplate("FEDICA.prikey", &yes);
  static const std::uint8_t md5Prefix[] = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                           0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
  std::uint64_t calls = 0;
  for (auto _ : state) {
    calls = 0;
    CK_OBJECT_HANDLE handles[256];
    CK_ULONG found = 0;
    const auto search = [&](std::array<CK_ATTRIBUTE, 3>& t) {
      f->C_FindObjectsInit(h, t.data(), 3);
      f->C_FindObjects(h, handles, 256, &found);
      f->C_FindObjectsFinal(h);
      calls += 3;
      return found == 1;
    };
    if (!search(publicKey) || !search(privateKey)) {
      state.SkipWithError("key not found");
      break;
    }
    CK_ATTRIBUTE modulus{CKA_MODULUS, nullptr, 0};
    f->C_GetAttributeValue(h, handles[0], &modulus, 1);
    std::vector<CK_BYTE> modulusBytes(modulus.ulValueLen);
    modulus.pValue = modulusBytes.data();
    f->C_GetAttributeValue(h, handles[0], &modulus, 1);
    calls += 2;

    std::vector<std::uint8_t> digestInfo(std::begin(md5Prefix), std::end(md5Prefix));
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    EVP_Digest(kText, sizeof kText - 1, md, &mdLength, EVP_md5(), nullptr);
    digestInfo.insert(digestInfo.end(), md, md + mdLength);

    if (!search(privateKey)) {
      state.SkipWithError("key not found");
      break;
    }
    CK_ATTRIBUTE size{CKA_MODULUS, nullptr, 0};
    f->C_GetAttributeValue(h, handles[0], &size, 1);
    if (digestInfo.size() + 11 > size.ulValueLen) {
      state.SkipWithError("input too long");
      break;
    }
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    f->C_SignInit(h, &mechanism, handles[0]);
    CK_ULONG length = 0;
    f->C_Sign(h, digestInfo.data(), digestInfo.size(), nullptr, &length);
    std::vector<CK_BYTE> signature(length, 0);
    const CK_RV rv = f->C_Sign(h, digestInfo.data(), digestInfo.size(), signature.data(), &length);
    calls += 4;
    if (rv != CKR_OK) {
      state.SkipWithError("C_Sign failed");
      break;
    }
    benchmark::DoNotOptimize(signature.data());
  }
  if (calls != b.signCalls) {
    state.SkipWithError("the direct path does not make the control's calls");
  }
  state.counters["pkcs11_calls"] = static_cast<double>(calls);
}

// Module calls of an identity reader: its first call, which reads the token, and the later
// ones, served from the control's caches after the type check.
template <std::optional<std::u16string> (TVFEDIMiniKeyCrypt::*reader)()>
void BM_ReaderCalls(benchmark::State& state) {
  Bed& b = bed();
  static std::optional<std::uint64_t> firstCalls;
  if (!firstCalls) {
    const auto before = token::p11_CallCount();
    if (!(b.control.*reader)()) state.SkipWithError("the reader failed");
    firstCalls = token::p11_CallCount() - before;
  }
  std::uint64_t calls = 0;
  for (auto _ : state) {
    const auto before = token::p11_CallCount();
    auto value = (b.control.*reader)();
    calls = token::p11_CallCount() - before;
    benchmark::DoNotOptimize(value);
  }
  state.counters["pkcs11_calls_first"] = static_cast<double>(*firstCalls);
  state.counters["pkcs11_calls"] = static_cast<double>(calls);
}

constexpr int kRepetitions = 7;

[[maybe_unused]] const bool registered = [] {
  auto stable = [](benchmark::internal::Benchmark* b) {
    b->Repetitions(kRepetitions)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
  };
  stable(benchmark::RegisterBenchmark("DirectSign/control_path", BM_DirectSign));
  stable(benchmark::RegisterBenchmark("ControlSign", BM_ControlSign));
  benchmark::RegisterBenchmark("getSID1", BM_ReaderCalls<&TVFEDIMiniKeyCrypt::getSID1>)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("getCSN", BM_ReaderCalls<&TVFEDIMiniKeyCrypt::getCSN>)
      ->Unit(benchmark::kMicrosecond);
  registerRatio("ControlSign", "DirectSign/control_path", 1.15);
  return true;
}();

}  // namespace
}  // namespace kestrune::bench
