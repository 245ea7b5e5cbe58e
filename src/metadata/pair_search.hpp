// Finding a pattern where its first bytes are common: each place whose first
// two elements (bytes, or 16-bit code units) match is compared in full, and
// the places are found 64 bytes at a time with vector compares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmaro {

// The first place p + k * element in [p, last) where `pattern` starts; the
// pattern holds at least two elements.  nullptr if there is none.
const uint8_t* find_by_pairs(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element);

namespace detail {
// How far the vector loop got (a multiple of 64 bytes past p), or the match.
struct PairScan {
  const uint8_t* stop;
  const uint8_t* match;
};
// Built with AVX2 enabled; called only where the CPU has it.
PairScan scan_pairs_avx2(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element);
}  // namespace detail

}  // namespace velmaro
