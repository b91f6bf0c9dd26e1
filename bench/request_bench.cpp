// A new-certificate request built by the control (what makeRequestCert type 1 does before it
// writes the file): identifiers and public key read from the token, the PKCS#10 request made,
// signed on the token, MACed under the pass phrase and verified. The baseline is the floor of
// that work: the same PKCS#11 calls, with the same templates in the same order, made directly
// on the same module and session, and nothing else (no DER, no MD5, no MAC, no verification).
// The control's OpenSSL work and bookkeeping must stay a small share next to the token's.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench/ratio_reporter.h"
#include "bench/token_bed.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/session_state.h"
#include "tests/control/control_test_access.h"
#include "tests/support/softhsm.h"
#include "token/token.h"

namespace kestrune::bench {
namespace {

constexpr char kPass[] = "FEDI pass phrase";

// A token as makeCard leaves it (512-bit "FEDICA" key pair, both identifiers) and a control
// logged in on it.
struct Bed {
  bool previousSessionEnded = (endSharedSession(), true);
  testing::SoftHsm hsm{1};
  TVFEDIMiniKeyCrypt control;
  CK_FUNCTION_LIST* direct = nullptr;
  std::uint64_t buildCalls = 0;  // module calls of one control build

  Bed() {
    hsm.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
    hsm.createData(0, {.label = "EOISID1", .value = textWithZero("U001")});
    hsm.createData(0, {.label = "EOISID2", .value = textWithZero("ORG01")});
    direct = softHsmFunctions();
    if (!logInOnSoftHsm(control) || direct == nullptr) std::abort();
    std::vector<std::uint8_t> der;
    const auto before = token::p11_CallCount();
    if (ControlTestAccess::buildNewRequest(control, kPass, der) != +ControlCode::kOk) std::abort();
    buildCalls = token::p11_CallCount() - before;
  }
  CK_SESSION_HANDLE session() const { return control::sharedSessionState().session->handle; }
};

Bed& bed() {
  static Bed b;
  return b;
}

void BM_ControlNewRequest(benchmark::State& state) {
  Bed& b = bed();
  std::uint64_t calls = 0;
  std::vector<std::uint8_t> der;
  for (auto _ : state) {
    const auto before = token::p11_CallCount();
    const std::int32_t code = ControlTestAccess::buildNewRequest(b.control, kPass, der);
    calls = token::p11_CallCount() - before;
    if (code != +ControlCode::kOk) {
      state.SkipWithError("buildNewRequest failed");
      break;
    }
    benchmark::DoNotOptimize(der.data());
  }
  state.counters["pkcs11_calls"] = static_cast<double>(calls);
  state.counters["request_bytes"] = static_cast<double>(der.size());
}

// The token work of one build, direct: each identifier's data object found and its value
// read (length, then value), the public key found and its modulus and exponent read, the
// private key found and its modulus read (the key description), then the signature: the
// private key found again, its modulus size queried, and the two-pass C_Sign of a DigestInfo
// as long as the control's (MD5, 34 bytes), made once beforehand.
class DirectBuild {
 public:
  explicit DirectBuild(Bed& b) : f_(b.direct), h_(b.session()) {
    for (std::size_t i = 18; i < digestInfo_.size(); ++i) {
      digestInfo_[i] = static_cast<CK_BYTE>(i);
    }
  }

  // run makes the calls once; nullptr on success, else what went wrong. calls() counts them.
  const char* run() {
    calls_ = 0;
    bool ok = true;
    for (auto* dataObject : {&sid1_, &sid2_}) {
      CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
      ok = ok && search(dataObject->data(), 4) && readTwice(&value, 1);
    }
    CK_ATTRIBUTE parts[2] = {{CKA_MODULUS, nullptr, 0}, {CKA_PUBLIC_EXPONENT, nullptr, 0}};
    ok = ok && search(publicKey_.data(), 3) && readTwice(parts, 2);
    CK_ATTRIBUTE modulus{CKA_MODULUS, nullptr, 0};
    ok = ok && search(privateKey_.data(), 3) && readTwice(&modulus, 1);
    ok = ok && search(privateKey_.data(), 3);
    if (!ok) return "an object was not found or not read";
    CK_ATTRIBUTE size{CKA_MODULUS, nullptr, 0};
    f_->C_GetAttributeValue(h_, handles_[0], &size, 1);
    if (digestInfo_.size() + 11 > size.ulValueLen) return "input too long";
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    f_->C_SignInit(h_, &mechanism, handles_[0]);
    CK_ULONG length = 0;
    f_->C_Sign(h_, digestInfo_.data(), digestInfo_.size(), nullptr, &length);
    signature_.assign(length, 0);
    const CK_RV rv =
        f_->C_Sign(h_, digestInfo_.data(), digestInfo_.size(), signature_.data(), &length);
    calls_ += 4;
    if (rv != CKR_OK) return "C_Sign failed";
    benchmark::DoNotOptimize(signature_.data());
    return nullptr;
  }
  std::uint64_t calls() const { return calls_; }

