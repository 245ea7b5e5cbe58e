#include "metadata/pair_search.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// Advanced SIMD is part of every aarch64 CPU: no flag, no run-time check.
#if defined(__aarch64__) && defined(__ARM_NEON) && defined(__AARCH64EL__)
#define VELMARO_NEON_LOOP 1
#include <arm_neon.h>
#endif

namespace velmaro {

namespace {

using Scan = detail::PairScan (*)(const uint8_t*, const uint8_t*, std::string_view, size_t);

// No vector loop: find_by_pairs's element-by-element loop does all the work.
detail::PairScan scan_none(const uint8_t* p, const uint8_t*, std::string_view, size_t) { return {p, nullptr}; }

#if defined(__SSE2__)
detail::PairScan scan_pairs_sse2(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element) {
  const bool wide = element == 2;
  const auto [e0, e1] = detail::leading_pair(pattern, element);
  const __m128i first = wide ? _mm_set1_epi16(static_cast<short>(e0)) : _mm_set1_epi8(static_cast<char>(e0));
  const __m128i second = wide ? _mm_set1_epi16(static_cast<short>(e1)) : _mm_set1_epi8(static_cast<char>(e1));
  for (; last - p >= static_cast<ptrdiff_t>(64 + element); p += 64) {
    uint64_t mask = 0;
    for (ptrdiff_t quarter = 0; quarter < 4; ++quarter) {
      const uint8_t* q = p + 16 * quarter;
      const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + element));
      const __m128i hits = wide ? _mm_and_si128(_mm_cmpeq_epi16(here, first), _mm_cmpeq_epi16(next, second))
                                : _mm_and_si128(_mm_cmpeq_epi8(here, first), _mm_cmpeq_epi8(next, second));
      mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(hits))) << (16 * quarter);
    }
    if (const uint8_t* match = detail::confirm(p, mask, last, pattern, element)) return {p, match};
  }
  return {p, nullptr};
}
#endif

#if defined(VELMARO_NEON_LOOP)
// Bit k of the result is set where byte k of the 64 in a, b, c, d is.  NEON
// has no byte mask instruction: each byte keeps the one bit of its place in
// its half, and pairwise additions fold the four vectors into eight bytes.
uint64_t byte_mask(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d) {
  const uint8x16_t bits = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t ab = vpaddq_u8(vandq_u8(a, bits), vandq_u8(b, bits));
  const uint8x16_t cd = vpaddq_u8(vandq_u8(c, bits), vandq_u8(d, bits));
  const uint8x16_t abcd = vpaddq_u8(ab, cd);
  return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(abcd, abcd)), 0);
}

detail::PairScan scan_pairs_neon(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element) {
  const bool wide = element == 2;
  const auto [e0, e1] = detail::leading_pair(pattern, element);
  const uint8x16_t first = wide ? vreinterpretq_u8_u16(vdupq_n_u16(e0)) : vdupq_n_u8(static_cast<uint8_t>(e0));
  const uint8x16_t second = wide ? vreinterpretq_u8_u16(vdupq_n_u16(e1)) : vdupq_n_u8(static_cast<uint8_t>(e1));
  auto hits = [&](const uint8_t* q) {
    const uint8x16_t here = vld1q_u8(q);
    const uint8x16_t next = vld1q_u8(q + element);
    if (!wide) return vandq_u8(vceqq_u8(here, first), vceqq_u8(next, second));
    // A code unit matches in both its bytes or in neither.
    const uint16x8_t both = vandq_u16(vceqq_u16(vreinterpretq_u16_u8(here), vreinterpretq_u16_u8(first)),
                                      vceqq_u16(vreinterpretq_u16_u8(next), vreinterpretq_u16_u8(second)));
    return vreinterpretq_u8_u16(both);
  };
  for (; last - p >= static_cast<ptrdiff_t>(64 + element); p += 64) {
    const uint8x16_t a = hits(p), b = hits(p + 16), c = hits(p + 32), d = hits(p + 48);
    if (vmaxvq_u8(vorrq_u8(vorrq_u8(a, b), vorrq_u8(c, d))) == 0) continue;
    if (const uint8_t* match = detail::confirm(p, byte_mask(a, b, c, d), last, pattern, element)) return {p, match};
  }
  return {p, nullptr};
}
#endif

