// Windows' best-fit mappings of code page 950 and the round trips of its private use area,
// generated from Microsoft's table by scripts/gen-bestfit950.py (codepage950_best_fit.cpp).
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

// Round trips of the private use area (the user-defined characters, and 0xFF as U+F8F8), which
// iconv's CP950 mostly lacks: `count` consecutive units from firstUnit are the consecutive
// byte values from firstBytes (encoded as in BestFit950). Sorted by unit.
struct PrivateUseRun950 {
  char16_t firstUnit;
  std::uint16_t firstBytes;
  std::uint16_t count;
};
extern const PrivateUseRun950 kPrivateUse950[];
extern const std::size_t kPrivateUse950Count;

}  // namespace kestrune::platform
