// The proxy's fault table and call counters.
//
// A fault makes one entry point answer a chosen CK_RV without reaching the target module,
// for every call or for the next N calls. The text form is a list "C_Name=RV[*N];..." with RV
// in decimal or 0x-hex; for C_GetSlotList the value "empty" answers CKR_OK with no slot, as a
// reader without a card does. An empty text clears every fault.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

#include "tools/p11proxy/functions.h"

namespace kestrune::p11proxy {

struct Fault {
  CK_RV rv = CKR_OK;
  bool emptySlotList = false;   // answer CKR_OK and a slot count of 0
  std::int64_t remaining = -1;  // calls still to fault; negative: every call
};

using FaultTable = std::array<std::optional<Fault>, kFunctionCount>;

// parseFaults returns the table that `text` describes; no value when the text is malformed
// (an unknown function, a bad number, "empty" outside C_GetSlotList, a count of zero).
std::optional<FaultTable> parseFaults(std::string_view text);

class Faults {
 public:
  // configure replaces every fault with those of `text`; false, changing nothing, when the
  // text is malformed.
  bool configure(std::string_view text);
  // take counts one call of `function` and returns the fault that answers it, if any; a
  // limited fault is used up by the call.
  std::optional<Fault> take(Function function);
  std::uint64_t calls(Function function) const;
  std::uint64_t allCalls() const;
  void resetCalls();

 private:
  mutable std::mutex mutex_;
  FaultTable table_{};
  std::array<std::atomic<std::uint64_t>, kFunctionCount> calls_{};
};

}  // namespace kestrune::p11proxy
