// WinInet's error numbers for a request that fails, which the authority's methods pass on to
// the host unchanged (12000 to 12171), and a short English text for each.
#pragma once

#include <cstdint>
#include <string_view>

namespace kestrune::platform {

inline constexpr std::uint32_t kFirstNetworkError = 12000;
inline constexpr std::uint32_t kLastNetworkError = 12171;

inline constexpr std::uint32_t kErrorTimeout = 12002;
inline constexpr std::uint32_t kErrorInternal = 12004;
inline constexpr std::uint32_t kErrorInvalidUrl = 12005;
inline constexpr std::uint32_t kErrorUnrecognizedScheme = 12006;
inline constexpr std::uint32_t kErrorNameNotResolved = 12007;
inline constexpr std::uint32_t kErrorCannotConnect = 12029;
inline constexpr std::uint32_t kErrorConnectionAborted = 12030;
inline constexpr std::uint32_t kErrorConnectionReset = 12031;
inline constexpr std::uint32_t kErrorInvalidCa = 12045;
inline constexpr std::uint32_t kErrorInvalidServerResponse = 12152;
inline constexpr std::uint32_t kErrorSecureFailure = 12157;

// The text of a network error number; empty outside 12000 to 12171, a general text for a
// number of the range that this layer never gives.
std::string_view networkErrorText(std::uint32_t code);

}  // namespace kestrune::platform
