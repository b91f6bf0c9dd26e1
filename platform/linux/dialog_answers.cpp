#include "platform/linux/dialog_answers.h"

#include <algorithm>

namespace kestrune::platform::dialog_answers {
namespace {

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' ||
                           text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// A positive decimal number of at most nine digits, or 0.
std::size_t rowNumber(std::string_view text) {
  if (text.empty() || text.size() > 9) return 0;
  std::size_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + static_cast<std::size_t>(c - '0');
  }
  return n;
}

}  // namespace

std::vector<std::size_t> rowOrder(const CertificateDialogModel& model, int column,
                                  bool descending) {
  std::vector<std::size_t> order(model.rows.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (column < 0 || column > 3) return order;
  const auto c = static_cast<std::size_t>(column);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const int x = model.rows[a].sortRank[c];
    const int y = model.rows[b].sortRank[c];
    return descending ? x > y : x < y;
  });
  return order;
}

bool nextScriptItem(std::string_view script, std::size_t& position, std::string_view& item) {
  if (position > script.size()) return false;
  const std::size_t end = script.find(',', position);
  item = script.substr(position, end == std::string_view::npos ? end : end - position);
  position = end == std::string_view::npos ? script.size() + 1 : end + 1;
  return true;
}

int scriptedChoice(std::string_view item, const std::vector<std::size_t>& order) {
  item = trimmed(item);
  if (item == "cancel") return kDialogCancelled;
  const std::size_t n = rowNumber(item);
  if (n == 0 || n > order.size()) return kDialogNoRow;
  return static_cast<int>(order[n - 1]);
}

TypedAnswer readTypedAnswer(std::string_view line, const std::vector<std::size_t>& order) {
  const std::string_view answer = trimmed(line);
  TypedAnswer typed;
  typed.text = answer;
  if (answer.empty()) {
    typed.kind = TypedAnswer::Kind::markedRow;
  } else if (answer == "c") {
    typed.kind = TypedAnswer::Kind::cancel;
  } else if (answer.size() > 2 && (answer[0] == 'i' || answer[0] == 's') && answer[1] == ' ') {
    const std::size_t n = rowNumber(trimmed(answer.substr(2)));
    if (answer[0] == 'i') {
      typed.kind = TypedAnswer::Kind::information;
      typed.number = n <= order.size() ? n : 0;
    } else {
      typed.kind = TypedAnswer::Kind::sort;
      typed.number = n <= 4 ? n : 0;
    }
  } else if (rowNumber(answer) != 0 || answer == "none") {
    typed.kind = TypedAnswer::Kind::choose;
    typed.choice = scriptedChoice(answer, order);
  }
  return typed;
}

}  // namespace kestrune::platform::dialog_answers
