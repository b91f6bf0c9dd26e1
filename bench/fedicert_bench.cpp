// Decoding and re-encoding a one-certificate FEDI bag, and a CA message carrying one, against
// OpenSSL's d2i_X509 + i2d_X509 on an X.509 certificate of the same size. A FEDI record decodes
// its key only when asked for it.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "FEDIX509/fedi_message.h"
#include "FEDIX509/fedi_x509.h"
#include "bench/ratio_reporter.h"
#include "ca/issuing.h"
#include "common/der.h"
#include "common/ptr.h"
#include "tests/ca/test_authority.h"

namespace kestrune::bench {
namespace {

std::vector<std::uint8_t> fediBagDer() {
  auto certificate = ca::issueCertificate(ca::test::holderSpec(), ca::test::testCaKey());
  if (!certificate) std::abort();
  FEDI_X509* one[] = {certificate.get()};
  auto bag = ca::makeBag(one);
  if (!bag) std::abort();
  return ca::toDer(*bag);
}

std::vector<std::uint8_t> x509Der(const std::string& commonName) {
  Ptr<X509> cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0x1234567);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("12345678"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 365);
  X509_set_pubkey(cert.get(), ca::test::holderKey());
  X509_sign(cert.get(), ca::test::testCaKey(), EVP_md5());
  return toDer(cert.get(), i2d_X509);
}

// An X.509 certificate padded through its CN to the size of the FEDI bag.
std::vector<std::uint8_t> x509DerOfSize(std::size_t size) {
  std::string commonName = "TESTUSER01";
  auto der = x509Der(commonName);
  for (int tries = 0; tries < 4 && der.size() != size; ++tries) {
    const long grow = static_cast<long>(size) - static_cast<long>(der.size());
    if (static_cast<long>(commonName.size()) + grow < 1) break;
    commonName.resize(commonName.size() + grow, 'X');
    der = x509Der(commonName);
  }
  return der;
}

// The authority's answer to a new-certificate request: the bag in a message envelope.
std::vector<std::uint8_t> messageDer(const std::vector<std::uint8_t>& bagDer) {
  const unsigned char* p = bagDer.data();
  fedi::RecordPtr<FEDICERT> bag(d2i_FEDICERT(nullptr, &p, static_cast<long>(bagDer.size())));
  fedi::MessagePtr message(FEDI_MESSAGE_new());
  if (!bag || !message ||
      FEDI_MESSAGE_fill(message.get(), 0, 0, "FEDI", FEDI_CT_NEW_CERT, bag.get()) != FEDI_MSG_OK) {
    std::abort();
  }
  auto der = toDer(message.get(), i2d_FEDI_MESSAGE);
  if (der.empty()) std::abort();
  return der;
}

struct Inputs {
  std::vector<std::uint8_t> fedi = fediBagDer();
  std::vector<std::uint8_t> x509 = x509DerOfSize(fedi.size());
  std::vector<std::uint8_t> message = messageDer(fedi);
  std::vector<std::uint8_t> x509OfMessageSize = x509DerOfSize(message.size());
};

const Inputs& inputs() {
  static const Inputs in;
  return in;
}

void BM_FedicertDecodeEncode(benchmark::State& state) {
  const auto& der = inputs().fedi;
  std::vector<unsigned char> out(der.size() + 64);
  for (auto _ : state) {
    const unsigned char* p = der.data();
    FEDICERT* bag = d2i_FEDICERT(nullptr, &p, static_cast<long>(der.size()));
    unsigned char* o = out.data();
    const int length = i2d_FEDICERT(bag, &o);
    FEDICERT_free(bag);
    if (length != static_cast<int>(der.size())) {
      state.SkipWithError("round trip changed the length");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * der.size()));
  state.counters["bytes"] = static_cast<double>(der.size());
}

void BM_MessageDecodeEncode(benchmark::State& state) {
  const auto& der = inputs().message;
  std::vector<unsigned char> out(der.size() + 64);
  for (auto _ : state) {
    const unsigned char* p = der.data();
    FEDI_MESSAGE* message = d2i_FEDI_MESSAGE(nullptr, &p, static_cast<long>(der.size()));
    unsigned char* o = out.data();
    const int length = i2d_FEDI_MESSAGE(message, &o);
    FEDI_MESSAGE_free(message);
    if (length != static_cast<int>(der.size())) {
      state.SkipWithError("round trip changed the length");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * der.size()));
  state.counters["bytes"] = static_cast<double>(der.size());
}

void BM_X509DecodeEncode(benchmark::State& state, bool messageSize) {
  const auto& der = messageSize ? inputs().x509OfMessageSize : inputs().x509;
  std::vector<unsigned char> out(der.size() + 64);
  for (auto _ : state) {
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    unsigned char* o = out.data();
    const int length = i2d_X509(cert, &o);
    X509_free(cert);
    if (length != static_cast<int>(der.size())) {
      state.SkipWithError("round trip changed the length");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * der.size()));
  state.counters["bytes"] = static_cast<double>(der.size());
}

[[maybe_unused]] const bool registered = [] {
  for (auto* b :
       {benchmark::RegisterBenchmark("X509DecodeEncode", BM_X509DecodeEncode, false),
        benchmark::RegisterBenchmark("FedicertDecodeEncode", BM_FedicertDecodeEncode),
        benchmark::RegisterBenchmark("X509DecodeEncode/message_size", BM_X509DecodeEncode, true),
        benchmark::RegisterBenchmark("MessageDecodeEncode", BM_MessageDecodeEncode)}) {
    b->Repetitions(5)->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
  }
  registerRatio("FedicertDecodeEncode", "X509DecodeEncode", 1.0);
  // At least 0.7 times the rate of the X.509 round trip.
  registerRatio("MessageDecodeEncode", "X509DecodeEncode/message_size", 1 / 0.7);
  return true;
}();

}  // namespace
}  // namespace kestrune::bench
