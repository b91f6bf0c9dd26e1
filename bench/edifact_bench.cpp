// FEDIMessageSign of a 10 MB message on a SoftHSM2 token with a 512-bit key, against
// OpenSSL's MD5 over the same bytes: the hash is work the method can't avoid, so everything
// else it does (text conversions, building the envelope, counting segments) must stay within
// a small share of it. Each ratio is measured in alternation (runPaired), so that the
// machine's drift within a run falls on both sides alike.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "bench/token_bed.h"
#include "ca/issuing.h"
#include "control/TVFEDIMiniKeyCrypt.h"
#include "tests/support/softhsm.h"

namespace kestrune::bench {
namespace {

constexpr std::size_t kMegabyte = 1000 * 1000;

// invoice returns an invoice of about that many megabytes: item lines with their prices and
// free text.
std::string invoice(std::size_t megabytes) {
  std::string out = "UNH+1+INVOIC:D:96A:UN'BGM+380+1'";
  const std::string lines[] = {"LIN+1++4000862141404:SRS'", "QTY+47:12:PCE'", "MOA+203:1248.50'",
                               "FTX+AAI+++O?'NEIL SUPPLY?: NET 30'"};
  out.reserve(megabytes * kMegabyte + 64);
  for (std::size_t i = 0; out.size() < megabytes * kMegabyte; ++i) out += lines[i % 4];
  out += "UNT+3+1'";
  return out;
}

const std::string& message() {
  static const std::string text = invoice(10);
  return text;
}

// A Linkway token as makeCard leaves it, with the holder's certificate (for the CSN), and a
// control logged in on it.
struct Bed {
  bool previousSessionEnded = (endSharedSession(), true);
  testing::SoftHsm hsm{1};
  TVFEDIMiniKeyCrypt control;
  std::map<std::size_t, std::u16string> invoices;  // by megabytes, made on first use
  bool ready = false;

  Bed() {
    hsm.generateKeyPair(0, "FEDICA.pubkey", "FEDICA.prikey", 512);
    hsm.createData(0, {.label = "EOISID1", .value = textWithZero("U001")});
    hsm.createData(0, {.label = "EOISID2", .value = textWithZero("ORG01")});
    const ca::KeyPtr authority = ca::generateRsaKey(1024);
    ca::CertificateSpec spec;
    spec.serial = 1234567890;
    spec.issuer = {"FEDI Bench CA", "BENCHCA1"};
    spec.subject = {"ORG01", "U001"};
    spec.notBefore = ca::FediTime::utcText("240101000000Z");
    spec.notAfter = ca::FediTime::utcText("999999999999Z");
    spec.subjectKey = ca::RsaPublicParts{hsm.attribute(0, "FEDICA.pubkey", CKA_MODULUS),
                                         hsm.attribute(0, "FEDICA.pubkey", CKA_PUBLIC_EXPONENT)};
    const ca::CertificatePtr certificate = ca::issueCertificate(spec, authority.get());
    if (!certificate) return;
    FEDI_X509* const certificates[] = {certificate.get()};
    const ca::BagPtr bag = ca::makeBag(certificates);
    if (!bag) return;
    hsm.createData(0, {.label = "EOICert", .value = ca::toDer(*bag)});

    ready = logInOnSoftHsm(control);
  }

  const std::u16string& wideInvoice(std::size_t megabytes) {
    std::u16string& wide = invoices[megabytes];
    if (wide.empty()) {
      const std::string text = megabytes == 10 ? message() : invoice(megabytes);
      wide.assign(text.begin(), text.end());
    }
    return wide;
  }
};

Bed& bed() {
  static Bed b;
  return b;
}

void BM_FEDIMessageSign(benchmark::State& state, std::size_t megabytes) {
  Bed& b = bed();
  if (!b.ready) {
    state.SkipWithError("the token could not be set up");
    return;
  }
  const std::u16string& message = b.wideInvoice(megabytes);
  for (auto _ : state) {
    auto signedMessage = b.control.FEDIMessageSign(message);
    if (!signedMessage) {
      state.SkipWithError("FEDIMessageSign failed");
      break;
    }
    benchmark::DoNotOptimize(signedMessage->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}

// signs returns a step that signs the invoice of that many megabytes, for runPaired.
auto signs(Bed& b, std::size_t megabytes) {
  return [&b, &message = b.wideInvoice(megabytes)]() -> const char* {
    const auto signedMessage = b.control.FEDIMessageSign(message);
    if (!signedMessage) return "FEDIMessageSign failed";
    benchmark::DoNotOptimize(signedMessage->data());
    return nullptr;
  };
}

// The method against MD5 over the same 10 MB, in alternation.
void BM_PairedSignVsMd5(benchmark::State& state) {
  Bed& b = bed();
  if (!b.ready) {
    state.SkipWithError("the token could not be set up");
    return;
  }
  const std::string& text = message();
  runPaired(state, signs(b, 10), [&]() -> const char* {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) {
      return "MD5 failed";
    }
    benchmark::DoNotOptimize(digest);
    return nullptr;
  });
}

// Twice the text against the text, in alternation: linear in the length. Both sizes are past
// the point where the allocator maps fresh pages for every buffer, which 10 MB is not.
void BM_PairedSign80VsSign40(benchmark::State& state) {
  Bed& b = bed();
  if (!b.ready) {
    state.SkipWithError("the token could not be set up");
    return;
  }
  runPaired(state, signs(b, 80), signs(b, 40));
}

constexpr int kRepetitions = 7;
constexpr double kThroughputShare = 0.7;  // FEDIMessageSign must reach 70% of MD5's bytes/s
constexpr double kGrowth = 2.05;          // 80 MB may take at most this many times 40 MB

[[maybe_unused]] const bool registered = [] {
  auto stable = [](benchmark::internal::Benchmark* b) {
    b->Repetitions(kRepetitions)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);
  };
  for (const std::size_t megabytes : {10, 40, 80}) {
    stable(benchmark::RegisterBenchmark(
        ("FEDIMessageSign/" + std::to_string(megabytes) + "MB").c_str(), BM_FEDIMessageSign,
        megabytes));
  }
  stable(benchmark::RegisterBenchmark("PairedFEDIMessageSignVsMd5/10MB", BM_PairedSignVsMd5)
             ->UseManualTime());
  stable(benchmark::RegisterBenchmark("PairedFEDIMessageSign80MBVs40MB", BM_PairedSign80VsSign40)
             ->UseManualTime());
  // The reporter compares times: time ratio = 1 / throughput ratio.
  registerPairedRatio("PairedFEDIMessageSignVsMd5/10MB", 1.0 / kThroughputShare);
  registerPairedRatio("PairedFEDIMessageSign80MBVs40MB", kGrowth);
  return true;
}();

}  // namespace
}  // namespace kestrune::bench
