// The AVX2 loop of find_by_pairs; this file alone is compiled with -mavx2.
#include <immintrin.h>

#include <cstring>

#include "metadata/pair_search.hpp"

namespace velmaro::detail {

namespace {

// A bit per byte of the 64 at q where a 16-bit word equals `word`: both of
// the word's bits.
uint64_t word_bytes(const uint8_t* q, __m256i word) {
  const __m256i low = _mm256_cmpeq_epi16(_mm256_load_si256(reinterpret_cast<const __m256i*>(q)), word);
  const __m256i high = _mm256_cmpeq_epi16(_mm256_load_si256(reinterpret_cast<const __m256i*>(q + 32)), word);
  return static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
         static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << 32;
}

// The first match among the candidates of the 256 bytes at p that the words
// equal to the pattern's first or second pair of bytes mark (as in the
// AVX-512 loop, and apart from the loop for the same reason).
__attribute__((noinline)) const uint8_t* confirm_blocks(const uint8_t* p, const uint8_t* last, std::string_view pattern,
                                                        __m256i at_even, __m256i at_odd) {
  for (const uint8_t* q = p; q < p + 256; q += 64) {
    if (const uint8_t* match = confirm_words(q, word_bytes(q, at_even), word_bytes(q, at_odd), last, pattern)) {
      return match;
    }
  }
  return nullptr;
}

}  // namespace

PairScan scan_pairs_avx2(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element) {
  const bool wide = element == 2;
  const auto [e0, e1] = leading_pair(pattern, element);
  const __m256i first = wide ? _mm256_set1_epi16(static_cast<short>(e0)) : _mm256_set1_epi8(static_cast<char>(e0));
  const __m256i second = wide ? _mm256_set1_epi16(static_cast<short>(e1)) : _mm256_set1_epi8(static_cast<char>(e1));
  auto hits = [&](const uint8_t* q) {
    const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + element));
    return wide ? _mm256_and_si256(_mm256_cmpeq_epi16(here, first), _mm256_cmpeq_epi16(next, second))
                : _mm256_and_si256(_mm256_cmpeq_epi8(here, first), _mm256_cmpeq_epi8(next, second));
  };
  auto confirm_hits = [&](const uint8_t* q) -> const uint8_t* {
    const __m256i low = hits(q), high = hits(q + 32);
    const __m256i any = _mm256_or_si256(low, high);
    if (_mm256_testz_si256(any, any)) return nullptr;
    const uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
                          static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << 32;
    return confirm(q, mask, last, pattern, element);
  };
  // A code unit is rare enough in binary data to be sought alone: 256 bytes
  // a step, with loads that do not straddle cache lines (the step that
  // aligns them keeps the parity of the units), and the pairs only where
  // the first unit is.
  if (wide) {
    const size_t lead = (64 - reinterpret_cast<uintptr_t>(p) % 64) % 64;
    if (lead % 2 == 0 && last - p >= static_cast<ptrdiff_t>(lead + 256 + element)) {
      if (const uint8_t* match = confirm_hits(p)) return {p, match};
      for (p += lead; last - p >= static_cast<ptrdiff_t>(256 + element); p += 256) {
        __m256i any = _mm256_setzero_si256();
        for (ptrdiff_t k = 0; k < 8; ++k) {
          any = _mm256_or_si256(any, _mm256_cmpeq_epi16(_mm256_load_si256(reinterpret_cast<const __m256i*>(p + 32 * k)), first));
        }
        if (_mm256_testz_si256(any, any)) continue;
        for (const uint8_t* q = p; q < p + 256; q += 64) {
          if (const uint8_t* match = confirm_hits(q)) return {q, match};
        }
      }
    }
  }
  // Bytes, for a pattern of three or more, by 16-bit words from aligned loads
  // alone, as in the AVX-512 loop.
  if (!wide && pattern.size() >= 3 && last - p >= static_cast<ptrdiff_t>(64 + 256)) {
    if (const uint8_t* match = confirm_hits(p)) return {p, match};
    const auto* text = reinterpret_cast<const uint8_t*>(pattern.data());
    const __m256i at_even = _mm256_set1_epi16(static_cast<short>(text[0] | text[1] << 8));
    const __m256i at_odd = _mm256_set1_epi16(static_cast<short>(text[1] | text[2] << 8));
    for (p += 64 - reinterpret_cast<uintptr_t>(p) % 64; last - p >= 256; p += 256) {
      __m256i any = _mm256_setzero_si256();
      for (ptrdiff_t k = 0; k < 8; ++k) {
        const __m256i block = _mm256_load_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
        const __m256i marked = _mm256_or_si256(_mm256_cmpeq_epi16(block, at_even), _mm256_cmpeq_epi16(block, at_odd));
        any = _mm256_or_si256(any, marked);
      }
      if (_mm256_testz_si256(any, any)) continue;
      if (const uint8_t* match = confirm_blocks(p, last, pattern, at_even, at_odd)) return {p, match};
    }
    // A match at the byte before p shows only in the word at p.
    --p;
  }
  for (; last - p >= static_cast<ptrdiff_t>(64 + element); p += 64) {
    const __m256i low = hits(p), high = hits(p + 32);
    const __m256i any = _mm256_or_si256(low, high);
    if (_mm256_testz_si256(any, any)) continue;
    const uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
                          static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << 32;
    if (const uint8_t* match = confirm(p, mask, last, pattern, element)) return {p, match};
  }
  return {p, nullptr};
}

}  // namespace velmaro::detail
