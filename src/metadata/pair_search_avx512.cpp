// The AVX-512 loop of find_by_pairs (byte and word compares into mask
// registers); this file alone is compiled with -mavx512f -mavx512bw.
#include <immintrin.h>

#include <cstring>

#include "metadata/pair_search.hpp"

namespace velmaro::detail {

namespace {

// The first match among the candidates of the 256 bytes at p that the
// 16-bit words equal to the pattern's first or second pair of bytes mark.
// Apart from the loop, so that the loop keeps no block for it: the compiler
// would store each one on the stack in case a candidate came.
__attribute__((noinline)) const uint8_t* confirm_blocks(const uint8_t* p, const uint8_t* last, std::string_view pattern,
                                                        __m512i at_even, __m512i at_odd) {
  // A bit per byte where a word equals `word`: both of the word's bits.
  auto word_bytes = [](__m512i block, __m512i word) -> uint64_t {
    return _mm512_movepi8_mask(_mm512_movm_epi16(_mm512_cmpeq_epi16_mask(block, word)));
  };
  for (const uint8_t* q = p; q < p + 256; q += 64) {
    const __m512i block = _mm512_load_si512(q);
    if (const uint8_t* match = confirm_words(q, word_bytes(block, at_even), word_bytes(block, at_odd), last, pattern)) {
      return match;
    }
  }
  return nullptr;
}

}  // namespace

PairScan scan_pairs_avx512(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element) {
  const bool wide = element == 2;
  const auto [e0, e1] = leading_pair(pattern, element);
  const __m512i first = wide ? _mm512_set1_epi16(static_cast<short>(e0)) : _mm512_set1_epi8(static_cast<char>(e0));
  const __m512i second = wide ? _mm512_set1_epi16(static_cast<short>(e1)) : _mm512_set1_epi8(static_cast<char>(e1));
  // A bit per element of the 64 bytes at q where the pair starts.
  auto hits = [&](const uint8_t* q) -> uint64_t {
    const __m512i here = _mm512_loadu_si512(q);
    const __m512i next = _mm512_loadu_si512(q + element);
    if (!wide) return _mm512_cmpeq_epi8_mask(here, first) & _mm512_cmpeq_epi8_mask(next, second);
    return _mm512_cmpeq_epi16_mask(here, first) & _mm512_cmpeq_epi16_mask(next, second);
  };
  // confirm takes a bit per byte, and a code unit sets both of its own.
  auto bytes_of = [wide](uint64_t mask) {
    if (!wide) return mask;
    uint64_t spread = 0;
    for (; mask != 0; mask &= mask - 1) spread |= uint64_t{3} << (2 * __builtin_ctzll(mask));
    return spread;
  };
  // A code unit is rare enough in binary data to be sought alone: four
  // blocks a step, with loads that do not straddle cache lines (the step
  // that aligns them keeps the parity of the units), and the pair only
  // where one of them holds the first unit.
  if (wide) {
    const size_t lead = (64 - reinterpret_cast<uintptr_t>(p) % 64) % 64;
    if (lead % 2 == 0 && last - p >= static_cast<ptrdiff_t>(lead + 256 + element)) {
      if (const uint64_t head = hits(p); head != 0) {
        if (const uint8_t* match = confirm(p, bytes_of(head), last, pattern, element)) return {p, match};
      }
      for (p += lead; last - p >= static_cast<ptrdiff_t>(256 + element); p += 256) {
        const __mmask32 any = _mm512_cmpeq_epi16_mask(_mm512_load_si512(p), first) |
                              _mm512_cmpeq_epi16_mask(_mm512_load_si512(p + 64), first) |
                              _mm512_cmpeq_epi16_mask(_mm512_load_si512(p + 128), first) |
                              _mm512_cmpeq_epi16_mask(_mm512_load_si512(p + 192), first);
        if (any == 0) continue;
        for (const uint8_t* q = p; q < p + 256; q += 64) {
          if (const uint64_t found = hits(q); found != 0) {
            if (const uint8_t* match = confirm(q, bytes_of(found), last, pattern, element)) return {q, match};
          }
        }
      }
    }
  }
  // Bytes, for a pattern of three or more: four blocks a step from aligned
  // loads alone.  A match at an even distance from the step puts its first
  // two bytes in one 16-bit word, a match at an odd one its second and third,
  // so each word is XORed with both pairs and a zero word marks a candidate
  // (the word at q for one starting at q - 1, which may lie in the step
  // before).  On Zen 4 this ran a quarter faster than the pair loop below,
  // whose second load, one byte on, straddles two cache lines.
  if (!wide && pattern.size() >= 3 && last - p >= static_cast<ptrdiff_t>(64 + 256)) {
    if (const uint64_t head = hits(p); head != 0) {
      if (const uint8_t* match = confirm(p, head, last, pattern, element)) return {p, match};
    }
    const auto* text = reinterpret_cast<const uint8_t*>(pattern.data());
    const __m512i at_even = _mm512_set1_epi16(static_cast<short>(text[0] | text[1] << 8));
    const __m512i at_odd = _mm512_set1_epi16(static_cast<short>(text[1] | text[2] << 8));
    // The least of each word across blocks, by the compilers' vector types
    // (one instruction): clang-tidy reports the minimum's intrinsic with no
    // place that a comment could exempt.
    using Words = uint16_t __attribute__((vector_size(64)));
    const auto even_words = Words(at_even), odd_words = Words(at_odd);
    for (p += 64 - reinterpret_cast<uintptr_t>(p) % 64; last - p >= 256; p += 256) {
      Words least[4];
      for (ptrdiff_t k = 0; k < 4; ++k) {
        const auto block = Words(_mm512_load_si512(p + 64 * k));
        const Words a = block ^ even_words, b = block ^ odd_words;
        least[k] = a < b ? a : b;
      }
      least[0] = least[0] < least[1] ? least[0] : least[1];
      least[2] = least[2] < least[3] ? least[2] : least[3];
      const auto zero_if_any = __m512i(least[0] < least[2] ? least[0] : least[2]);
      if (_mm512_testn_epi16_mask(zero_if_any, zero_if_any) == 0) continue;
      if (const uint8_t* match = confirm_blocks(p, last, pattern, at_even, at_odd)) return {p, match};
    }
    // A match at the byte before p shows only in the word at p.
    --p;
  }
  // Bytes: four blocks a step, from aligned loads and the loads one byte on.
  // A byte of (block ^ first) | (next ^ second) is zero where the pair
  // starts, one test per block finds them.  On AMD's Zen 4 this ran one and
  // a half to two times as fast as comparing each byte of the pair into a
  // mask and carrying the second's masks one place in general registers.
  if (!wide && last - p >= static_cast<ptrdiff_t>(64 + 256 + 1)) {
    if (const uint64_t head = hits(p); head != 0) {
      if (const uint8_t* match = confirm(p, head, last, pattern, element)) return {p, match};
    }
    for (p += 64 - reinterpret_cast<uintptr_t>(p) % 64; last - p >= static_cast<ptrdiff_t>(256 + 1); p += 256) {
      uint64_t pairs[4], any = 0;
      for (ptrdiff_t k = 0; k < 4; ++k) {
        const __m512i here = _mm512_xor_si512(_mm512_load_si512(p + 64 * k), first);
        const __m512i apart = _mm512_ternarylogic_epi32(here, _mm512_loadu_si512(p + 64 * k + 1), second, 0xF6);
        any |= pairs[k] = _mm512_testn_epi8_mask(apart, apart);  // a | (b ^ c) is zero where the pair starts
      }
      if (any == 0) continue;
      for (ptrdiff_t k = 0; k < 4; ++k) {
        if (const uint8_t* match = confirm(p + 64 * k, pairs[k], last, pattern, element)) return {p + 64 * k, match};
      }
    }
  }
  // Two blocks a step, tested together: candidates are rare in what is searched.
  for (; last - p >= static_cast<ptrdiff_t>(128 + element); p += 128) {
    const uint64_t low = hits(p), high = hits(p + 64);
    if ((low | high) == 0) continue;
    if (const uint8_t* match = confirm(p, bytes_of(low), last, pattern, element)) return {p, match};
    if (const uint8_t* match = confirm(p + 64, bytes_of(high), last, pattern, element)) return {p + 64, match};
  }
  return {p, nullptr};
}

const uint8_t* find_byte_avx512(const uint8_t* p, const uint8_t* last, uint8_t byte) {
  const __m512i wanted = _mm512_set1_epi8(static_cast<char>(byte));
  // The first 64 bytes as they lie, then 256 bytes a step from the next
  // cache line on, so that no load straddles two.
  if (last - p >= 64 + 256) {
    if (const uint64_t head = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(p), wanted); head != 0) {
      return p + __builtin_ctzll(head);
    }
    p += 64 - reinterpret_cast<uintptr_t>(p) % 64;
    for (; last - p >= 256; p += 256) {
      const uint64_t a = _mm512_cmpeq_epi8_mask(_mm512_load_si512(p), wanted);
      const uint64_t b = _mm512_cmpeq_epi8_mask(_mm512_load_si512(p + 64), wanted);
      const uint64_t c = _mm512_cmpeq_epi8_mask(_mm512_load_si512(p + 128), wanted);
      const uint64_t d = _mm512_cmpeq_epi8_mask(_mm512_load_si512(p + 192), wanted);
      if ((a | b | c | d) == 0) continue;
      if (a != 0) return p + __builtin_ctzll(a);
      if (b != 0) return p + 64 + __builtin_ctzll(b);
      if (c != 0) return p + 128 + __builtin_ctzll(c);
      return p + 192 + __builtin_ctzll(d);
    }
  }
  return static_cast<const uint8_t*>(std::memchr(p, byte, static_cast<size_t>(last - p)));
}

}  // namespace velmaro::detail
