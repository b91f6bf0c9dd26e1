// Writes the message fuzzer's seeds of the content types whose records have their own seeds
// elsewhere in the corpus: each record is decoded from its record fuzzer's seed and wrapped in
// an envelope by FEDI_MESSAGE_fill, as the client and the authority wrap them, with a fixed
// creation time so that the files only change when the encoders do.
//   usage: make_message_seeds CORPUS_DIR   (fuzz/corpus)
#include <openssl/asn1.h>
#include <openssl/asn1t.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FEDIX509/fedi_message.h"
#include "FEDIX509/fedi_req.h"
#include "FEDIX509/fedi_x509.h"

namespace {

constexpr const char* kClientAgent = "Tarvonel/FEDI/V1.00";
constexpr const char* kAuthorityAgent = "Kestrune/FEDI-CA/V1.00";
constexpr const char* kCreated = "20260101000000Z";

struct Seed {
  const char* name;  // the file written in the message fuzzer's corpus
  int type;
  const ASN1_ITEM* item;  // null for a query, read with the body of type
  const char* source;     // a seed of a record fuzzer, relative to the corpus folder
  bool selector;          // the source starts with the byte that picks its record
  const char* agent;
};

std::vector<Seed> seeds() {
  return {
      {"new_certificate_request", FEDI_CT_NEW_CERT_REQ, ASN1_ITEM_rptr(FEDIREQ),
       "fedix509_req_fuzzer/new_request", true, kClientAgent},
      {"new_certificate_request_ia5_tag", FEDI_CT_NEW_CERT_REQ, ASN1_ITEM_rptr(FEDIREQ),
       "fedix509_req_fuzzer/new_request_ia5_tag", true, kClientAgent},
      {"new_certificate", FEDI_CT_NEW_CERT, ASN1_ITEM_rptr(FEDICERT),
       "fedix509_fedicert_fuzzer/one_certificate", false, kAuthorityAgent},
      {"extension_request", FEDI_CT_EXT_REQ, ASN1_ITEM_rptr(FEDIEXT),
       "fedix509_req_fuzzer/extension", true, kClientAgent},
      {"extended_certificate", FEDI_CT_EXT_CERT, ASN1_ITEM_rptr(FEDICERT),
       "fedix509_fedicert_fuzzer/generalized_time", false, kAuthorityAgent},
      {"revocation_request", FEDI_CT_REV_REQ, ASN1_ITEM_rptr(FEDIREV),
       "fedix509_req_fuzzer/revocation", true, kClientAgent},
      {"getcert_answer", FEDI_CT_GET_CERT_ANS, ASN1_ITEM_rptr(FEDICERT),
       "fedix509_fedicert_fuzzer/three_certificates", false, kAuthorityAgent},
      {"getcert_answer_empty", FEDI_CT_GET_CERT_ANS, ASN1_ITEM_rptr(FEDICERT),
       "fedix509_fedicert_fuzzer/empty_list", false, kAuthorityAgent},
      {"getcrl_query", FEDI_CT_GET_CRL, nullptr, "fedix509_query_fuzzer/getcrl", true,
       kClientAgent},
      {"getcapk_answer", FEDI_CT_GET_CAPK_ANS, ASN1_ITEM_rptr(FEDICERT),
       "fedix509_fedicert_fuzzer/bmp_tag", false, kAuthorityAgent},
      {"osid_request", FEDI_CT_OSID_REQ, ASN1_ITEM_rptr(FEDI_OSID_REQ),
       "fedix509_ids_fuzzer/osid_request", true, kClientAgent},
      {"osid_answer", FEDI_CT_OSID_RESP, ASN1_ITEM_rptr(FEDI_OSID_RESP),
       "fedix509_ids_fuzzer/osid_answer", true, kAuthorityAgent},
      {"csid_request", FEDI_CT_CSID_REQ, ASN1_ITEM_rptr(FEDI_CSID_REQ),
       "fedix509_ids_fuzzer/csid_request", true, kClientAgent},
  };
}

bool readFile(const std::filesystem::path& path, std::vector<unsigned char>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

void release(const Seed& seed, void* record) {
  if (seed.item != nullptr) {
    ASN1_item_free(static_cast<ASN1_VALUE*>(record), seed.item);
  } else {
    FEDI_QUERY_free(static_cast<FEDI_QUERY*>(record));
  }
}

// decode reads the whole of der as the seed's record; null when it doesn't decode or leaves
// bytes over.
void* decode(const Seed& seed, const std::vector<unsigned char>& der, std::size_t skip) {
  if (der.size() <= skip) return nullptr;
  const unsigned char* pos = der.data() + skip;
  const auto length = static_cast<long>(der.size() - skip);
  void* record = seed.item != nullptr
                     ? static_cast<void*>(ASN1_item_d2i(nullptr, &pos, length, seed.item))
                     : d2i_FEDI_QUERY(nullptr, &pos, length, seed.type);
  if (record != nullptr && pos != der.data() + der.size()) {
    release(seed, record);
    return nullptr;
  }
  return record;
}

// wrap returns the DER of the envelope around record, or nothing.
std::vector<unsigned char> wrap(const Seed& seed, void* record) {
  std::vector<unsigned char> der;
  kestrune::fedi::MessagePtr msg(FEDI_MESSAGE_new());
  if (!msg || FEDI_MESSAGE_fill(msg.get(), 0, 0, seed.agent, seed.type, record) != FEDI_MSG_OK ||
      ASN1_GENERALIZEDTIME_set_string(msg->created, kCreated) != 1) {
    return der;
  }
  const int length = i2d_FEDI_MESSAGE(msg.get(), nullptr);
  if (length <= 0) return der;
  der.resize(static_cast<std::size_t>(length));
  unsigned char* pos = der.data();
  if (i2d_FEDI_MESSAGE(msg.get(), &pos) != length) der.clear();
  return der;
}

// decodesAs is true when der is one message of the seed's content type.
bool decodesAs(const Seed& seed, const std::vector<unsigned char>& der) {
  const unsigned char* pos = der.data();
  kestrune::fedi::MessagePtr msg(d2i_FEDI_MESSAGE(nullptr, &pos, static_cast<long>(der.size())));
  return msg && pos == der.data() + der.size() && msg->content->type == seed.type;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path corpus = argv[1];
  const std::filesystem::path out = corpus / "fedix509_message_fuzzer";
  for (const Seed& seed : seeds()) {
    std::vector<unsigned char> source;
    if (!readFile(corpus / seed.source, source)) {
      std::fprintf(stderr, "%s: cannot read %s\n", seed.name, seed.source);
      return 1;
    }
    void* record = decode(seed, source, seed.selector ? 1 : 0);
    if (record == nullptr) {
      std::fprintf(stderr, "%s: %s is not one record of type %d\n", seed.name, seed.source,
                   seed.type);
      return 1;
    }
    const std::vector<unsigned char> der = wrap(seed, record);
    release(seed, record);
    if (der.empty() || !decodesAs(seed, der)) {
      std::fprintf(stderr, "%s: the envelope cannot be made\n", seed.name);
      return 1;
    }
    std::ofstream file(out / seed.name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
    if (!file.flush()) {
      std::fprintf(stderr, "%s: cannot write %s\n", seed.name, (out / seed.name).c_str());
      return 1;
    }
    std::printf("%s: type %d, %zu bytes\n", seed.name, seed.type, der.size());
  }
  return 0;
}
