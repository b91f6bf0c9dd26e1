// The certificate chooser's answers (platform/linux/dialog_answers.cpp) on arbitrary bytes:
// the KESTRUNE_CHOOSE list and lines typed at the terminal come from outside the process.
// Input: one byte for the number of rows (0 to 15), one for the sort column and direction, one
// mixed into the rows' ranks; the rest is the answer text, read as the list and line by line
// as typed. Every answer picks a row that exists, or none, or cancels; the list's answers put
// back together with commas are the list.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_require.h"
#include "platform/linux/dialog_answers.h"

namespace {

constexpr const char* kTarget = "platform_certificate_chooser_fuzzer";

using kestrune::fuzz::require;
namespace platform = kestrune::platform;
namespace answers = kestrune::platform::dialog_answers;

bool validChoice(int choice, std::size_t rows) {
  return choice == platform::kDialogNoRow || choice == platform::kDialogCancelled ||
         (choice >= 0 && static_cast<std::size_t>(choice) < rows);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  platform::CertificateDialogModel model;
  model.rows.resize(data[0] % 16);
  const int column = data[1] % 5 - 1;  // -1: not sorted
  const bool descending = (data[1] & 0x80) != 0;
  for (std::size_t row = 0; row < model.rows.size(); ++row) {
    for (std::size_t c = 0; c < 4; ++c)
      model.rows[row].sortRank[c] = static_cast<int>((row * (c + 3) + data[2]) % 7);
  }
  const std::string_view text(reinterpret_cast<const char*>(data + 3), size - 3);

  const std::vector<std::size_t> order = answers::rowOrder(model, column, descending);
  require(kTarget, order.size() == model.rows.size(), "the order shown drops or adds rows");
  std::vector<bool> seen(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    require(kTarget, order[k] < order.size() && !seen[order[k]], "the order is no permutation");
    seen[order[k]] = true;
    if (k > 0 && column >= 0) {
      const int before = model.rows[order[k - 1]].sortRank[static_cast<std::size_t>(column)];
      const int here = model.rows[order[k]].sortRank[static_cast<std::size_t>(column)];
      require(kTarget, descending ? before >= here : before <= here, "the order is not sorted");
    }
  }

  std::size_t position = 0;
  std::string_view item;
  std::string joined;
  std::size_t items = 0;
  while (answers::nextScriptItem(text, position, item)) {
    require(kTarget, item.find(',') == std::string_view::npos, "an answer holds a comma");
    require(kTarget, ++items <= text.size() + 1, "the list never ends");
    if (items > 1) joined.push_back(',');
    joined.append(item);
    const int choice = answers::scriptedChoice(item, order);
    require(kTarget, validChoice(choice, model.rows.size()), "an answer picks a row not shown");
  }
  require(kTarget, joined == text, "the answers put back together are not the list");

  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = text.find('\n', start);
    const std::string_view line =
        text.substr(start, end == std::string_view::npos ? end : end - start + 1);
    start = end == std::string_view::npos ? text.size() + 1 : end + 1;
    const answers::TypedAnswer typed = answers::readTypedAnswer(line, order);
    using Kind = answers::TypedAnswer::Kind;
    if (typed.kind == Kind::choose)
      require(kTarget, validChoice(typed.choice, model.rows.size()), "a typed row is not shown");
    if (typed.kind == Kind::information)
      require(kTarget, typed.number <= order.size(), "a typed row to view is not shown");
    if (typed.kind == Kind::sort) require(kTarget, typed.number <= 4, "no such column to sort");
  }
  return 0;
}
