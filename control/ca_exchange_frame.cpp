#include "control/ca_exchange_frame.h"
#include "control/ca_internal.h"

namespace kestrune::control {

// Freeing an empty connection does nothing, so every path may free it.
CaExchange::~CaExchange() {
  ca_FreeConnection(&connection_);
}

std::int32_t CaExchange::initiate(const char* caUrl) {
  ca_FreeConnection(&connection_);
  content_ = nullptr;
  const int code = ca_Initiate(caUrl, &connection_);
  return code == NET_OK ? +ControlCode::kOk : control::mapExchangeError(code);
}

}  // namespace kestrune::control