bool has_avx2() {
#if defined(VELMARO_X86_LOOPS)
  __builtin_cpu_init();  // may run before libgcc's own constructor has
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

bool has_avx512() {
#if defined(VELMARO_X86_LOOPS)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#else
  return false;
#endif
}

struct LoopList {
  std::array<PairLoop, 5> loops;
  size_t count;
};

LoopList list_loops() {
  LoopList found{};
  auto add = [&](PairLoop loop) { found.loops[found.count++] = loop; };
  if (has_avx512()) add(PairLoop::kAvx512);
  if (has_avx2()) add(PairLoop::kAvx2);
#if defined(__SSE2__)
  add(PairLoop::kSse2);
#endif
#if defined(VELMARO_NEON_LOOP)
  add(PairLoop::kNeon);
#endif
  add(PairLoop::kScalar);
  return found;
}

Scan scan_of(PairLoop loop);

// Chosen at load time: a function-local static would need the C++ runtime's
// guard, which ties the module to a newer C library.
const LoopList g_loops = list_loops();
const Scan g_widest = scan_of(g_loops.loops[0]);

bool listed(PairLoop loop) {
  return std::find(g_loops.loops.begin(), g_loops.loops.begin() + g_loops.count, loop) !=
         g_loops.loops.begin() + g_loops.count;
}

Scan scan_of(PairLoop loop) {
  switch (loop) {
    case PairLoop::kWidest:
      return g_widest;
#if defined(VELMARO_X86_LOOPS)
    case PairLoop::kAvx512:
      return listed(PairLoop::kAvx512) ? detail::scan_pairs_avx512 : scan_none;
    case PairLoop::kAvx2:
      return listed(PairLoop::kAvx2) ? detail::scan_pairs_avx2 : scan_none;
#endif
#if defined(__SSE2__)
    case PairLoop::kSse2:
      return scan_pairs_sse2;
#endif
#if defined(VELMARO_NEON_LOOP)
    case PairLoop::kNeon:
      return scan_pairs_neon;
#endif
    default:
      return scan_none;
  }
}

}  // namespace

bool seeks_first_units(PairLoop loop) {
  const Scan scan = scan_of(loop);
#if defined(VELMARO_X86_LOOPS)
  return scan == detail::scan_pairs_avx512 || scan == detail::scan_pairs_avx2;
#else
  (void)scan;
  return false;
#endif
}

const uint8_t* find_byte(const uint8_t* p, const uint8_t* last, uint8_t byte, PairLoop loop) {
#if defined(VELMARO_X86_LOOPS)
  if (scan_of(loop) == detail::scan_pairs_avx512) return detail::find_byte_avx512(p, last, byte);
#endif
  return static_cast<const uint8_t*>(std::memchr(p, byte, static_cast<size_t>(last - p)));
}

std::span<const PairLoop> pair_loops() { return {g_loops.loops.data(), g_loops.count}; }

const uint8_t* find_by_pairs(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element,
                             PairLoop loop) {
  const auto [stop, match] = scan_of(loop)(p, last, pattern, element);
  if (match != nullptr) return match;
  // The tail the vector loop leaves, and all of it for kScalar: the first
  // byte is tested before the call.
  const auto lead = static_cast<uint8_t>(pattern[0]);
  for (p = stop; static_cast<size_t>(last - p) >= pattern.size(); p += element) {
    if (*p == lead && std::memcmp(p, pattern.data(), pattern.size()) == 0) return p;
  }
  return nullptr;
}

}  // namespace velmaro
