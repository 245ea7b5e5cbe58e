// Finding a pattern where its first bytes are common: each place whose first
// two elements (bytes, or 16-bit code units) match is compared in full, and
// the places are found 64 bytes at a time with vector compares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

namespace velmaro {

// Which loop finds the pairs: the widest this machine has (AVX-512, else
// AVX2, else SSE2 on x86-64; NEON on aarch64), or one named, so that tests
// reach each of them, and the element-by-element loop alone (kScalar), which
// every machine has.  A loop this build or CPU lacks runs as kScalar.  Speed
// only.
enum class PairLoop : uint8_t { kWidest, kAvx512, kAvx2, kSse2, kNeon, kScalar };

// The loops this build has and this CPU runs, widest first; kScalar last.
std::span<const PairLoop> pair_loops();

// Whether `loop`, on this machine, tests 16-bit elements by their first one
// alone before it tests pairs (AVX-512 and AVX2): then a search by code unit
// needs no other filter.
bool seeks_first_units(PairLoop loop);

// The first byte equal to `byte` in [p, last), or nullptr: memchr, or, with
// the AVX-512 loop, whole cache lines compared four at a time, which glibc's
// memchr (32-byte vectors) does not.
const uint8_t* find_byte(const uint8_t* p, const uint8_t* last, uint8_t byte, PairLoop loop = PairLoop::kWidest);

// The first place p + k * element in [p, last) where `pattern` starts; the
// pattern holds at least two elements.  nullptr if there is none.
const uint8_t* find_by_pairs(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element,
                             PairLoop loop = PairLoop::kWidest);

namespace detail {
// How far the vector loop got (a multiple of 64 bytes past p), or the match.
struct PairScan {
  const uint8_t* stop;
  const uint8_t* match;
};

// The pattern's first two elements.
inline std::pair<uint16_t, uint16_t> leading_pair(std::string_view pattern, size_t element) {
  const auto* text = reinterpret_cast<const uint8_t*>(pattern.data());
  if (element == 2) return {uint16_t(text[0] | text[1] << 8), uint16_t(text[2] | text[3] << 8)};
  return {text[0], text[1]};
}

// The first of the places that `hits` marks (a bit per byte of the 64 at
// p) where the whole pattern stands, or nullptr.
inline const uint8_t* confirm(const uint8_t* p, uint64_t hits, const uint8_t* last, std::string_view pattern,
                              size_t element) {
  while (hits != 0) {
    const int k = __builtin_ctzll(hits);
    if (static_cast<size_t>(last - (p + k)) >= pattern.size() &&
        std::memcmp(p + k, pattern.data(), pattern.size()) == 0) {
      return p + k;
    }
    hits &= element == 2 ? ~(uint64_t{3} << k) : hits - 1;  // a code unit sets two bits
  }
  return nullptr;
}
// The first match among the candidates of the 64 bytes at q, for a byte
// pattern of at least three bytes sought by aligned 16-bit words: `even` and
// `odd` have both bits of each word there that equals the pattern's first or
// second pair of bytes.  A word at 2j marks a candidate at 2j, or at 2j - 1
// for the second pair (q - 1 for the line's first word).  Always inlined:
// the vector loops that call it are each built for their own instruction
// set, and an out-of-line copy from one could be the one the linker keeps.
[[gnu::always_inline]] inline const uint8_t* confirm_words(const uint8_t* q, uint64_t even, uint64_t odd,
                                                         const uint8_t* last, std::string_view pattern) {
  constexpr uint64_t kEvenBytes = 0x5555555555555555;
  if ((odd & 1) != 0 && static_cast<size_t>(last - (q - 1)) >= pattern.size() &&
      std::memcmp(q - 1, pattern.data(), pattern.size()) == 0) {
    return q - 1;
  }
  return confirm(q, (even & kEvenBytes) | ((odd >> 1) & ~kEvenBytes), last, pattern, 1);
}

// Built with AVX2, and AVX-512 (F and BW), enabled, on x86-64 only; each is
// called only where the CPU has it.
PairScan scan_pairs_avx2(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element);
PairScan scan_pairs_avx512(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element);
const uint8_t* find_byte_avx512(const uint8_t* p, const uint8_t* last, uint8_t byte);
}  // namespace detail

}  // namespace velmaro
