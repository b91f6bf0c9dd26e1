// Whole files for tests: written and read back as bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::testing {

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> readFile(const std::string& path);

}  // namespace kestrune::testing
