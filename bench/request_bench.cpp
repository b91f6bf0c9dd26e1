// A new-certificate request built by the control (what makeRequestCert type 1 does before it
// writes the file): identifiers and public key read from the token, the PKCS#10 request made,
// signed on the token, MACed under the pass phrase and verified. The baseline is the floor of
// that work: the same PKCS#11 calls, with the same templates in the same order, made directly
// on the same module and session, and nothing else (no DER, no MD5, no MAC, no verification).
// The control's OpenSSL work and bookkeeping must stay a small share next to the token's.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench/ratio_reporter.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "control/session_state.h"
#include "tests/control/control_test_access.h"
#include "tests/support/softhsm.h"
#include "token/token.h"

namespace kestrune::bench {
namespace {

constexpr char kPass[] = "FEDI pass phrase";

std::vector<std::uint8_t> textWithZero(std::string_view text) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

// A token as makeCard leaves it (512-bit "FEDICA" key pair, both identifiers) and a control
// logged in on it.
struct Bed {
  // SoftHSM2 reads its configuration only when it starts: a session that an earlier benchmark
  // left open is ended first (destroying a control closes it and finalises the module).
  bool previousSessionEnded = [] {
    TVFEDIMiniKeyCrypt closer;
    return true;
  }();
  testing::SoftHsm hsm{1};
  TVFEDIMiniKeyCrypt control;
  CK_FUNCTION_LIST* direct = nullptr;
  std::uint64_t buildCalls = 0;  // module calls of one control build

  Bed() {
    hsm.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
    hsm.createData(0, {.label = "EOISID1", .value = textWithZero("U001")});
    hsm.createData(0, {.label = "EOISID2", .value = textWithZero("ORG01")});
    const std::string path = testing::softHsmModule();
    const std::string pin = testing::kUserPin;
    if (control.loadLib(std::u16string(path.begin(), path.end())) != kOk ||
        control.checkPassword(std::u16string(pin.begin(), pin.end())) != kOk) {
      std::abort();
    }
    // The same module instance as the layer's: dlopen of one path gives one copy.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    if (getList == nullptr || getList(&direct) != CKR_OK) std::abort();
    std::vector<std::uint8_t> der;
    const auto before = token::p11_CallCount();
    if (ControlTestAccess::buildNewRequest(control, kPass, der) != kOk) std::abort();
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
    if (code != kOk) {
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
// as long as the control's (MD5, 34 bytes), made once before the loop.
void BM_DirectNewRequest(benchmark::State& state) {
  Bed& b = bed();
  CK_FUNCTION_LIST* f = b.direct;
  const CK_SESSION_HANDLE h = b.session();
  CK_BBOOL yes = CK_TRUE;
  CK_BBOOL no = CK_FALSE;
  CK_OBJECT_CLASS dataClass = CKO_DATA;
  const auto labelEntry = [](const char* label) {
    return CK_ATTRIBUTE{CKA_LABEL, const_cast<char*>(label), std::strlen(label)};
  };
  std::array<CK_ATTRIBUTE, 4> sid1{{{CKA_TOKEN, &yes, 1},
                                    {CKA_PRIVATE, &no, 1},
                                    labelEntry("EOISID1"),
                                    {CKA_CLASS, &dataClass, sizeof dataClass}}};
  std::array<CK_ATTRIBUTE, 4> sid2 = sid1;
  sid2[2] = labelEntry("EOISID2");
  std::array<CK_ATTRIBUTE, 3> publicKey{
      {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &no, 1}, labelEntry("FEDICA.pubkey")}};
  std::array<CK_ATTRIBUTE, 3> privateKey{
      {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &yes, 1}, labelEntry("FEDICA.prikey")}};
  std::array<CK_BYTE, 34> digestInfo{0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                     0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
  for (std::size_t i = 18; i < digestInfo.size(); ++i) digestInfo[i] = static_cast<CK_BYTE>(i);

  std::uint64_t calls = 0;
  CK_OBJECT_HANDLE handles[256];
  CK_ULONG found = 0;
  const auto search = [&](CK_ATTRIBUTE* t, CK_ULONG count) {
    f->C_FindObjectsInit(h, t, count);
    f->C_FindObjects(h, handles, 256, &found);
    f->C_FindObjectsFinal(h);
    calls += 3;
    return found == 1;
  };
  // readTwice reads attributes the way the token layer does: lengths, then values.
  const auto readTwice = [&](CK_ATTRIBUTE* query, CK_ULONG count,
                             std::array<std::vector<CK_BYTE>, 2>& values) {
    for (CK_ULONG i = 0; i < count; ++i) query[i].pValue = nullptr;
    if (f->C_GetAttributeValue(h, handles[0], query, count) != CKR_OK) return false;
    for (CK_ULONG i = 0; i < count; ++i) {
      values[i].assign(query[i].ulValueLen, 0);
      query[i].pValue = values[i].data();
    }
    calls += 2;
    return f->C_GetAttributeValue(h, handles[0], query, count) == CKR_OK;
  };
  std::array<std::vector<CK_BYTE>, 2> values;
  for (auto _ : state) {
    calls = 0;
    bool ok = true;
    for (auto* dataObject : {&sid1, &sid2}) {
      CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
      ok = ok && search(dataObject->data(), 4) && readTwice(&value, 1, values);
    }
    CK_ATTRIBUTE parts[2] = {{CKA_MODULUS, nullptr, 0}, {CKA_PUBLIC_EXPONENT, nullptr, 0}};
    ok = ok && search(publicKey.data(), 3) && readTwice(parts, 2, values);
    CK_ATTRIBUTE modulus{CKA_MODULUS, nullptr, 0};
    ok = ok && search(privateKey.data(), 3) && readTwice(&modulus, 1, values);
    ok = ok && search(privateKey.data(), 3);
    if (!ok) {
      state.SkipWithError("an object was not found or not read");
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
  if (calls != b.buildCalls) {
    state.SkipWithError("the direct path does not make the control's calls");
  }
  state.counters["pkcs11_calls"] = static_cast<double>(calls);
}

constexpr int kRepetitions = 7;

[[maybe_unused]] const bool registered = [] {
  auto stable = [](benchmark::internal::Benchmark* b) {
    b->Repetitions(kRepetitions)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
  };
  stable(benchmark::RegisterBenchmark("DirectNewRequest/token_calls", BM_DirectNewRequest));
  stable(benchmark::RegisterBenchmark("ControlNewRequest", BM_ControlNewRequest));
  registerRatio("ControlNewRequest", "DirectNewRequest/token_calls", 1.20);
  return true;
}();

}  // namespace
}  // namespace kestrune::bench
