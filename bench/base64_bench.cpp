// The control's Base64 against OpenSSL's block coder on 10 MB of random bytes. OpenSSL works
// on unbroken text; ours writes and reads the 64-character lines as well. Both write into
// buffers kept across iterations, as a caller coding many values would.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "token/base64.h"

namespace kestrune::bench {
namespace {

using kestrune::token::text_Base64Decode;
using kestrune::token::text_Base64Encode;

constexpr std::size_t kInputBytes = 10 * 1000 * 1000;

const std::vector<std::uint8_t>& input() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::mt19937_64 rng(1069);
    std::vector<std::uint8_t> out(kInputBytes);
    for (std::size_t i = 0; i < out.size(); i += 8) {
      const std::uint64_t word = rng();
      for (std::size_t j = 0; j < 8 && i + j < out.size(); ++j)
        out[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
    }
    return out;
  }();
  return bytes;
}

const std::string& ourText() {
  static const std::string text = [] {
    std::string out;
    text_Base64Encode(input(), out);
    return out;
  }();
  return text;
}

const std::vector<unsigned char>& openSslText() {
  static const std::vector<unsigned char> text = [] {
    std::vector<unsigned char> out((kInputBytes + 2) / 3 * 4 + 1);
    out.resize(static_cast<std::size_t>(
        EVP_EncodeBlock(out.data(), input().data(), static_cast<int>(kInputBytes))));
    return out;
  }();
  return text;
}

void BM_Base64Encode(benchmark::State& state) {
  std::string text;
  for (auto _ : state) {
    if (!text_Base64Encode(input(), text)) state.SkipWithError("encode failed");
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputBytes));
}

void BM_Base64EncodeOpenSsl(benchmark::State& state) {
  std::vector<unsigned char> text((kInputBytes + 2) / 3 * 4 + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        EVP_EncodeBlock(text.data(), input().data(), static_cast<int>(kInputBytes)));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputBytes));
}

void BM_Base64Decode(benchmark::State& state) {
  const std::string& text = ourText();
  std::vector<std::uint8_t> bytes;
  for (auto _ : state) {
    if (!text_Base64Decode(text, bytes)) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputBytes));
}

void BM_Base64DecodeOpenSsl(benchmark::State& state) {
  const std::vector<unsigned char>& text = openSslText();
  std::vector<unsigned char> bytes(text.size() / 4 * 3);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        EVP_DecodeBlock(bytes.data(), text.data(), static_cast<int>(text.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputBytes));
}

// Each coder against OpenSSL's in alternation (runPaired): on 10 MB the memory bus's drift
// within a run is as large as the difference between the coders.
void BM_PairedBase64Encode(benchmark::State& state) {
  std::string text;
  std::vector<unsigned char> openSsl((kInputBytes + 2) / 3 * 4 + 1);
  runPaired(
      state,
      [&]() -> const char* {
        const bool ok = text_Base64Encode(input(), text);
        benchmark::DoNotOptimize(text.data());
        return ok ? nullptr : "encode failed";
      },
      [&]() -> const char* {
        benchmark::DoNotOptimize(
            EVP_EncodeBlock(openSsl.data(), input().data(), static_cast<int>(kInputBytes)));
        benchmark::ClobberMemory();
        return nullptr;
      });
}

void BM_PairedBase64Decode(benchmark::State& state) {
  const std::string& text = ourText();
  const std::vector<unsigned char>& openSslInput = openSslText();
  std::vector<std::uint8_t> bytes;
  std::vector<unsigned char> openSsl(openSslInput.size() / 4 * 3);
  runPaired(
      state,
      [&]() -> const char* {
        const bool ok = text_Base64Decode(text, bytes);
        benchmark::DoNotOptimize(bytes.data());
        return ok ? nullptr : "decode failed";
      },
      [&]() -> const char* {
        benchmark::DoNotOptimize(EVP_DecodeBlock(openSsl.data(), openSslInput.data(),
                                                 static_cast<int>(openSslInput.size())));
        benchmark::ClobberMemory();
        return nullptr;
      });
}

constexpr int kRepetitions = 7;
constexpr double kThroughputShare = 0.7;  // ours must reach 70% of OpenSSL's bytes per second

[[maybe_unused]] const bool registered = [] {
  auto stable = [](benchmark::internal::Benchmark* b) {
    b->Repetitions(kRepetitions)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);
  };
  stable(benchmark::RegisterBenchmark("Base64EncodeOpenSsl", BM_Base64EncodeOpenSsl));
  stable(benchmark::RegisterBenchmark("Base64Encode", BM_Base64Encode));
  stable(benchmark::RegisterBenchmark("Base64DecodeOpenSsl", BM_Base64DecodeOpenSsl));
  stable(benchmark::RegisterBenchmark("Base64Decode", BM_Base64Decode));
  stable(
      benchmark::RegisterBenchmark("PairedBase64Encode", BM_PairedBase64Encode)->UseManualTime());
  stable(
      benchmark::RegisterBenchmark("PairedBase64Decode", BM_PairedBase64Decode)->UseManualTime());
  // The reporter compares times: time ratio = 1 / throughput ratio.
  registerPairedRatio("PairedBase64Encode", 1.0 / kThroughputShare);
  registerPairedRatio("PairedBase64Decode", 1.0 / kThroughputShare);
  return true;
}();

}  // namespace
}  // namespace kestrune::bench
