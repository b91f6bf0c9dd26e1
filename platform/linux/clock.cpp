#include <ctime>
#include <utility>

#include "platform/platform.h"

namespace kestrune::platform {
namespace {

Clock& installedClock() {
  static Clock clock;
  return clock;
}

std::tm toTm(const CivilTime& c) {
  std::tm tm{};
  tm.tm_year = c.year - 1900;
  tm.tm_mon = c.month - 1;
  tm.tm_mday = c.day;
  tm.tm_hour = c.hour;
  tm.tm_min = c.minute;
  tm.tm_sec = c.second;
  return tm;
}

CivilTime fromTm(const std::tm& tm) {
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace

std::int64_t currentTime() {
  if (const Clock& clock = installedClock()) return clock();
  return static_cast<std::int64_t>(std::time(nullptr));
}

Clock setClock(Clock clock) {
  return std::exchange(installedClock(), std::move(clock));
}

std::int64_t makeLocalTime(const CivilTime& local) {
  std::tm tm = toTm(local);
  tm.tm_isdst = 0;
  const std::time_t t = std::mktime(&tm);
  return static_cast<std::int64_t>(t);
}

bool localTime(std::int64_t t, CivilTime& out) {
  const auto value = static_cast<std::time_t>(t);
  std::tm tm{};
  if (localtime_r(&value, &tm) == nullptr) return false;
  out = fromTm(tm);
  return true;
}

bool utcToLocal(const CivilTime& utc, CivilTime& local) {
  std::tm tm = toTm(utc);
  return localTime(static_cast<std::int64_t>(timegm(&tm)), local);
}

bool standardBiasMinutes(int& bias) {
  tzset();
  // timezone is the standard offset in seconds west of UTC, the sign of Windows' Bias.
  bias = static_cast<int>(timezone / 60);
  return true;
}

}  // namespace kestrune::platform
