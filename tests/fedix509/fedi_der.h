// Helpers of the FEDI record tests: DER building blocks written byte by byte, independent of
// the coders under test.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::fedi::test {

using Bytes = std::vector<std::uint8_t>;

// tlv returns tag, DER length and content.
Bytes tlv(std::uint8_t tag, const Bytes& content);
Bytes concat(std::initializer_list<Bytes> parts);
Bytes text(std::string_view value);
Bytes seq(std::initializer_list<Bytes> fields);
Bytes integer(long value);
Bytes utcTime(std::string_view value);
Bytes hex(std::string_view digits);
std::string toHex(const Bytes& bytes);

}  // namespace kestrune::fedi::test
