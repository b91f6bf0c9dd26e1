// The answers the Linux certificate dialog reads (platform/linux/certificate_dialog.cpp), as
// functions of their text alone: an item of the KESTRUNE_CHOOSE list, and a line typed at the
// terminal's prompt. Both come from outside the process and are read as hostile.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "platform/certificate_dialog.h"

namespace kestrune::platform::dialog_answers {

// rowOrder returns the rows' collection indexes in the order shown: ascending (or descending)
// by their rank in column 0 to 3, rows of equal rank in collection order; collection order
// for any other column.
std::vector<std::size_t> rowOrder(const CertificateDialogModel& model, int column, bool descending);

// nextScriptItem sets item to the answer at position in a comma-separated list and moves
// position past it; false once the list is used up. A list with n commas holds n + 1 answers
// (an empty list one empty answer); start with position 0.
bool nextScriptItem(std::string_view script, std::size_t& position, std::string_view& item);

// scriptedChoice reads one answer, spaces and tabs around it aside: a row number counting from
// 1 in order gives that row's collection index, "cancel" gives kDialogCancelled, anything
// else ("none", a number beyond the rows, other text) kDialogNoRow.
int scriptedChoice(std::string_view item, const std::vector<std::size_t>& order);

// TypedAnswer is what a line typed at the prompt asks for.
struct TypedAnswer {
  enum class Kind {
    choose,       // a row number or "none": choice as scriptedChoice gives it
    markedRow,    // an empty line: the row the dialog marks
    cancel,       // "c"
    information,  // "i N": number is the row number N shown, 0 when there is no such row
    sort,         // "s N": number is the column N (1 to 4), 0 when there is no such column
    notAnAnswer,  // anything else: the prompt is shown again
  };
  Kind kind = Kind::notAnAnswer;
  std::string_view text;  // the line without the blanks around it (a view into the line)
  int choice = kDialogNoRow;
  std::size_t number = 0;
};
TypedAnswer readTypedAnswer(std::string_view line, const std::vector<std::size_t>& order);

}  // namespace kestrune::platform::dialog_answers
