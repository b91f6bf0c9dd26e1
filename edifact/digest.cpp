#include "edifact/digest.h"

#include "common/ptr.h"

namespace kestrune::edifact {

const EVP_MD* md5() {
  // Made on first use, after OpenSSL has set up its own clean-up at exit, so it is freed
  // before that clean-up runs.
  static const Ptr<EVP_MD> fetched(EVP_MD_fetch(nullptr, "MD5", nullptr));
  return fetched ? fetched.get() : EVP_md5();
}

}  // namespace kestrune::edifact
