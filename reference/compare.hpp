// Whole results of the core and of the reference, compared exactly and shown
// in full: floating-point values by their bits, so that NaN equals itself
// and -0.0 differs from 0.0, as a caller could tell them apart.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "metadata/metadata.hpp"
#include "peaks/peak_block.hpp"
#include "reader/reader.hpp"
#include "reference.hpp"

namespace velmaro::reference {

inline bool same(uint64_t a, uint64_t b) { return a == b; }
inline bool same(int32_t a, int32_t b) { return a == b; }
inline bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
inline bool same(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }
inline bool same(const std::string& a, const std::string& b) { return a == b; }
bool same(const HeaderFields& a, const HeaderFields& b);
bool same(const RawFileReader& a, const RawFileReader& b);
bool same(const PeakPair& a, const PeakPair& b);
bool same(const Field& a, const Field& b);

template <class T, class A, class B>
bool same(const std::vector<T, A>& a, const std::vector<T, B>& b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    if (!same(a[k], b[k])) return false;
  }
  return true;
}

template <class T>
bool same(const std::optional<T>& a, const std::optional<T>& b) {
  return a.has_value() == b.has_value() && (!a || same(*a, *b));
}

inline std::string show(uint64_t value) { return std::to_string(value); }
inline std::string show(int32_t value) { return std::to_string(value); }
std::string show(double value);  // every digit
inline std::string show(float value) { return show(double{value}); }
std::string show(const std::string& text);  // quoted, with bytes outside printable ASCII escaped
std::string show(const HeaderFields& header);
std::string show(const RawFileReader& reader);
std::string show(const PeakPair& pair);
std::string show(const Field& field);

// The core's fields, with their texts copied out of the slot they view.
std::vector<Field> owned(const TrailerFields& fields);

template <class T, class A>
std::string show(const std::vector<T, A>& values) {
  std::string out = "[";
  for (size_t k = 0; k < values.size(); ++k) out += (k ? ", " : "") + show(values[k]);
  return out + "]";
}

template <class T>
std::string show(const std::optional<T>& value) {
  return value ? show(*value) : "nothing";
}

}  // namespace velmaro::reference
