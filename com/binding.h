// bind<&TVFEDIMiniKeyCrypt::method>() makes the Binding of a table row: a thunk that unpacks
// the checked arguments into the member's parameters and stores its return value, and the
// member's shape (parameter and result kinds) read from its signature.
//
// Supported shapes: parameters std::u16string_view (text) and std::int32_t (I4); return types
// std::int32_t (I4), std::optional<std::u16string> (text, std::nullopt being the null BSTR)
// and void (nothing written).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "com/method_table.h"
#include "com/variant.h"
#include "control/TVFEDIMiniKeyCrypt.h"

namespace kestrune::com {
namespace detail {

template <class T>
inline constexpr bool kUnsupported = false;

template <class T>
consteval Kind kindOf() {
  if constexpr (std::is_void_v<T>) {
    return Kind::none;
  } else if constexpr (std::is_same_v<T, std::u16string_view> ||
                       std::is_same_v<T, std::optional<std::u16string>>) {
    return Kind::text;
  } else if constexpr (std::is_same_v<T, std::int32_t>) {
    return Kind::i4;
  } else {
    static_assert(kUnsupported<T>, "no dispatch kind for this parameter or result type");
  }
}

template <class T>
T argumentAs(const Variant& value) {
  if constexpr (std::is_same_v<T, std::u16string_view>) {
    return value.asText();
  } else {
    return value.asI4();
  }
}

inline void store(Variant& result, std::int32_t number) {
  result = Variant(number);
}

inline void store(Variant& result, std::optional<std::u16string>&& text) {
  result = text ? Variant(std::move(*text)) : Variant(kNull);
}

template <auto member, class R, class... A>
void callMember(TVFEDIMiniKeyCrypt& control, std::span<const Variant> args, Variant& result) {
  [&]<std::size_t... i>(std::index_sequence<i...>) {
    if constexpr (std::is_void_v<R>) {
      (control.*member)(argumentAs<A>(args[i])...);
    } else {
      store(result, (control.*member)(argumentAs<A>(args[i])...));
    }
  }
  (std::index_sequence_for<A...>{});
}

template <auto member, class R, class... A>
consteval Binding makeBinding(R (TVFEDIMiniKeyCrypt::*)(A...)) {
  static_assert(sizeof...(A) <= kMaxParameters);
  Binding binding;
  binding.thunk = &callMember<member, R, A...>;
  binding.built = true;
  binding.parameters.count = sizeof...(A);
  std::size_t next = 0;
  ((binding.parameters.items[next++].kind = kindOf<A>()), ...);
  (void)next;  // unused for a method without parameters
  binding.result = kindOf<R>();
  return binding;
}

}  // namespace detail

template <auto member>
consteval Binding bind() {
  return detail::makeBinding<member>(member);
}

}  // namespace kestrune::com
