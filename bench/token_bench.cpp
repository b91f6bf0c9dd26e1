// Token signing and label search through the token layer against the same PKCS#11 calls
// made directly on the same module and session: our code must add next to nothing. Also
// the number of module calls that checkPassword and getType make.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "bench/token_bed.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "tests/support/softhsm.h"
#include "token/token.h"

namespace kestrune::bench {
namespace {

using namespace kestrune::token;

constexpr const char* kKey512 = "FEDICA.prikey";
constexpr const char* kKey1024 = "Bench1024.prikey";

// MD5 DigestInfo of a short text: what the control hands to the token for a signature.
std::vector<std::uint8_t> md5DigestInfo() {
  static const std::uint8_t prefix[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                        0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
  std::vector<std::uint8_t> out(prefix, prefix + sizeof prefix);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  const char text[] = "FEDI benchmark payload";
  EVP_Digest(text, sizeof text - 1, md, &len, EVP_md5(), nullptr);
  out.insert(out.end(), md, md + len);
  return out;
}

// One SoftHSM2 token with a 512-bit and a 1024-bit key pair, shared by every benchmark.
struct Bed {
  testing::SoftHsm hsm{1};
  TokenSession session{};
  bool layerOpen = false;
  CK_FUNCTION_LIST* direct = nullptr;
  std::vector<std::uint8_t> digestInfo = md5DigestInfo();

  Bed() {
    hsm.generateKeyPair(0, "FEDICA.pubkey", kKey512, 512);
    hsm.generateKeyPair(0, "Bench1024.pubkey", kKey1024, 1024);
    direct = softHsmFunctions();
    if (direct == nullptr) std::abort();
  }
  void openLayer() {
    if (layerOpen) return;
    p11_LoadLibrary(testing::softHsmModule());
    if (token_Open(&session, testing::kUserPin) != +TokenCode::kTokenOk) std::abort();
    p11_SetPrivateObjects(1);
    layerOpen = true;
  }
  void closeLayer() {
    if (!layerOpen) return;
    token_Close(&session);
    layerOpen = false;
  }
};

Bed& bed() {
  static Bed b;
  return b;
}

void labelTemplate(std::array<CK_ATTRIBUTE, 3>& t, const char* label, CK_BBOOL& yes,
                   CK_BBOOL& priv) {
  t[0] = {CKA_TOKEN, &yes, 1};
  t[1] = {CKA_PRIVATE, &priv, 1};
  t[2] = {CKA_LABEL, const_cast<char*>(label), std::strlen(label)};
}

void BM_P11CryptSign(benchmark::State& state, const char* label) {
  Bed& b = bed();
  b.openLayer();
  Bytes signature;
  for (auto _ : state) {
    if (p11_Crypt(&b.session, kSign, kRsaPkcs, label, b.digestInfo, signature) !=
        +TokenCode::kTokenOk) {
      state.SkipWithError("p11_Crypt failed");
      break;
    }
    benchmark::DoNotOptimize(signature.data());
  }
}

// The calls that a label-addressed token signature needs, made straight on the module.
void BM_DirectSign(benchmark::State& state, const char* label) {
  Bed& b = bed();
  b.openLayer();
  CK_FUNCTION_LIST* f = b.direct;
  const CK_SESSION_HANDLE h = b.session.handle;
  CK_BBOOL yes = CK_TRUE, priv = CK_TRUE;
  std::array<CK_ATTRIBUTE, 3> t;
  labelTemplate(t, label, yes, priv);
  std::vector<CK_BYTE> signature;
  for (auto _ : state) {
    CK_OBJECT_HANDLE handles[256];
    CK_ULONG found = 0;
    f->C_FindObjectsInit(h, t.data(), 3);
    f->C_FindObjects(h, handles, 256, &found);
    f->C_FindObjectsFinal(h);
    // The input is checked against the modulus size, which its length alone gives.
    CK_ATTRIBUTE m{CKA_MODULUS, nullptr, 0};
    f->C_GetAttributeValue(h, handles[0], &m, 1);
    if (b.digestInfo.size() + 11 > m.ulValueLen) {
      state.SkipWithError("input too long");
      break;
    }
    CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
    f->C_SignInit(h, &mech, handles[0]);
    CK_ULONG length = 0;
    f->C_Sign(h, b.digestInfo.data(), b.digestInfo.size(), nullptr, &length);
    signature.assign(length, 0);
    if (f->C_Sign(h, b.digestInfo.data(), b.digestInfo.size(), signature.data(), &length) !=
        CKR_OK) {
      state.SkipWithError("C_Sign failed");
      break;
    }
    benchmark::DoNotOptimize(signature.data());
  }
}

void BM_LayerSearch(benchmark::State& state) {
  Bed& b = bed();
  b.openLayer();
  AttributeTemplate t{};
  p11_LabelTemplate(0, "FEDICA.pubkey", t);
  CK_ULONG found = 0;
  for (auto _ : state) {
    if (p11_FindObjects(&b.session, p11_HandleBuffer(), t.data(), 3, &found) != CKR_OK ||
        found != 1) {
      state.SkipWithError("search failed");
      break;
    }
  }
}

void BM_DirectSearch(benchmark::State& state) {
  Bed& b = bed();
  b.openLayer();
  CK_FUNCTION_LIST* f = b.direct;
  CK_BBOOL yes = CK_TRUE, priv = CK_FALSE;
  std::array<CK_ATTRIBUTE, 3> t;
  labelTemplate(t, "FEDICA.pubkey", yes, priv);
  CK_OBJECT_HANDLE handles[256];
  for (auto _ : state) {
    CK_ULONG found = 0;
    f->C_FindObjectsInit(b.session.handle, t.data(), 3);
    f->C_FindObjects(b.session.handle, handles, 256, &found);
    f->C_FindObjectsFinal(b.session.handle);
    benchmark::DoNotOptimize(found);
  }
}

// Module calls per control method; times are reported too but not compared.
TVFEDIMiniKeyCrypt& control() {
  static TVFEDIMiniKeyCrypt c;
  static const bool loaded = [] {
    bed().closeLayer();
    std::string path = testing::softHsmModule();
    return c.loadLib(std::u16string(path.begin(), path.end())) == 0;
  }();
  (void)loaded;
  return c;
}

void BM_CheckPasswordCalls(benchmark::State& state) {
  auto& c = control();
  std::uint64_t calls = 0;
  for (auto _ : state) {
    const auto before = p11_CallCount();
    if (c.checkPassword(u"123456") != 0) {
      state.SkipWithError("checkPassword failed");
      break;
    }
    calls = p11_CallCount() - before;
  }
  state.counters["pkcs11_calls"] = static_cast<double>(calls);
}

void BM_GetTypeCalls(benchmark::State& state) {
  auto& c = control();
  c.checkPassword(u"123456");
  std::uint64_t calls = 0;
  for (auto _ : state) {
    const auto before = p11_CallCount();
    auto type = c.getType();
    calls = p11_CallCount() - before;
    benchmark::DoNotOptimize(type);
  }
  state.counters["pkcs11_calls"] = static_cast<double>(calls);
}

constexpr int kRepetitions = 7;

[[maybe_unused]] const bool registered = [] {
  auto stable = [](benchmark::internal::Benchmark* b) {
    b->Repetitions(kRepetitions)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
  };
  stable(benchmark::RegisterBenchmark("DirectSign/512", BM_DirectSign, kKey512));
  stable(benchmark::RegisterBenchmark("P11CryptSign/512", BM_P11CryptSign, kKey512));
  stable(benchmark::RegisterBenchmark("DirectSign/1024", BM_DirectSign, kKey1024));
  stable(benchmark::RegisterBenchmark("P11CryptSign/1024", BM_P11CryptSign, kKey1024));
  stable(benchmark::RegisterBenchmark("DirectSearch", BM_DirectSearch));
  stable(benchmark::RegisterBenchmark("LayerSearch", BM_LayerSearch));
  benchmark::RegisterBenchmark("checkPassword", BM_CheckPasswordCalls)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("getType", BM_GetTypeCalls)->Unit(benchmark::kMicrosecond);
  registerRatio("P11CryptSign/512", "DirectSign/512", 1.10);
  registerRatio("P11CryptSign/1024", "DirectSign/1024", 1.10);
  registerRatio("LayerSearch", "DirectSearch", 1.10);
  return true;
}();

}  // namespace
}  // namespace kestrune::bench
