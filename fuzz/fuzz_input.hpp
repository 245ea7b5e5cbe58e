// Splits a fuzz input into parameters, taken from its end, and data, the
// rest: one byte string then explores offsets, lengths and modes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "base/error.hpp"

#include "compare.hpp"

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

// A result the reference always has: a failure in its place (an internal
// one, since nothing here interrupts) is shown, and the fuzzer stops.
template <class T>
T value(const char* what, Expected<T> result) {
  if (result) return std::move(*result);
  std::fprintf(stderr, "%s: internal failure: %s\n", what, result.error().text().c_str());
  std::abort();
}

// The core's result must be the reference's, whole; otherwise both are shown
// and the fuzzer stops, also in builds without assert.
template <class T>
void agree(const char* what, const T& core, const T& literal) {
  if (reference::same(core, literal)) return;
  std::fprintf(stderr, "%s: the core and the reference differ\ncore:      %s\nreference: %s\n", what,
               reference::show(core).c_str(), reference::show(literal).c_str());
  std::abort();
}

}  // namespace velmaro::fuzz
