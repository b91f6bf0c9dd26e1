// OwnedRecord: ownership of a record that a lower layer allocates and releases with its own
// free function. The release function travels with the pointer, so the control can hold
// records of layers it knows only by name. It owns the CryptoAPI layer's handles
// (cspPrivateKey, cspCertificate): that layer, not yet built here, declares TVCAPIHandle and
// its release function (TVXCAPI_FreeHandle), so a Free<TVCAPIHandle> would name a function
// that nothing defines. When the layer lands, its header gives Free<TVCAPIHandle> and the
// fields become Ptr<TVCAPIHandle>, like every other owner.
#pragma once

#include <memory>

namespace kestrune {

template <class T>
struct ReleaseWith {
  void (*release)(T*) = nullptr;
  void operator()(T* record) const noexcept {
    if (release != nullptr) release(record);
  }
};

template <class T>
using OwnedRecord = std::unique_ptr<T, ReleaseWith<T>>;

// adoptRecord takes ownership of record, to be released with release.
template <class T>
OwnedRecord<T> adoptRecord(T* record, void (*release)(T*)) noexcept {
  return OwnedRecord<T>(record, ReleaseWith<T>{release});
}

}  // namespace kestrune
