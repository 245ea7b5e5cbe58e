// The AVX2 loop of find_by_pairs; this file alone is compiled with -mavx2.
#include <immintrin.h>

#include <cstring>

#include "metadata/pair_search.hpp"

namespace velmaro::detail {

PairScan scan_pairs_avx2(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element) {
  const bool wide = element == 2;
  uint16_t e0, e1;
  if (wide) {
    std::memcpy(&e0, pattern.data(), 2);
    std::memcpy(&e1, pattern.data() + 2, 2);
  } else {
    e0 = static_cast<uint8_t>(pattern[0]);
    e1 = static_cast<uint8_t>(pattern[1]);
  }
  const __m256i first = wide ? _mm256_set1_epi16(static_cast<short>(e0)) : _mm256_set1_epi8(static_cast<char>(e0));
  const __m256i second = wide ? _mm256_set1_epi16(static_cast<short>(e1)) : _mm256_set1_epi8(static_cast<char>(e1));
  auto hits = [&](const uint8_t* q) {
    const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + element));
    return wide ? _mm256_and_si256(_mm256_cmpeq_epi16(here, first), _mm256_cmpeq_epi16(next, second))
                : _mm256_and_si256(_mm256_cmpeq_epi8(here, first), _mm256_cmpeq_epi8(next, second));
  };
  for (; last - p >= static_cast<ptrdiff_t>(64 + element); p += 64) {
    const __m256i low = hits(p), high = hits(p + 32);
    if (_mm256_testz_si256(_mm256_or_si256(low, high), _mm256_or_si256(low, high))) continue;
    uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
                    static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << 32;
    while (mask != 0) {
      const int k = __builtin_ctzll(mask);
      if (static_cast<size_t>(last - (p + k)) >= pattern.size() &&
          std::memcmp(p + k, pattern.data(), pattern.size()) == 0) {
        return {p, p + k};
      }
      mask &= wide ? ~(uint64_t{3} << k) : mask - 1;  // a code unit sets two bits
    }
  }
  return {p, nullptr};
}

}  // namespace velmaro::detail