 private:
  static CK_ATTRIBUTE labelEntry(const char* label) {
    return CK_ATTRIBUTE{CKA_LABEL, const_cast<char*>(label), std::strlen(label)};
  }
  bool search(CK_ATTRIBUTE* t, CK_ULONG count) {
    f_->C_FindObjectsInit(h_, t, count);
    f_->C_FindObjects(h_, handles_, 256, &found_);
    f_->C_FindObjectsFinal(h_);
    calls_ += 3;
    return found_ == 1;
  }
  // readTwice reads attributes the way the token layer does: lengths, then values.
  bool readTwice(CK_ATTRIBUTE* query, CK_ULONG count) {
    for (CK_ULONG i = 0; i < count; ++i) query[i].pValue = nullptr;
    if (f_->C_GetAttributeValue(h_, handles_[0], query, count) != CKR_OK) return false;
    for (CK_ULONG i = 0; i < count; ++i) {
      values_[i].assign(query[i].ulValueLen, 0);
      query[i].pValue = values_[i].data();
    }
    calls_ += 2;
    return f_->C_GetAttributeValue(h_, handles_[0], query, count) == CKR_OK;
  }

  CK_FUNCTION_LIST* f_;
  CK_SESSION_HANDLE h_;
  CK_BBOOL yes_ = CK_TRUE;
  CK_BBOOL no_ = CK_FALSE;
  CK_OBJECT_CLASS dataClass_ = CKO_DATA;
  std::array<CK_ATTRIBUTE, 4> sid1_{{{CKA_TOKEN, &yes_, 1},
                                     {CKA_PRIVATE, &no_, 1},
                                     labelEntry("EOISID1"),
                                     {CKA_CLASS, &dataClass_, sizeof dataClass_}}};
  std::array<CK_ATTRIBUTE, 4> sid2_{{{CKA_TOKEN, &yes_, 1},
                                     {CKA_PRIVATE, &no_, 1},
                                     labelEntry("EOISID2"),
                                     {CKA_CLASS, &dataClass_, sizeof dataClass_}}};
  std::array<CK_ATTRIBUTE, 3> publicKey_{
      {{CKA_TOKEN, &yes_, 1}, {CKA_PRIVATE, &no_, 1}, labelEntry("FEDICA.pubkey")}};
  std::array<CK_ATTRIBUTE, 3> privateKey_{
      {{CKA_TOKEN, &yes_, 1}, {CKA_PRIVATE, &yes_, 1}, labelEntry("FEDICA.prikey")}};
  std::array<CK_BYTE, 34> digestInfo_{0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                      0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
  CK_OBJECT_HANDLE handles_[256] = {};
  CK_ULONG found_ = 0;
  std::array<std::vector<CK_BYTE>, 2> values_;
  std::vector<CK_BYTE> signature_;
  std::uint64_t calls_ = 0;
};

void BM_DirectNewRequest(benchmark::State& state) {
  Bed& b = bed();
  DirectBuild direct(b);
  for (auto _ : state) {
    if (const char* why = direct.run()) {
      state.SkipWithError(why);
      break;
    }
  }
  if (direct.calls() != b.buildCalls) {
    state.SkipWithError("the direct path does not make the control's calls");
  }
  state.counters["pkcs11_calls"] = static_cast<double>(direct.calls());
}

// The two paths in alternation (runPaired): SoftHSM's file work drifts by tens of percent within
// a run, which two benchmarks measured apart would take for a difference between the paths.
void BM_PairedNewRequest(benchmark::State& state) {
  Bed& b = bed();
  DirectBuild direct(b);
  std::vector<std::uint8_t> der;
  runPaired(
      state,
      [&]() -> const char* {
        return ControlTestAccess::buildNewRequest(b.control, kPass, der) == +ControlCode::kOk
                   ? nullptr
                   : "buildNewRequest failed";
      },
      [&] { return direct.run(); });
}

constexpr int kRepetitions = 7;

[[maybe_unused]] const bool registered = [] {
  auto stable = [](benchmark::internal::Benchmark* b) {
    b->Repetitions(kRepetitions)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
  };
  stable(benchmark::RegisterBenchmark("DirectNewRequest/token_calls", BM_DirectNewRequest));
  stable(benchmark::RegisterBenchmark("ControlNewRequest", BM_ControlNewRequest));
  stable(benchmark::RegisterBenchmark("PairedNewRequest", BM_PairedNewRequest)->UseManualTime());
  registerPairedRatio("PairedNewRequest", 1.20);
  return true;
}();

}  // namespace
}  // namespace kestrune::bench
