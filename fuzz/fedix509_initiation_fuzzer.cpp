// The initiation answer's line reader on arbitrary text, as the network delivers it. Each
// field must hold the value of its key's last line, found here by a separate reading of the
// lines; the same text with every line ended by CRLF reads alike; and reading the text again
// into the filled connection replaces the values without losing or leaking one.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "FEDIX509/fedi_ca_client.h"
#include "FEDIX509/fedi_net_internal.h"
#include "fuzz/fuzz_require.h"

namespace {

constexpr const char* kTarget = "fedix509_initiation_fuzzer";

using kestrune::fuzz::require;

struct Expected {
  std::optional<std::string> setUrl;
  std::optional<std::string> casid;
};

// expectedValues reads the lines by position: a line ends at LF or at the end of the text,
// loses one CR at its end, and names a key when it starts with the key and its ": ".
Expected expectedValues(std::string_view text) {
  Expected expected;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t stop = start;
    while (stop < text.size() && text[stop] != '\n') ++stop;
    std::size_t last = stop;
    if (last > start && text[last - 1] == '\r') --last;
    const std::string line(text.substr(start, last - start));
    if (line.rfind("FEDI-SET-URL: ", 0) == 0) expected.setUrl = line.substr(14);
    if (line.rfind("FEDI-CASID: ", 0) == 0) expected.casid = line.substr(12);
    start = stop + 1;
  }
  return expected;
}

// The fields are C strings: a value is seen up to its first zero byte.
void requireField(const char* field, const std::optional<std::string>& expected, const char* what) {
  require(kTarget, (field != nullptr) == expected.has_value(), what);
  if (field == nullptr) return;
  const std::string& value = *expected;
  require(kTarget, std::strcmp(field, value.substr(0, value.find('\0')).c_str()) == 0, what);
}

void requireRead(std::string_view text, CaConnection& connection, const Expected& expected,
                 const char* what) {
  require(kTarget, kestrune::fedi::detail::readInitiationLines(text, connection) == NET_OK, what);
  requireField(connection.setUrl, expected.setUrl, what);
  requireField(connection.casid, expected.casid, what);
}

// withCrlf ends every line that ends with LF with CR LF, adding a CR where it has none.
std::string withCrlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Expected expected = expectedValues(text);

  CaConnection connection{};
  requireRead(text, connection, expected, "the values differ from the key's last line");
  requireRead(text, connection, expected, "a second reading changed the values");
  ca_FreeConnection(&connection);

  // Adding a CR to every line that ends without one before its LF changes no value.
  CaConnection crlf{};
  requireRead(withCrlf(text), crlf, expected, "CRLF lines read differently");
  ca_FreeConnection(&crlf);
  return 0;
}
