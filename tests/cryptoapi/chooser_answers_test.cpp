// The certificate chooser's answers read as text: the KESTRUNE_CHOOSE list, one answer per
// dialog, and a line typed at the terminal's prompt (no terminal needed).
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/dialog_answers.h"

namespace kestrune::test {
namespace {

namespace answers = platform::dialog_answers;
using Kind = answers::TypedAnswer::Kind;

// Three rows shown sorted by the first column, descending: rows 2, 0, 1.
platform::CertificateDialogModel threeRows() {
  platform::CertificateDialogModel model;
  model.rows.resize(3);
  model.rows[0].sortRank = {2, 0, 0, 0};
  model.rows[1].sortRank = {1, 0, 0, 0};
  model.rows[2].sortRank = {3, 0, 0, 0};
  return model;
}

TEST(ChooserAnswers, RowsAreShownInTheOrderAsked) {
  const auto model = threeRows();
  EXPECT_EQ(answers::rowOrder(model, 0, true), (std::vector<std::size_t>{2, 0, 1}));
  EXPECT_EQ(answers::rowOrder(model, 0, false), (std::vector<std::size_t>{1, 0, 2}));
  // Equal ranks keep collection order; no column keeps it too.
  EXPECT_EQ(answers::rowOrder(model, 1, true), (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(answers::rowOrder(model, -1, false), (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(answers::rowOrder(model, 9, false), (std::vector<std::size_t>{0, 1, 2}));
}

TEST(ChooserAnswers, TheListGivesOneAnswerPerDialogThenNone) {
  const std::vector<std::size_t> order = {2, 0, 1};
  const std::string_view script = " 1 ,cancel,none,,4,0,01,x1,123456789012,\t3\t";
  const std::vector<int> want = {2,
                                 platform::kDialogCancelled,
                                 platform::kDialogNoRow,
                                 platform::kDialogNoRow,
                                 platform::kDialogNoRow,
                                 platform::kDialogNoRow,
                                 2,
                                 platform::kDialogNoRow,
                                 platform::kDialogNoRow,
                                 1};
  std::vector<int> got;
  std::size_t position = 0;
  std::string_view item;
  while (answers::nextScriptItem(script, position, item))
    got.push_back(answers::scriptedChoice(item, order));
  EXPECT_EQ(got, want);
  EXPECT_FALSE(answers::nextScriptItem(script, position, item));  // stays used up
}

TEST(ChooserAnswers, TypedLines) {
  const std::vector<std::size_t> order = {2, 0, 1};
  struct Case {
    const char* line;
    Kind kind;
    int choice;
    std::size_t number;
  } const cases[] = {
      {"\n", Kind::markedRow, platform::kDialogNoRow, 0},
      {" \t\r\n", Kind::markedRow, platform::kDialogNoRow, 0},
      {"c\n", Kind::cancel, platform::kDialogNoRow, 0},
      {"cancel\n", Kind::notAnAnswer, platform::kDialogNoRow, 0},
      {"1\n", Kind::choose, 2, 0},
      {" 3 \n", Kind::choose, 1, 0},
      {"none\n", Kind::choose, platform::kDialogNoRow, 0},
      {"0\n", Kind::notAnAnswer, platform::kDialogNoRow, 0},
      {"-1\n", Kind::notAnAnswer, platform::kDialogNoRow, 0},
      {"i 2\n", Kind::information, platform::kDialogNoRow, 2},
      {"i 4\n", Kind::information, platform::kDialogNoRow, 0},
      {"i x\n", Kind::information, platform::kDialogNoRow, 0},
      {"s 4\n", Kind::sort, platform::kDialogNoRow, 4},
      {"s 5\n", Kind::sort, platform::kDialogNoRow, 0},
      {"i2\n", Kind::notAnAnswer, platform::kDialogNoRow, 0},
      {"\x1b[2J\n", Kind::notAnAnswer, platform::kDialogNoRow, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const answers::TypedAnswer typed = answers::readTypedAnswer(c.line, order);
    EXPECT_EQ(typed.kind, c.kind);
    EXPECT_EQ(typed.choice, c.choice);
    EXPECT_EQ(typed.number, c.number);
  }
}

}  // namespace
}  // namespace kestrune::test
