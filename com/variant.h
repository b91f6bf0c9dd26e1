// Variant: the few VARIANT kinds that cross ITVFEDIMiniKeyCrypt's dispatch interface.
//
// Arguments are texts (BSTR) and 32-bit signed numbers (I4); a result is one of those, a null
// text (a method that failed gives the null BSTR), or nothing at all (empty) for the methods
// without a result and for close, which leaves its result unwritten.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace kestrune::com {

class Variant {
 public:
  enum class Type : std::uint8_t { empty, null, text, i4 };
  struct Null {
    friend bool operator==(Null, Null) = default;
  };

  Variant() = default;
  Variant(Null) : value_(Null{}) {}
  Variant(std::u16string text) : value_(std::move(text)) {}
  Variant(std::int32_t number) : value_(number) {}

  Type type() const { return static_cast<Type>(value_.index()); }
  bool isEmpty() const { return type() == Type::empty; }
  bool isNull() const { return type() == Type::null; }
  bool isText() const { return type() == Type::text; }
  bool isI4() const { return type() == Type::i4; }

  // asText and asI4 require the matching type.
  const std::u16string& asText() const { return std::get<std::u16string>(value_); }
  std::int32_t asI4() const { return std::get<std::int32_t>(value_); }

  friend bool operator==(const Variant&, const Variant&) = default;

 private:
  // Alternatives in the order of Type.
  std::variant<std::monostate, Null, std::u16string, std::int32_t> value_;
};

inline constexpr Variant::Null kNull{};

}  // namespace kestrune::com
