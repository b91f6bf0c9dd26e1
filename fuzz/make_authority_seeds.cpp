// Writes the authority fuzz target's seeds: a request message of every content type the
// authority answers, made for the authority ca_message_fuzzer makes (fuzz/authority_requests.h)
// so that each one gets past the checks of its handler, and beside them the requests each check
// refuses. The files only change when the builders or the encoders do.
//   usage: make_authority_seeds CORPUS_DIR   (fuzz/corpus)
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/authority_requests.h"

namespace {

namespace authority = kestrune::fuzz::authority;
using authority::Bytes;
using authority::kHolderA;
using authority::kHolderASerial;
using authority::kHolderB;

// A holder the authority never enrolled, with holder B's key.
constexpr authority::Holder kStranger{"STRANGER01", "87654321", "", kHolderB.key};

std::vector<std::pair<const char*, Bytes>> seeds() {
  constexpr std::int64_t kNone = -1;
  return {
      {"new_certificate_holder_b", authority::newCertificateRequest(kHolderB, kHolderB.pass)},
      {"new_certificate_wrong_mac", authority::newCertificateRequest(kHolderB, "WrongPassPhrase")},
      {"new_certificate_unknown_holder", authority::newCertificateRequest(kStranger, "Any")},
      {"new_certificate_pass_spent", authority::newCertificateRequest(kHolderA, kHolderA.pass)},
      {"renewal_serial_2", authority::renewalRequest(kHolderA, kHolderASerial)},
      {"renewal_unknown_serial", authority::renewalRequest(kHolderA, 99)},
      {"renewal_signed_by_another_key", authority::renewalRequest(kHolderB, kHolderASerial)},
      {"revocation_serial_2", authority::revocationRequest(kHolderA, kHolderASerial, "Revoke")},
      {"revocation_signed_by_another_key",
       authority::revocationRequest(kHolderB, kHolderASerial, "Key lost")},
      {"certificate_query_serial_2", authority::certificateQuery(kHolderASerial, nullptr, kNone)},
      {"certificate_query_authority_serial_1", authority::certificateQuery(1, nullptr, kNone)},
      {"certificate_query_holder_a", authority::certificateQuery(kNone, &kHolderA, kNone)},
      {"certificate_query_holder_a_at_date",
       authority::certificateQuery(kNone, &kHolderA, authority::kNow + 86400)},
      {"certificate_query_holder_b_not_issued",
       authority::certificateQuery(kNone, &kHolderB, kNone)},
      {"revocation_list_query", authority::revocationListQuery()},
      {"authority_key_query", authority::authorityKeyQuery(kNone, kNone)},
      {"authority_key_query_psn_1", authority::authorityKeyQuery(1, kNone)},
      {"authority_key_query_at_date", authority::authorityKeyQuery(kNone, authority::kNow)},
      {"identifier_query_holder_a", authority::identifierQuery(kHolderA.sid1, kHolderA.sid2)},
      {"identifier_query_any_sid1", authority::identifierQuery("", kHolderA.sid2)},
      {"identifier_query_unknown", authority::identifierQuery("NOBODY", "00000000")},
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path out = std::filesystem::path(argv[1]) / "ca_message_fuzzer";
  std::filesystem::create_directories(out);
  for (const auto& [name, der] : seeds()) {
    if (der.empty()) {
      std::fprintf(stderr, "%s: the request cannot be made\n", name);
      return 1;
    }
    std::ofstream file(out / name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
    if (!file.flush()) {
      std::fprintf(stderr, "%s: cannot write %s\n", name, (out / name).c_str());
      return 1;
    }
    std::printf("%s: %zu bytes\n", name, der.size());
  }
  return 0;
}
