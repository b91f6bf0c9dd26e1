// Key blobs: BLOBHEADER, RSAPUBKEY, then the components least significant byte first, each in
// its fixed-size field (modulus and private exponent n bytes, the five CRT parts n/2).
#include "platform/linux/cryptoapi/providers/key_blob.h"

#include <memory>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

namespace kestrune::cryptoapi {
namespace {

constexpr DWORD kMagicPublic = 0x31415352;   // "RSA1"
constexpr DWORD kMagicPrivate = 0x32415352;  // "RSA2"
constexpr std::size_t kHeaderSize = 20;
constexpr DWORD kMinBits = 384;
constexpr DWORD kMaxBits = 16384;

// The private parts are wiped when freed.
struct ClearNumber {
  void operator()(BIGNUM* number) const noexcept { BN_clear_free(number); }
};
using SecretNumber = std::unique_ptr<BIGNUM, ClearNumber>;

void putDword(Bytes& out, DWORD v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

DWORD getDword(std::span<const std::uint8_t> in, std::size_t at) {
  return static_cast<DWORD>(in[at]) | static_cast<DWORD>(in[at + 1]) << 8 |
         static_cast<DWORD>(in[at + 2]) << 16 | static_cast<DWORD>(in[at + 3]) << 24;
}

// A component little-endian into exactly `size` bytes; false when it doesn't fit.
bool putComponent(Bytes& out, const EVP_PKEY* pkey, const char* name, std::size_t size) {
  BIGNUM* value = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, name, &value) != 1) return false;
  SecretNumber owned(value);
  std::size_t at = out.size();
  out.resize(at + size);
  return BN_bn2lebinpad(value, out.data() + at, static_cast<int>(size)) == static_cast<int>(size);
}

}  // namespace

Bytes exportKeyBlob(const EVP_PKEY* pkey, ALG_ID algorithm, bool privateBlob) {
  Bytes blob;
  int bits = EVP_PKEY_get_bits(pkey);
  BIGNUM* e = nullptr;
  if (bits <= 0 || EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_E, &e) != 1) return {};
  Ptr<BIGNUM> exponent(e);
  if (BN_num_bytes(e) > 4) return {};  // CryptoAPI's public exponent is one DWORD
  auto n = static_cast<std::size_t>(bits + 7) / 8;
  blob.push_back(privateBlob ? PRIVATEKEYBLOB : PUBLICKEYBLOB);
  blob.push_back(CUR_BLOB_VERSION);
  blob.push_back(0);
  blob.push_back(0);
  putDword(blob, algorithm);
  putDword(blob, privateBlob ? kMagicPrivate : kMagicPublic);
  putDword(blob, static_cast<DWORD>(bits));
  putDword(blob, static_cast<DWORD>(BN_get_word(e)));
  bool ok = putComponent(blob, pkey, OSSL_PKEY_PARAM_RSA_N, n);
  if (ok && privateBlob) {
    ok = putComponent(blob, pkey, OSSL_PKEY_PARAM_RSA_FACTOR1, n / 2) &&
         putComponent(blob, pkey, OSSL_PKEY_PARAM_RSA_FACTOR2, n / 2) &&
         putComponent(blob, pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1, n / 2) &&
         putComponent(blob, pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2, n / 2) &&
         putComponent(blob, pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, n / 2) &&
         putComponent(blob, pkey, OSSL_PKEY_PARAM_RSA_D, n);
  }
  if (!ok) {
    OPENSSL_cleanse(blob.data(), blob.size());
    return {};
  }
  return blob;
}

bool importKeyBlob(std::span<const std::uint8_t> blob, ImportedKey& key) {
  auto refuse = [](DWORD error) {
    SetLastError(error);
    return false;
  };
  if (blob.size() < kHeaderSize) return refuse(NTE_BAD_DATA);
  BYTE type = blob[0];
  if (type != PUBLICKEYBLOB && type != PRIVATEKEYBLOB) return refuse(NTE_BAD_TYPE);
  if (blob[1] != CUR_BLOB_VERSION) return refuse(kNteBadVersion);
  ALG_ID algorithm = getDword(blob, 4);
  if (algorithm != CALG_RSA_KEYX && algorithm != CALG_RSA_SIGN) return refuse(NTE_BAD_ALGID);
  bool isPrivate = type == PRIVATEKEYBLOB;
  if (getDword(blob, 8) != (isPrivate ? kMagicPrivate : kMagicPublic)) return refuse(NTE_BAD_DATA);
  DWORD bits = getDword(blob, 12);
  DWORD exponentWord = getDword(blob, 16);
  // The CRT fields are n/2 bytes, so the modulus is a whole number of 16-bit words.
  if (bits < kMinBits || bits > kMaxBits || bits % 16 != 0 || exponentWord == 0)
    return refuse(NTE_BAD_DATA);
  std::size_t n = bits / 8;
  std::size_t needed = kHeaderSize + (isPrivate ? n + 5 * (n / 2) + n : n);
  if (blob.size() < needed) return refuse(NTE_BAD_DATA);

  Ptr<BN_CTX> bnContext(BN_CTX_new());
  std::size_t at = kHeaderSize;
  auto component = [&](std::size_t size) {
    SecretNumber value(BN_lebin2bn(blob.data() + at, static_cast<int>(size), nullptr));
    at += size;
    if (value) BN_set_flags(value.get(), BN_FLG_CONSTTIME);
    return value;
  };
  SecretNumber modulus = component(n);
  Ptr<BIGNUM> exponent(BN_new());
  if (!bnContext || !modulus || !exponent || BN_set_word(exponent.get(), exponentWord) != 1)
    return refuse(NTE_NO_MEMORY);
  // The declared length is the modulus' own: its top bit is set and it is odd.
  if (BN_num_bits(modulus.get()) != static_cast<int>(bits) || !BN_is_odd(modulus.get()))
    return refuse(NTE_BAD_DATA);

  Ptr<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
  if (!builder ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get()) != 1)
    return refuse(NTE_NO_MEMORY);
  SecretNumber p, q, dp, dq, qinv, d;
  if (isPrivate) {
    p = component(n / 2);
    q = component(n / 2);
    dp = component(n / 2);
    dq = component(n / 2);
    qinv = component(n / 2);
    d = component(n);
    if (!p || !q || !dp || !dq || !qinv || !d) return refuse(NTE_NO_MEMORY);
    // The parts must make the modulus, or every later operation would compute nonsense.
    SecretNumber product(BN_new());
    if (!product || BN_is_zero(p.get()) || BN_is_zero(q.get()) || BN_is_zero(d.get()) ||
        BN_mul(product.get(), p.get(), q.get(), bnContext.get()) != 1 ||
        BN_cmp(product.get(), modulus.get()) != 0 || BN_cmp(d.get(), modulus.get()) >= 0)
      return refuse(NTE_BAD_DATA);
    if (OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, q.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, dp.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, dq.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, qinv.get()) != 1)
      return refuse(NTE_NO_MEMORY);
  }
  Ptr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
  Ptr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* pkey = nullptr;
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &pkey, isPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                        params.get()) != 1)
    return refuse(NTE_BAD_DATA);
  key.pkey.reset(pkey);
  key.algorithm = algorithm;
  key.isPrivate = isPrivate;
  return true;
}

}  // namespace kestrune::cryptoapi
