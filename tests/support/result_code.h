// The number a typed result stands for, so tables of expected codes read as they are written.
#pragma once

#include <type_traits>

template <typename Result>
  requires std::is_enum_v<Result>
constexpr int code(Result result) {
  return static_cast<int>(result);
}
