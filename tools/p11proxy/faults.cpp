#include "tools/p11proxy/faults.h"

#include <charconv>

namespace kestrune::p11proxy {
namespace {

std::string_view trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

template <class Number>
std::optional<Number> parseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// parseEntry reads one "C_Name=RV[*N]" into the table.
bool parseEntry(std::string_view entry, FaultTable& table) {
  const auto equals = entry.find('=');
  if (equals == std::string_view::npos) return false;
  const auto function = functionByName(trim(entry.substr(0, equals)));
  if (!function) return false;

  std::string_view value = trim(entry.substr(equals + 1));
  Fault fault;
  if (const auto star = value.find('*'); star != std::string_view::npos) {
    const auto count = parseNumber<std::uint32_t>(trim(value.substr(star + 1)));
    if (!count || *count == 0) return false;
    fault.remaining = *count;
    value = trim(value.substr(0, star));
  }
  if (value == "empty") {
    if (*function != Function::C_GetSlotList) return false;
    fault.emptySlotList = true;
  } else {
    const auto rv = parseNumber<CK_RV>(value);
    if (!rv) return false;
    fault.rv = *rv;
  }
  table[static_cast<std::size_t>(*function)] = fault;
  return true;
}

}  // namespace

std::optional<FaultTable> parseFaults(std::string_view text) {
  FaultTable table{};
  while (!text.empty()) {
    const auto end = text.find(';');
    const std::string_view entry = trim(text.substr(0, end));
    if (!entry.empty() && !parseEntry(entry, table)) return std::nullopt;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return table;
}

bool Faults::configure(std::string_view text) {
  auto table = parseFaults(text);
  if (!table) return false;
  std::lock_guard lock(mutex_);
  table_ = *table;
  return true;
}

std::optional<Fault> Faults::take(Function function) {
  const auto index = static_cast<std::size_t>(function);
  calls_[index].fetch_add(1, std::memory_order_relaxed);
  std::lock_guard lock(mutex_);
  auto& slot = table_[index];
  if (!slot) return std::nullopt;
  const Fault fault = *slot;
  if (slot->remaining > 0 && --slot->remaining == 0) slot.reset();
  return fault;
}

std::uint64_t Faults::calls(Function function) const {
  return calls_[static_cast<std::size_t>(function)].load(std::memory_order_relaxed);
}

std::uint64_t Faults::allCalls() const {
  std::uint64_t total = 0;
  for (const auto& count : calls_) total += count.load(std::memory_order_relaxed);
  return total;
}

void Faults::resetCalls() {
  for (auto& count : calls_) count.store(0, std::memory_order_relaxed);
}

}  // namespace kestrune::p11proxy
