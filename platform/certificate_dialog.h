// The certificate-selection dialog as a platform shows it: everything it draws comes in as
// data (texts in the ANSI code page, 950), and the user's answer comes back. The Windows build
// draws its Win32 dialog templates from this; Linux asks on the terminal, or follows the
// answers in KESTRUNE_CHOOSE when that is set (platform/linux/certificate_dialog.cpp).
#pragma once

#include <array>
#include <string>
#include <vector>

namespace kestrune::platform {

struct CertificateDialogTexts {
  bool chinese = false;
  int selectionTemplate = 0;  // dialog template ids of the language
  int informationTemplate = 0;
  std::string caption;         // caption of the selection dialog
  std::string messageCaption;  // background caption over the message
  std::string listCaption;     // background caption over the list
  std::array<std::string, 4> columnTitles;
  std::array<std::string, 2> informationColumns;
  std::array<std::string, 6> informationLabels;
};

struct CertificateDialogRow {
  std::array<std::string, 4> columns;  // holder, NotBefore, NotAfter, issuer
  // The holder as wide text when its value is a BMP or UTF-8 string: Windows NT lists show it
  // so, without the ANSI conversion.
  std::wstring holderWide;
  // The row's place when sorted ascending by each column (equal values share a place).
  std::array<int, 4> sortRank{};
  std::array<std::string, 6> information;  // values of the information dialog's rows
};

// What the dialog remembers between dialogs of a process.
struct CertificateDialogMemory {
  int lastRow = 0;                                    // collection index chosen at the last OK
  std::array<int, 4> columnWidths{125, 70, 70, 127};  // pixels
  int sortColumn = -1;                                // -1: not sorted
  bool sortDescending = false;
};

struct CertificateDialogModel {
  CertificateDialogTexts texts;
  bool hasMessage = false;
  std::string message;                     // shown above the list
  std::vector<CertificateDialogRow> rows;  // in collection order
  CertificateDialogMemory memory;          // as left by the last dialog
};

inline constexpr int kDialogNoRow = -1;        // OK without a valid row
inline constexpr int kDialogCancelled = -2;    // Cancel, Esc, the close box
inline constexpr int kDialogUnavailable = -3;  // the dialog can't be shown

struct CertificateDialogAnswer {
  int choice = kDialogUnavailable;    // a row's collection index or one of the values above
  std::array<int, 4> columnWidths{};  // as the user left them (read at OK)
  int sortColumn = -1;                // as the user left it
  bool sortDescending = false;
};

// showCertificateDialog shows the selection dialog modally and gives the user's answer.
CertificateDialogAnswer showCertificateDialog(const CertificateDialogModel& model);

}  // namespace kestrune::platform
