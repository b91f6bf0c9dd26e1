// The identifier query (request 108 "Get-CcHn", answer 109 "GeT-CsId"). The query carries a
// SID2 and a SID1; an empty one matches any. The answer's single pair holds the SID2 of the
// first holder that matches (ordered by SID2, then SID1), and its SET the SID1 of every matching
// holder of that SID2: the control's querySID2 reads the pair's first string, querySID1 the
// first string of the SET's first element. In each pair both strings hold the identifier, as a
// PrintableString when it can be one.
#include <climits>

#include "ca/record_fields.h"
#include "ca/request_handlers.h"
#include "common/ptr.h"

namespace kestrune::ca {

namespace {

using PairPtr = Ptr<FEDI_ID_PAIR>;

bool setText(ASN1_STRING* string, const std::string& text) {
  if (text.size() > INT_MAX) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const int length = static_cast<int>(text.size());
  if (ASN1_STRING_set(string, bytes, length) != 1) return false;
  const int type = ASN1_PRINTABLE_type(bytes, length);
  string->type = type == V_ASN1_PRINTABLESTRING ? V_ASN1_PRINTABLESTRING : V_ASN1_UTF8STRING;
  return true;
}

bool fillPair(FEDI_ID_PAIR& pair, const std::string& id) {
  return setText(pair.text, id) && setText(pair.code, id);
}

}  // namespace

Outcome answerIdentifierQuery(AuthorityStore& store, const FEDI_CCHN_REQ& query) {
  const auto sid2 = utf8Of(query.sid2);
  const auto sid1 = utf8Of(query.sid1);
  if (!sid1 || !sid2 || (sid1->empty() && sid2->empty())) {
    return refuse(kRefuseMalformed, "the identifier query names no holder");
  }
  std::vector<HolderId> holders;
  if (!store.holdersMatching(*sid1, *sid2, holders)) return storeFailure();
  if (holders.empty()) return refuse(kRefuseUnknownHolder, "no enrolled holder matches");

  CsidResponsePtr answer(FEDI_CSID_RESP_new());
  if (!answer || ASN1_INTEGER_set(answer->type, FEDI_CT_CCHN_RESP) != 1 ||
      !fillPair(*answer->pair, holders.front().sid2)) {
    return refuse(kRefuseInternal, "the answer cannot be made");
  }
  for (const HolderId& holder : holders) {
    if (holder.sid2 != holders.front().sid2) continue;
    PairPtr pair(FEDI_ID_PAIR_new());
    if (!pair || !fillPair(*pair, holder.sid1) ||
        sk_FEDI_ID_PAIR_push(answer->pairs, pair.get()) <= 0) {
      return refuse(kRefuseInternal, "the answer cannot be made");
    }
    pair.release();  // the SET owns it now
  }
  return Answer{FEDI_CT_CCHN_RESP, std::move(answer)};
}

}  // namespace kestrune::ca
