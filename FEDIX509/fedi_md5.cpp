// The process's one fetched MD5.
#include "FEDIX509/fedi_md5.h"

namespace kestrune::fedi {
namespace {

// FetchedMd5 owns the fetched method. It is made on first use, after the library has set up
// its own clean-up at exit, so it is freed before that clean-up runs.
class FetchedMd5 {
 public:
  FetchedMd5() : md_(EVP_MD_fetch(nullptr, "MD5", nullptr)) {}
  ~FetchedMd5() { EVP_MD_free(md_); }
  FetchedMd5(const FetchedMd5&) = delete;
  FetchedMd5& operator=(const FetchedMd5&) = delete;

  const EVP_MD* get() const { return md_ != nullptr ? md_ : EVP_md5(); }

 private:
  EVP_MD* md_;
};

}  // namespace

const EVP_MD* md5() {
  static const FetchedMd5 fetched;
  return fetched.get();
}

}  // namespace kestrune::fedi
