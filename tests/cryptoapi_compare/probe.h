// The CryptoAPI probe: each check prints one "key<TAB>value" line, so the outputs of the Linux
// build and of the Windows build (run under Wine) can be compared key by key. Values are
// portable: text as escaped bytes or code points, never sizes that depend on the width of
// wchar_t or of pointers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cryptoapi.h"

namespace probe {

using Bytes = std::vector<std::uint8_t>;

struct Fixture {
  std::string_view name;
  Bytes bytes;
};

// fixtures returns the files of certs/ in name order: the certificates (.der), the key blobs
// (.blob) and the signed message (.p7); fixture returns one by file name, or an empty one.
const std::vector<Fixture>& fixtures();
const Bytes& fixture(std::string_view fileName);

// The fixture certificates (files ending in .der) and their names without the ending.
bool isCertificate(const Fixture& f);
std::string stem(const Fixture& f);

struct ContextFree {
  void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};
using Context = std::unique_ptr<const CERT_CONTEXT, ContextFree>;
// contextOf decodes a certificate with both encoding types, as callers usually pass them.
Context contextOf(const Bytes& der);

// Owner releases a CryptoAPI handle once, with the call for its kind.
template <class Handle, class Release>
class Owner {
 public:
  Owner() = default;
  explicit Owner(Handle handle) : handle_(handle) {}
  ~Owner() { reset(); }
  Owner(Owner&& other) noexcept : handle_(other.release()) {}
  Owner& operator=(Owner&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = other.release();
    }
    return *this;
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  Handle get() const { return handle_; }
  // put releases what is held and hands out the slot for a call to fill.
  Handle* put() {
    reset();
    return &handle_;
  }
  void reset() {
    if (handle_) Release{}(handle_);
    handle_ = Handle{};
  }
  // release gives the handle up, for a call whose own outcome is compared.
  Handle release() {
    Handle handle = handle_;
    handle_ = Handle{};
    return handle;
  }
  explicit operator bool() const { return handle_ != Handle{}; }

 private:
  Handle handle_{};
};
struct ReleaseProvider {
  void operator()(HCRYPTPROV h) const { CryptReleaseContext(h, 0); }
};
struct ReleaseKey {
  void operator()(HCRYPTKEY h) const { CryptDestroyKey(h); }
};
struct ReleaseHash {
  void operator()(HCRYPTHASH h) const { CryptDestroyHash(h); }
};
struct ReleaseStore {
  void operator()(HCERTSTORE h) const { CertCloseStore(h, 0); }
};
struct ReleaseMessage {
  void operator()(HCRYPTMSG h) const { CryptMsgClose(h); }
};
using ProviderHandle = Owner<HCRYPTPROV, ReleaseProvider>;
using KeyHandle = Owner<HCRYPTKEY, ReleaseKey>;
using HashHandle = Owner<HCRYPTHASH, ReleaseHash>;
using StoreHandle = Owner<HCERTSTORE, ReleaseStore>;
using MessageHandle = Owner<HCRYPTMSG, ReleaseMessage>;

// emit prints one line; a key printed twice stops the probe, so every key stays unique.
void emit(const std::string& key, const std::string& value);

std::string hex(const std::uint8_t* data, std::size_t size);
std::string hex(const Bytes& bytes);
std::string hexWord(std::uint32_t value);
// escaped writes printable ASCII as is and every other byte (and '\') as \xNN.
std::string escaped(std::string_view bytes);
// The code points of a wide text (UTF-16 on Windows, UTF-32 on Linux), and back.
std::u32string codePoints(const wchar_t* text, std::size_t length);
std::wstring wide(std::u32string_view text);
// utf8 writes code points as escaped UTF-8: controls, surrogates and '\' as \u{X}.
std::string utf8(std::u32string_view text);
// codePointList writes "U+0041 U+00E9".
std::string codePointList(std::u32string_view text);
// outcome is "ok" for TRUE, else "fail:" and the last error in hex.
std::string outcome(BOOL ok);
std::string lastError();

void probeNames();
void probeDecodedNames();
void probeCodePages();
void probeKeys();
void probeHashes();
void probeCertificates();
void probeStores();
void probeMessages();
void probeSignerInfo();
void probeErrors();

}  // namespace probe
