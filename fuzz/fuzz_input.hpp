// Splits a fuzz input into parameters, taken from its end, and data, the
// rest: one byte string then explores offsets, lengths and modes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace velmaro::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  template <class T>
  T take() {
    T value{};
    const size_t n = sizeof(T) < size_ ? sizeof(T) : size_;
    std::memcpy(&value, data_ + size_ - n, n);
    size_ -= n;
    return value;
  }

  std::vector<uint8_t> rest() const { return std::vector<uint8_t>(data_, data_ + size_); }

 private:
  const uint8_t* data_;
  size_t size_;
};

// A broken invariant must stop the fuzzer, also in builds without assert.
inline void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace velmaro::fuzz
