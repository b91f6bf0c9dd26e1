// FEDI validity and bag times: OpenSSL's own choice of UTCTime or GeneralizedTime for a
// moment, or a UTCTime text taken as it is and held to the FEDI rule, so that the authority
// never writes a time its own decoder refuses.
#include <climits>
#include <utility>

#include "ca/issuing_parts.h"
#include "platform/platform.h"

namespace kestrune::ca {

FediTime FediTime::utcText(std::string text) {
  return FediTime(std::move(text));
}

FediTime FediTime::now() {
  return FediTime(static_cast<std::time_t>(platform::currentTime()));
}

namespace detail {

namespace {

Ptr<ASN1_TIME> timeOfMoment(std::int64_t moment, Status& status) {
  // UTCTime for 1950-2049, GeneralizedTime otherwise. OpenSSL writes years past 9999 with
  // five digits, which its own syntax check (and so the FEDI decoder) refuses.
  Ptr<ASN1_TIME> time(ASN1_TIME_set(nullptr, static_cast<std::time_t>(moment)));
  if (!time || ASN1_TIME_check(time.get()) != 1) {
    status = Status::badTime;
    return nullptr;
  }
  return time;
}

Ptr<ASN1_TIME> timeOfText(const std::string& text, Status& status) {
  if (text.size() > INT_MAX) {
    status = Status::badTime;
    return nullptr;
  }
  Ptr<ASN1_TIME> time(ASN1_STRING_type_new(V_ASN1_UTCTIME));
  if (!time || ASN1_STRING_set(time.get(), text.data(), static_cast<int>(text.size())) != 1) {
    status = Status::noMemory;
    return nullptr;
  }
  if (FEDI_ASN1_UTCTIME_check(time.get()) != 1) {
    status = Status::badTime;
    return nullptr;
  }
  return time;
}

}  // namespace

Ptr<ASN1_TIME> makeTime(const FediTime& time, Status& status) {
  if (const auto* moment = std::get_if<std::int64_t>(&time.value())) {
    return timeOfMoment(*moment, status);
  }
  return timeOfText(std::get<std::string>(time.value()), status);
}

}  // namespace detail

}  // namespace kestrune::ca
