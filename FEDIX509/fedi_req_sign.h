// Signing the FEDI certificate requests with the token's private key: the one part of the
// request records that needs the token layer, kept in its own library so the authority and the
// certificate-store layer use the records without PKCS#11.
#pragma once

#include <cstddef>

#include "FEDIX509/fedi_req.h"

namespace kestrune::token {
struct TokenKeyInfo;
}

// Token signing with md5WithRSAEncryption through token_RsaSign with keyInfo: sets the
// algorithm identifiers, signs the DER of the to-be-signed part and stores the signature with
// all its bytes. FEDIREQ_sign then sets the MAC algorithm to OID 0.0 (NULL parameters) and
// stores FEDI_req_mac of the signed PKCS#10 request. 1 on success, 0 on failure.
int FEDIREQ_sign(FEDIREQ* req, const kestrune::token::TokenKeyInfo* keyInfo,
                 const unsigned char* pass, std::size_t passLen);
int FEDIEXT_sign(FEDIEXT* ext, const kestrune::token::TokenKeyInfo* keyInfo);
int FEDIREV_sign(FEDIREV* rev, const kestrune::token::TokenKeyInfo* keyInfo);
