// CaExchange: one exchange with the certification authority, the way every CA operation makes
// it: the initiation that names where messages go, one request through its entry point, and
// the check of the answer's type. The connection, and with it the decoded answer, is released
// when the object goes, on every path.
#pragma once

#include <cstdint>

#include "FEDIX509/fedi_ca_client.h"
#include "control/ca_internal.h"
#include "control/control_state.h"

namespace kestrune::control {

class CaExchange {
 public:
  explicit CaExchange(ControlState& state) noexcept : state_(state) {}
  ~CaExchange();
  CaExchange(const CaExchange&) = delete;
  CaExchange& operator=(const CaExchange&) = delete;

  // initiate asks caUrl where messages go; 0, or the exchange's failure mapped to the control's
  // code.
  std::int32_t initiate(const char* caUrl);

  // send posts record through entryPoint on the initiated connection and checks that the
  // answer is of expectedType: 0 with content() set to the answer's record, or the mapped
  // failure of the exchange, or the code of the answer check.
  template <class Record>
  std::int32_t send(int (*entryPoint)(CaConnection*, Record*), Record* record, int expectedType) {
    content_ = nullptr;
    if (const int code = entryPoint(&connection_, record); code != NET_OK) {
      return mapExchangeError(code);
    }
    return checkCaAnswer(state_, connection_.lastAnswer, expectedType, &content_);
  }

  // run is initiate followed by send.
  template <class Record>
  std::int32_t run(const char* caUrl, int (*entryPoint)(CaConnection*, Record*), Record* record,
                   int expectedType) {
    if (const auto code = initiate(caUrl); code != +ControlCode::kOk) return code;
    return send(entryPoint, record, expectedType);
  }

  // content is the record of the checked answer, owned by the connection: valid while this
  // object lives. Null before a successful send.
  template <class T>
  T* content() const {
    return static_cast<T*>(content_);
  }

 private:
  ControlState& state_;
  CaConnection connection_{};
  void* content_ = nullptr;
};

}  // namespace kestrune::control
