// The library's own hash: MD5 fetched once for the process.
#pragma once

#include <openssl/evp.h>

namespace kestrune::edifact {

// md5 returns MD5 fetched once: EVP_md5() is fetched again inside every digest call, which
// for a short message costs more than the digest. The method is only read, so every thread
// may share it; it is freed at exit. Falls back to EVP_md5() when the fetch fails.
const EVP_MD* md5();

}  // namespace kestrune::edifact
