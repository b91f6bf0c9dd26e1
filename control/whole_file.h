// Whole-file reads and writes for the certificate and request files that callers name.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kestrune::control {

// readWholeFile returns 0 and the file's bytes; 10 when it can't be opened, 12 when its size
// or contents can't be read, 2 when memory runs out.
std::int32_t readWholeFile(const char* path, std::vector<std::uint8_t>& contents);
// writeWholeFile creates or truncates the file and writes every byte: 0; 10 when it can't be
// created, 11 when the write fails or is short, 2 when memory runs out.
std::int32_t writeWholeFile(const char* path, std::span<const std::uint8_t> bytes);

}  // namespace kestrune::control
