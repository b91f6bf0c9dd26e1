// The authority's revocation list: an X.509 CRL (version 1) naming every certificate it has
// revoked, signed md5WithRSA with the authority's key, inside the FEDI record "ReVoKeCl".
#pragma once

#include "ca/answers.h"

namespace kestrune::ca {

// revocationListAnswer answers type (5 after a revocation, 9 to a revocation-list query) with
// the list as it stands now. The record's second INTEGER carries type and its third the number
// of revoked certificates; the list's next update is crlLifetimeSeconds after now.
Outcome revocationListAnswer(const AuthorityContext& context, AuthorityStore& store, int type);

}  // namespace kestrune::ca
