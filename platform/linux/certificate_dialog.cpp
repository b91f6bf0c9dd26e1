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
#include "platform/platform.h"

namespace kestrune::platform {
namespace {

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' ||
                           text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// A positive decimal number, or 0.
std::size_t rowNumber(std::string_view text) {
  if (text.empty() || text.size() > 9) return 0;
  std::size_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + static_cast<std::size_t>(c - '0');
  }
  return n;
}

std::vector<std::size_t> orderOf(const CertificateDialogModel& model, int column, bool descending) {
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

CertificateDialogAnswer answerOf(const CertificateDialogModel& model, int choice, int column,
                                 bool descending) {
  CertificateDialogAnswer answer;
  answer.choice = choice;
  answer.columnWidths = model.memory.columnWidths;
  answer.sortColumn = column;
  answer.sortDescending = descending;
  return answer;
}

// The answer "N" (counting from 1 in the order shown), "cancel" or "none".
int scriptedChoice(std::string_view item, const std::vector<std::size_t>& order) {
  item = trimmed(item);
  if (item == "cancel") return kDialogCancelled;
  const std::size_t n = rowNumber(item);
  if (n == 0 || n > order.size()) return kDialogNoRow;
  return static_cast<int>(order[n - 1]);
}

CertificateDialogAnswer scripted(const CertificateDialogModel& model, const std::string& script) {
  static std::string current;
  static std::size_t position = 0;
  if (script != current) {
    current = script;
    position = 0;
  }
  if (position > current.size()) return answerOf(model, kDialogUnavailable, -1, false);
  const std::size_t end = current.find(',', position);
  const std::string_view item =
      std::string_view(current).substr(position, end == std::string::npos ? end : end - position);
  position = end == std::string::npos ? current.size() + 1 : end + 1;
  const auto order = orderOf(model, model.memory.sortColumn, model.memory.sortDescending);
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
    const auto order = orderOf(model, column, descending);
    showRows(tty, model, order, remembered);
    tty.write(
        "Row number, empty for the marked row, i N to view row N, s N to sort by column "
        "N (1-4), c to cancel: ");
    std::string line;
    if (!tty.readLine(line)) return answerOf(model, kDialogCancelled, column, descending);
    const std::string_view answer = trimmed(line);
    if (answer.empty()) {
      const int choice =
          remembered < model.rows.size() ? static_cast<int>(remembered) : kDialogNoRow;
      return answerOf(model, choice, column, descending);
    }
    if (answer == "c") return answerOf(model, kDialogCancelled, column, descending);
    if (answer.size() > 2 && (answer[0] == 'i' || answer[0] == 's') && answer[1] == ' ') {
      const std::size_t n = rowNumber(trimmed(answer.substr(2)));
      if (answer[0] == 'i' && n >= 1 && n <= order.size())
        showInformation(tty, model, order[n - 1]);
      if (answer[0] == 's' && n >= 1 && n <= 4) {
        const int clicked = static_cast<int>(n - 1);
        descending = clicked == column ? !descending : false;
        column = clicked;
      }
      continue;
    }
    if (rowNumber(answer) == 0 && answer != "none") {
      tty.write("Not an answer: " + terminalText(answer) + "\n");
      continue;
    }
    return answerOf(model, scriptedChoice(answer, order), column, descending);
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
