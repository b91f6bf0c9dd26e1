// The authority's answer to each request it serves, by content type of the request:
//   0 new certificate -> 1, 2 renewal -> 3, 4 revocation -> 5, 6 certificate query -> 7,
//   8 revocation-list query -> 9, 10 authority-key query -> 11, 108 identifier query -> 109.
// Each returns the answer record, or the refusal to send as a status record.
#pragma once

#include "FEDIX509/fedi_message.h"
#include "FEDIX509/fedi_req.h"
#include "ca/answers.h"

namespace kestrune::ca {

// The three holder requests note the holder and the certificate concerned for the log line.
Outcome answerNewCertificate(const AuthorityContext& context, AuthorityStore& store,
                             FEDIREQ& request, RequestNote& note);
Outcome answerRenewal(const AuthorityContext& context, AuthorityStore& store, FEDIEXT& request,
                      RequestNote& note);
Outcome answerRevocation(const AuthorityContext& context, AuthorityStore& store, FEDIREV& request,
                         RequestNote& note);
Outcome answerCertificateQuery(const AuthorityContext& context, AuthorityStore& store,
                               const FEDI_GETCERT_BODY& query);
Outcome answerRevocationListQuery(const AuthorityContext& context, AuthorityStore& store,
                                  const FEDI_GETCRL_BODY& query);
Outcome answerAuthorityKeyQuery(const AuthorityContext& context, AuthorityStore& store,
                                const FEDI_GETCAPK_BODY& query);
Outcome answerIdentifierQuery(AuthorityStore& store, const FEDI_CCHN_REQ& query);

}  // namespace kestrune::ca
