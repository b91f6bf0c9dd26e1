// MD5 looked up once for the process.
#pragma once

#include <openssl/evp.h>

namespace kestrune::fedi {

// md5 returns MD5 fetched once: EVP_md5() is fetched again inside every digest call, and for
// the few hundred bytes of a request or a message that lookup costs several times the digest
// itself. The fetched method is only read, so every thread may share it; it is freed at exit.
// Falls back to EVP_md5() when the fetch fails.
const EVP_MD* md5();

}  // namespace kestrune::fedi
