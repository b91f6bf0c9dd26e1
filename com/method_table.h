// The method table of ITVFEDIMiniKeyCrypt: the 59 methods in interface (virtual slot) order,
// each with its DISPID, its in-parameters, its result, what the call does to its user (its
// effects) and the thunk that calls it. GetIDsOfNames and Invoke are served from this table.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "com/variant.h"

namespace kestrune {
class TVFEDIMiniKeyCrypt;
}

namespace kestrune::com {

// What a parameter or a result carries: a text (BSTR), a 32-bit signed number (I4), or
// nothing (a method without a result).
enum class Kind : std::uint8_t { none, text, i4 };

// kindName returns "none", "text" or "I4".
std::string_view kindName(Kind kind);

struct Parameter {
  std::string_view name;
  Kind kind = Kind::none;
};

// The longest parameter list of the interface (FEDIMessageSignWithCSP) has seven entries.
inline constexpr std::size_t kMaxParameters = 7;

struct Parameters {
  std::array<Parameter, kMaxParameters> items{};
  std::size_t count = 0;

  constexpr std::span<const Parameter> view() const { return {items.data(), count}; }
};

struct Result {
  Kind kind = Kind::none;
  std::string_view name;
};

// A Thunk calls one control method with arguments already checked against its row.
using Thunk = void (*)(TVFEDIMiniKeyCrypt& control, std::span<const Variant> args, Variant& result);

// A Binding is a thunk together with the shape of the control method behind it, so that the
// table can check at compile time that each row and its method agree.
struct Binding {
  Thunk thunk = nullptr;
  // Whether thunk is set, kept apart because comparing a function address is not a constant
  // expression in every build (the sanitizers' instrumentation refuses it).
  bool built = false;
  Parameters parameters;
  Kind result = Kind::none;
};

// What a call does to its user, as the user would be told: a page in the local agent is let
// through, or asked about, by these. Each is one bit of Effects.
enum class Effect : std::uint8_t {
  reads,               // reads what the token or the control holds; changes nothing
  readsFile,           // reads a file the caller names
  configures,          // changes how this control reaches the token (library, slot, type, switches)
  logsIn,              // takes a PIN and logs in with it
  logsOut,             // ends a login or a signing session
  changesPin,          // changes the token's PIN
  writesIdentity,      // writes the user's identifiers on the token
  makesKey,            // makes a new key pair on the token, the old one and its certificates gone
  talksToUrl,          // exchanges messages with the certification authority at a caller's URL
  signs,               // signs with the user's key
  changesCertificate,  // asks the authority for a new, renewed or revoked certificate
  storesOnToken,       // stores a certificate on the token
  writesFile,          // writes a file the caller names
};
inline constexpr std::size_t kEffectCount = 13;
static_assert(static_cast<std::size_t>(Effect::writesFile) + 1 == kEffectCount);

// effectName returns the effect's name as written above ("storesOnToken").
std::string_view effectName(Effect effect);

// Effects is a row's set of effects: at least one, and there is deliberately no default, so a
// row that doesn't say what its call does is no row.
class Effects {
 public:
  template <std::same_as<Effect>... More>
  constexpr explicit Effects(Effect first, More... more)
      : bits_(static_cast<std::uint16_t>(bit(first) | (bit(more) | ... | 0u))) {}

  constexpr bool has(Effect effect) const { return (bits_ & bit(effect)) != 0; }
  // hasAnyOf tells whether one of others is in the set.
  constexpr bool hasAnyOf(Effects others) const { return (bits_ & others.bits_) != 0; }
  // only tells whether effect is the whole set.
  constexpr bool only(Effect effect) const { return bits_ == bit(effect); }

  friend constexpr bool operator==(Effects, Effects) = default;

 private:
  static constexpr unsigned bit(Effect effect) { return 1u << static_cast<unsigned>(effect); }
  std::uint16_t bits_;
};

struct Method {
  std::int32_t dispid = 0;
  std::string_view name;
  Parameters parameters;
  Result result;
  Effects effects;  // no default: a row without its effects doesn't compile
  Binding binding;  // every row has one: the table refuses to compile otherwise

  constexpr std::span<const Parameter> params() const { return parameters.view(); }
};

inline constexpr std::size_t kMethodCount = 59;
// GetIDsOfNames' answer for a name the interface does not have (DISPID_UNKNOWN).
inline constexpr std::int32_t kDispidUnknown = -1;

// methods returns the whole interface in virtual slot order (slot n is methods()[n - 1]).
std::span<const Method> methods();

// findMethod returns the row whose name matches, ignoring ASCII case as GetIDsOfNames does,
// or nullptr.
const Method* findMethod(std::string_view name);
// findMethodByDispid returns the row with that DISPID, or nullptr.
const Method* findMethodByDispid(std::int32_t dispid);
// parameterIndex returns the position of the method's parameter of that name, or nullopt.
std::optional<std::size_t> parameterIndex(const Method& method, std::string_view name);
// dispidOf returns the DISPID of the named method (case-insensitive), or kDispidUnknown.
std::int32_t dispidOf(std::string_view name);

}  // namespace kestrune::com
