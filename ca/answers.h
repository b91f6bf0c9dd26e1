// What a request handler gives back: the record of the expected answer with its content type,
// or a refusal that goes out as a status record (content type 999).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "FEDIX509/fedi_crl.h"
#include "FEDIX509/fedi_message.h"
#include "ca/authority_context.h"
#include "ca/authority_store.h"
#include "ca/issuing.h"
#include "ca/refusals.h"
#include "common/ptr.h"

namespace kestrune::ca {

using CsidResponsePtr = Ptr<FEDI_CSID_RESP>;

struct Refusal {
  int code;
  std::string text;
};

struct Answer {
  int type;
  std::variant<BagPtr, fedi::CrlPtr, CsidResponsePtr> record;
  void* get() const {
    return std::visit([](const auto& owned) -> void* { return owned.get(); }, record);
  }
};

using Outcome = std::variant<Answer, Refusal>;

// What the log line of a request says besides its outcome, filled in as it is served: the kind
// of request, the holder it concerns and the certificate it issued, renewed or revoked.
struct RequestNote {
  const char* type = "undecodable";
  std::optional<HolderId> holder;
  std::optional<std::int64_t> serial;
};

inline Outcome refuse(int code, std::string text) {
  return Refusal{code, std::move(text)};
}

// storeFailure is the refusal for a database that failed under a request.
inline Outcome storeFailure() {
  return refuse(kRefuseInternal, "the authority cannot read or write its records");
}

}  // namespace kestrune::ca
