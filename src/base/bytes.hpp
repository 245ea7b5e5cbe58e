// Numbers as the file stores them: little-endian, at any byte offset.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace velmaro {

template <class T>
inline T load_le(const uint8_t* p) {
  static_assert(std::is_trivially_copyable_v<T>);
  static_assert(std::endian::native == std::endian::little);
  T value;
  std::memcpy(&value, p, sizeof(T));
  return value;
}

}  // namespace velmaro
