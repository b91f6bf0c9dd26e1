// The certificate-selection dialog on Linux: a numbered list on the terminal (/dev/tty, never
// standard input), or, when KESTRUNE_CHOOSE is set, its scripted answers. KESTRUNE_CHOOSE wins
// over the terminal so tests and scripts never wait for a user: a comma-separated list of
// answers used one per dialog in the process (a row number counting from 1 in the order
// shown, "cancel", or "none" for OK without a row). A new value of the variable starts its
// list from the beginning; an exhausted list, like no terminal, means the dialog can't be
// shown.
#include "platform/certificate_dialog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "platform/linux/dialog_answers.h"
#include "platform/platform.h"

namespace kestrune::platform {
namespace {

using dialog_answers::nextScriptItem;
using dialog_answers::readTypedAnswer;
using dialog_answers::rowOrder;
using dialog_answers::scriptedChoice;
using dialog_answers::TypedAnswer;

CertificateDialogAnswer answerOf(const CertificateDialogModel& model, int choice, int column,
                                 bool descending) {
  CertificateDialogAnswer answer;
  answer.choice = choice;
  answer.columnWidths = model.memory.columnWidths;
  answer.sortColumn = column;
  answer.sortDescending = descending;
  return answer;
}

CertificateDialogAnswer scripted(const CertificateDialogModel& model, const std::string& script) {
  static std::string current;
  static std::size_t position = 0;
  if (script != current) {
    current = script;
    position = 0;
  }
  std::string_view item;
  if (!nextScriptItem(current, position, item))
    return answerOf(model, kDialogUnavailable, -1, false);
  const auto order = rowOrder(model, model.memory.sortColumn, model.memory.sortDescending);
  return answerOf(model, scriptedChoice(item, order), model.memory.sortColumn,
                  model.memory.sortDescending);
}

// Big5 text for a UTF-8 terminal; bytes that are not Big5 become '?'.
std::string terminalText(std::string_view big5) {
  std::u16string wide;
  if (!fromCodePage950(big5, wide)) {
    std::string plain(big5);
    for (char& c : plain) {
      if (static_cast<unsigned char>(c) >= 0x80 || (c != '\n' && c < 0x20)) c = '?';
    }
    return plain;
  }
  std::string out;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = U'?';
    }
    if (c < 0x20 && c != U'\n') c = U'?';
    kestrune::appendUtf8(c, out);
  }
  return out;
}

class Terminal {
 public:
  Terminal() : file_(std::fopen("/dev/tty", "r+")) {}
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  ~Terminal() {
    if (file_ != nullptr) std::fclose(file_);
  }
  bool open() const { return file_ != nullptr; }
  void write(const std::string& text) {
    std::fputs(text.c_str(), file_);
    std::fflush(file_);
  }
  // false at the end of input (the user closed the dialog).
  bool readLine(std::string& line) {
    line.clear();
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, file_) != nullptr) {
      line += buffer;
      if (!line.empty() && line.back() == '\n') return true;
      if (line.size() > 4096) return true;
    }
    return !line.empty();
  }

 private:
  std::FILE* file_;
};

void showRows(Terminal& tty, const CertificateDialogModel& model,
              const std::vector<std::size_t>& order, std::size_t selected) {
  const auto& titles = model.texts.columnTitles;
  tty.write("    " + terminalText(titles[0]) + " | " + terminalText(titles[1]) + " | " +
            terminalText(titles[2]) + " | " + terminalText(titles[3]) + "\n");
  for (std::size_t k = 0; k < order.size(); ++k) {
    const auto& columns = model.rows[order[k]].columns;
    tty.write((order[k] == selected ? "* " : "  ") + std::to_string(k + 1) + ". " +
              terminalText(columns[0]) + " | " + columns[1] + " | " + columns[2] + " | " +
              terminalText(columns[3]) + "\n");
  }
}

void showInformation(Terminal& tty, const CertificateDialogModel& model, std::size_t row) {
  for (std::size_t i = 0; i < 6; ++i) {
    tty.write("    " + terminalText(model.texts.informationLabels[i]) + ": " +
              terminalText(model.rows[row].information[i]) + "\n");
  }
}

CertificateDialogAnswer interactive(Terminal& tty, const CertificateDialogModel& model) {
  int column = model.memory.sortColumn;
  bool descending = model.memory.sortDescending;
  const std::size_t remembered = static_cast<std::size_t>(std::max(model.memory.lastRow, 0));
  tty.write("\n" + terminalText(model.texts.caption) + "\n");
  if (model.hasMessage) {
    tty.write(terminalText(model.texts.messageCaption) + ": " + terminalText(model.message) + "\n");
  }
  tty.write(terminalText(model.texts.listCaption) + ":\n");
  while (true) {
    const auto order = rowOrder(model, column, descending);
    showRows(tty, model, order, remembered);
    tty.write(
        "Row number, empty for the marked row, i N to view row N, s N to sort by column "
        "N (1-4), c to cancel: ");
    std::string line;
    if (!tty.readLine(line)) return answerOf(model, kDialogCancelled, column, descending);
    const TypedAnswer answer = readTypedAnswer(line, order);
    switch (answer.kind) {
      case TypedAnswer::Kind::markedRow:
        return answerOf(
            model, remembered < model.rows.size() ? static_cast<int>(remembered) : kDialogNoRow,
            column, descending);
      case TypedAnswer::Kind::cancel:
        return answerOf(model, kDialogCancelled, column, descending);
      case TypedAnswer::Kind::information:
        if (answer.number != 0) showInformation(tty, model, order[answer.number - 1]);
        continue;
      case TypedAnswer::Kind::sort:
        if (answer.number != 0) {
          const int clicked = static_cast<int>(answer.number - 1);
          descending = clicked == column ? !descending : false;
          column = clicked;
        }
        continue;
      case TypedAnswer::Kind::notAnAnswer:
        tty.write("Not an answer: " + terminalText(answer.text) + "\n");
        continue;
      case TypedAnswer::Kind::choose:
        break;
    }
    return answerOf(model, answer.choice, column, descending);
  }
}

}  // namespace

CertificateDialogAnswer showCertificateDialog(const CertificateDialogModel& model) {
  const std::string script = environmentVariable("KESTRUNE_CHOOSE");
  if (!script.empty()) return scripted(model, script);
  Terminal tty;
  if (!tty.open()) return answerOf(model, kDialogUnavailable, -1, false);
  return interactive(tty, model);
}

}  // namespace kestrune::platform
