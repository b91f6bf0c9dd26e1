// Code page conversions: Big5 (950), the ANSI code page (950 on both sides) and UTF-8, over
// characters each side may or may not have, with the default-character arguments and with best
// fits refused.
#include <algorithm>
#include <iterator>

#include "tests/cryptoapi_compare/probe.h"

namespace probe {
namespace {

struct WideCase {
  const char* label;
  std::u32string text;
};
const WideCase kWideCases[] = {
    {"ascii", U"Plain ASCII"},
    {"e-acute", U"\u00e9"},
    {"u-umlaut", U"\u00fc"},
    {"sharp-s", U"\u00df"},
    {"euro", U"\u20ac"},
    {"cjk", U"\u4e2d\u6587\u53f0\u5317"},
    {"mixed", U"Caf\u00e9 \u4e2d 100\u20ac"},
    {"nbsp", U"\u00a0"},
    {"ideographic-space", U"\u3000"},
    {"greek", U"\u03a9\u03b1"},
    {"cyrillic", U"\u0416"},
    {"em-dash", U"\u2014"},
    {"ellipsis", U"\u2026"},
    {"trade-mark", U"\u2122"},
    {"copyright", U"\u00a9"},
    {"halfwidth-katakana", U"\uff71"},
    {"hangul", U"\ud55c"},
    {"fullwidth-a", U"\uff21"},
    {"non-bmp", U"\U0001d11e"},
    {"private-use", U"\ue000"},
    {"a-grave-combining", U"a\u0300"},
};

// The characters also converted with WC_NO_BEST_FIT_CHARS: ones Big5 lacks that have a best fit
// (é ü ß ©), ones it has (€, CJK) and one with no best fit (Hangul).
constexpr std::string_view kBestFitLabels[] = {"e-acute", "u-umlaut", "sharp-s", "copyright",
                                               "euro",    "cjk",      "hangul"};

struct ByteCase {
  const char* label;
  std::string bytes;
};
const ByteCase kBig5Cases[] = {
    {"ascii", "Plain"},
    {"cjk", "\xa4\xa4\xa4\xe5"},
    {"euro", "\xa3\xe1"},
    {"ideographic-space", "\xa1\x40"},
    {"lone-0x80", "\x80"},
    {"lone-0xff", "\xff"},
    {"lead-at-end", "A\xa4"},
    {"lead-then-space", "\xa4 "},
    {"lead-then-0x7f", "\xa4\x7f"},
    {"user-defined-area", "\xfa\x40"},
};
const ByteCase kUtf8Cases[] = {
    {"ascii", "Plain"},
    {"e-acute", "\xc3\xa9"},
    {"cjk", "\xe4\xb8\xad"},
    {"non-bmp", "\xf0\x9d\x84\x9e"},
    {"truncated", "\xc3"},
    {"overlong", "\xc0\xaf"},
    {"surrogate", "\xed\xa0\x80"},
    {"beyond-unicode", "\xf4\x90\x80\x80"},
    {"bom",
     "\xef\xbb\xbf"
     "A"},
    {"stray-continuation",
     "A\x80"
     "B"},
};

struct CodePage {
  const char* label;
  UINT value;
};
constexpr CodePage kCodePages[] = {{"950", 950}, {"utf8", CP_UTF8}, {"acp", CP_ACP}};

bool isBmp(std::u32string_view text) {
  for (char32_t c : text)
    if (c >= 0x10000) return false;
  return true;
}

std::string narrowResult(int written, const std::string& buffer) {
  if (written == 0) return "0 err=" + lastError();
  return std::to_string(written) + " " +
         escaped(std::string_view(buffer.data(), static_cast<std::size_t>(written)));
}

void probeToMultiByte(const CodePage& page, const WideCase& c) {
  const std::string key = "wc2mb/" + std::string(page.label) + "/" + c.label;
  const std::wstring text = wide(c.text);
  const int length = static_cast<int>(text.size());
  std::string buffer(64, '\0');
  const int size = static_cast<int>(buffer.size());

  SetLastError(0);
  int written = WideCharToMultiByte(page.value, 0, text.c_str(), length, buffer.data(), size,
                                    nullptr, nullptr);
  emit(key + "/plain", narrowResult(written, buffer));

  SetLastError(0);
  emit(key + "/size", std::to_string(WideCharToMultiByte(page.value, 0, text.c_str(), length,
                                                         nullptr, 0, nullptr, nullptr)));

  SetLastError(0);
  written =
      WideCharToMultiByte(page.value, 0, text.c_str(), -1, buffer.data(), size, nullptr, nullptr);
  emit(key + "/terminated", narrowResult(written, buffer));

  // The bytes and the used-default flag on lines of their own: they are separate promises.
  BOOL used = 7;
  SetLastError(0);
  written =
      WideCharToMultiByte(page.value, 0, text.c_str(), length, buffer.data(), size, nullptr, &used);
  emit(key + "/with-used-flag", narrowResult(written, buffer));
  emit(key + "/with-used-flag/used", std::to_string(used));

  used = 7;
  SetLastError(0);
  written =
      WideCharToMultiByte(page.value, 0, text.c_str(), length, buffer.data(), size, "#", &used);
  emit(key + "/default-hash", narrowResult(written, buffer));
  emit(key + "/default-hash/used", std::to_string(used));

  SetLastError(0);
  written =
      WideCharToMultiByte(page.value, 0, text.c_str(), length, buffer.data(), size, "#", nullptr);
  emit(key + "/default-hash-no-flag", narrowResult(written, buffer));

  SetLastError(0);
  written =
      WideCharToMultiByte(page.value, 0, text.c_str(), length, buffer.data(), 1, nullptr, nullptr);
  emit(key + "/one-byte-buffer", narrowResult(written, buffer));

  if (std::find(std::begin(kBestFitLabels), std::end(kBestFitLabels), c.label) ==
      std::end(kBestFitLabels))
    return;
  SetLastError(0);
  written = WideCharToMultiByte(page.value, WC_NO_BEST_FIT_CHARS, text.c_str(), length,
                                buffer.data(), size, nullptr, nullptr);
  emit(key + "/no-best-fit", narrowResult(written, buffer));
  used = 7;
  SetLastError(0);
  written = WideCharToMultiByte(page.value, WC_NO_BEST_FIT_CHARS, text.c_str(), length,
                                buffer.data(), size, "#", &used);
  emit(key + "/no-best-fit-default-hash", narrowResult(written, buffer));
  emit(key + "/no-best-fit-default-hash/used", std::to_string(used));
}

void probeToWide(const CodePage& page, const ByteCase& c) {
  const std::string key = "mb2wc/" + std::string(page.label) + "/" + c.label;
  const int length = static_cast<int>(c.bytes.size());
  std::wstring buffer(64, L'\0');
  SetLastError(0);
  int written = MultiByteToWideChar(page.value, 0, c.bytes.data(), length, buffer.data(),
                                    static_cast<int>(buffer.size()));
  emit(key + "/plain",
       written == 0 ? "0 err=" + lastError()
                    : codePointList(codePoints(buffer.data(), static_cast<std::size_t>(written))));
  SetLastError(0);
  written = MultiByteToWideChar(page.value, 0, c.bytes.data(), -1, buffer.data(),
                                static_cast<int>(buffer.size()));
  emit(key + "/terminated",
       written == 0 ? "0 err=" + lastError()
                    : codePointList(codePoints(buffer.data(), static_cast<std::size_t>(written))));
}

}  // namespace

void probeCodePages() {
  for (const auto& page : kCodePages)
    for (const auto& c : kWideCases) {
      // The widths of a non-BMP character differ (two UTF-16 units, one UTF-32 unit), so only
      // its bytes are compared, not the unit counts.
      if (!isBmp(c.text)) {
        std::string buffer(16, '\0');
        const std::wstring text = wide(c.text);
        int written =
            WideCharToMultiByte(page.value, 0, text.c_str(), static_cast<int>(text.size()),
                                buffer.data(), static_cast<int>(buffer.size()), nullptr, nullptr);
        emit("wc2mb/" + std::string(page.label) + "/" + c.label + "/plain",
             narrowResult(written, buffer));
        continue;
      }
      probeToMultiByte(page, c);
    }
  for (const auto& c : kBig5Cases) probeToWide(kCodePages[0], c);
  for (const auto& c : kBig5Cases) probeToWide(kCodePages[2], c);
  for (const auto& c : kUtf8Cases) probeToWide(kCodePages[1], c);

  // The short buffer and the UTF-8 rules for the default-character arguments.
  std::wstring buffer(2, L'\0');
  SetLastError(0);
  int written = MultiByteToWideChar(950, 0, "abcd", 4, buffer.data(), 2);
  emit("mb2wc/950/short-buffer", std::to_string(written) + " err=" + lastError());
  SetLastError(0);
  written = MultiByteToWideChar(950, 0, "abcd", 4, nullptr, 0);
  emit("mb2wc/950/size", std::to_string(written));
  SetLastError(0);
  written = MultiByteToWideChar(950, 0, "", 0, buffer.data(), 2);
  emit("mb2wc/950/empty", std::to_string(written) + " err=" + lastError());
  SetLastError(0);
  written = WideCharToMultiByte(950, 0, L"", 0, nullptr, 0, nullptr, nullptr);
  emit("wc2mb/950/empty", std::to_string(written) + " err=" + lastError());
}

}  // namespace probe
