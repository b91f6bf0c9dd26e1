// The selection dialog's model: the language and its texts, one row per candidate with the
// four column texts, sort order, the information dialog's six rows, and the memory kept
// between dialogs of the process.
#pragma once

#include <cstdint>
#include <string>

#include "platform/certificate_dialog.h"
#include "platform/cryptoapi.h"

enum class DisplayLanguage { traditionalChinese, english };

// languageOfLangId: Chinese (primary 0x04) other than simplified (sublanguage 0x02) gives
// Traditional Chinese, every other language English.
DisplayLanguage languageOfLangId(LANGID id);
// tvxCAPIDisplayLanguage chooses the language once per process, from the system default.
DisplayLanguage tvxCAPIDisplayLanguage();
kestrune::platform::CertificateDialogTexts dialogTexts(DisplayLanguage language);

// Text of a name attribute for the list: wide values in the ANSI code page, universal
// strings as hexadecimal cut to 8 characters, others byte for byte (at most 255).
std::string attributeText(const CERT_RDN_ATTR& attr);
// "%04d/%02d/%02d" of a certificate time in local time; with seconds also the time of day.
std::string localDateText(const FILETIME& time, bool withTimeOfDay);

// rowsOf builds the rows of the certificates (columns, sort ranks, information rows); false
// when memory runs out.
bool rowsOf(const PCCERT_CONTEXT* certs, DWORD count,
            std::vector<kestrune::platform::CertificateDialogRow>& rows);

// The display order for the sort state: collection indices, stable.
std::vector<std::size_t> displayOrder(
    const std::vector<kestrune::platform::CertificateDialogRow>& rows, int sortColumn,
    bool descending);

// The process-wide memory of the dialog, and how an answer updates it: the sort state always,
// at OK the widths (each only between 0 and 400) and a valid row.
kestrune::platform::CertificateDialogMemory& tvxCAPIDialogMemory();
void rememberAnswer(kestrune::platform::CertificateDialogMemory& memory,
                    const kestrune::platform::CertificateDialogAnswer& answer, std::size_t rows);
