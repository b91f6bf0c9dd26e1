#include "control/ca_exchange_frame.h"

namespace kestrune::control {

CaExchange::~CaExchange() {
  if (initiated_) ca_FreeConnection(&connection_);
}

std::int32_t CaExchange::initiate(const char* caUrl) {
  if (initiated_) ca_FreeConnection(&connection_);
  connection_ = CaConnection{};
  content_ = nullptr;
  // Whatever the outcome, the initiation may have filled part of the connection.
  initiated_ = true;
  const int code = ca_Initiate(caUrl, &connection_);
  return code == NET_OK ? kOk : TVFEDIMiniKeyCrypt::mapExchangeError(code);
}

}  // namespace kestrune::control
