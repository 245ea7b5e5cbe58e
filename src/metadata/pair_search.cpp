#include "metadata/pair_search.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmaro {

namespace {

detail::PairScan scan_pairs_sse2(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element) {
#if defined(__SSE2__)
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
#else
  (void)last, (void)pattern, (void)element;
#endif
  return {p, nullptr};
}

using Scan = detail::PairScan (*)(const uint8_t*, const uint8_t*, std::string_view, size_t);

Scan pick_scan() {
#if defined(__x86_64__)
  __builtin_cpu_init();  // may run before libgcc's own constructor has
  if (__builtin_cpu_supports("avx2")) return detail::scan_pairs_avx2;
#endif
  return scan_pairs_sse2;
}

// Chosen at load time: a function-local static would need the C++ runtime's
// guard, which ties the module to a newer C library.
const Scan g_widest = pick_scan();

}  // namespace

const uint8_t* find_by_pairs(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element,
                             PairLoop loop) {
  const Scan scan = loop == PairLoop::kSse2 ? scan_pairs_sse2 : g_widest;
  const auto [stop, match] = scan(p, last, pattern, element);
  if (match != nullptr) return match;
  for (p = stop; static_cast<size_t>(last - p) >= pattern.size(); p += element) {
    if (std::memcmp(p, pattern.data(), pattern.size()) == 0) return p;
  }
  return nullptr;
}

}  // namespace velmaro
