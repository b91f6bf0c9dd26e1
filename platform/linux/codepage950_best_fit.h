// Windows' best-fit mappings of code page 950, generated from Microsoft's table by
// scripts/gen-bestfit950.py (codepage950_best_fit.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrune::platform {

// A UTF-16 unit that Big5 lacks and the bytes Windows writes for it: one byte when below
// 0x100, else the lead byte in the high half. The bytes are those of another character.
struct BestFit950 {
  char16_t unit;
  std::uint16_t bytes;
};
// Sorted by unit.
extern const BestFit950 kBestFits950[];
extern const std::size_t kBestFits950Count;

}  // namespace kestrune::platform
