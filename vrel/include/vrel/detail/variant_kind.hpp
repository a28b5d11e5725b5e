// Compile-time check that a discriminating enum names the alternatives of its variant.
#pragma once

#include <cstddef>
#include <type_traits>
#include <variant>

namespace vrel::detail {

// True when kind `K` names alternative `T` of `Variant`. Each kind enum is checked against
// every alternative and the count, so that an inserted or reordered alternative fails to
// build instead of silently changing what a kind means.
template <class Variant, auto K, class T>
inline constexpr bool kind_names =
    std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(K), Variant>, T>;

}  // namespace vrel::detail
