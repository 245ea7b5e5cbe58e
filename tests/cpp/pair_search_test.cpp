// The pair search against a plain search, with every loop this machine runs
// (the x86-64 or aarch64 vector loops and the portable one).  Each text ends
// where an unreadable page begins, so a loop that reads past its end crashes
// here, with or without the sanitizers.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "metadata/pair_search.hpp"

namespace velmaro {
namespace {

class GuardedBytes {
 public:
  GuardedBytes() : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    void* base = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED || mprotect(static_cast<uint8_t*>(base) + page_, page_, PROT_NONE) != 0) std::abort();
    base_ = static_cast<uint8_t*>(base);
  }
  ~GuardedBytes() { munmap(base_, 2 * page_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

  // A copy of `text` whose last byte is the last readable one.
  std::span<const uint8_t> hold(std::string_view text) {
    uint8_t* first = base_ + page_ - text.size();
    std::memcpy(first, text.data(), text.size());
    return {first, text.size()};
  }

 private:
  size_t page_;
  uint8_t* base_;
};

const uint8_t* plain_search(const uint8_t* p, const uint8_t* last, std::string_view pattern, size_t element) {
  for (; static_cast<size_t>(last - p) >= pattern.size(); p += element) {
    if (std::memcmp(p, pattern.data(), pattern.size()) == 0) return p;
  }
  return nullptr;
}

// Every loop finds what the plain search finds, from `skip` bytes into `text`.
void expect_every_loop_agrees(GuardedBytes& guarded, std::string_view text, size_t skip, std::string_view pattern,
                              size_t element, const std::string& context) {
  const auto bytes = guarded.hold(text);
  const uint8_t* p = bytes.data() + skip;
  const uint8_t* last = bytes.data() + bytes.size();
  const uint8_t* expected = plain_search(p, last, pattern, element);
  std::vector<PairLoop> loops(pair_loops().begin(), pair_loops().end());
  loops.push_back(PairLoop::kWidest);
  for (PairLoop loop : loops) {
    const uint8_t* found = find_by_pairs(p, last, pattern, element, loop);
    EXPECT_EQ(found, expected) << context << " loop " << int(loop) << ": found at "
                               << (found ? found - p : -1) << ", plainly at " << (expected ? expected - p : -1);
  }
}

TEST(PairSearch, ListsThePortableLoopLastAndTheWidestFirst) {
  const auto loops = pair_loops();
  ASSERT_GE(loops.size(), 1u);
  EXPECT_EQ(loops.back(), PairLoop::kScalar);
#if defined(__aarch64__)
  EXPECT_EQ(loops[0], PairLoop::kNeon);
#elif defined(__x86_64__)
  EXPECT_TRUE(loops[0] == PairLoop::kAvx512 || loops[0] == PairLoop::kAvx2 || loops[0] == PairLoop::kSse2);
#endif
}

// Texts made of the pattern's own first bytes and zeros, so that pairs and
// partial matches crowd every block; code units also at odd places, which
// a search by code unit must pass over.
TEST(PairSearch, EveryLoopAgreesWithThePlainSearchOnCrowdedTexts) {
  GuardedBytes guarded;
  std::mt19937_64 rng(22);
  for (int trial = 0; trial < 4000; ++trial) {
    const size_t element = 1 + trial % 2;
    const std::string alphabet = element == 1 ? std::string("Co\0u", 4) : std::string("C\0o\0\0C", 6);
    auto pick = [&](size_t n) {
      std::string out;
      while (out.size() < n) out += alphabet[rng() % alphabet.size()];
      return out;
    };
    const std::string pattern = pick(element * (2 + rng() % 4));
    // Up to several of the 256-byte steps in which the wide loops seek a
    // code unit alone.
    std::string text = pick(rng() % 1200);
    if (rng() % 2 != 0 && !text.empty()) text.insert(rng() % text.size(), pattern);
    const size_t skip = text.empty() ? 0 : rng() % std::min<size_t>(text.size(), 3);
    expect_every_loop_agrees(guarded, text, skip, pattern, element, "trial " + std::to_string(trial));
  }
}

// One match at every place of the first blocks, with the text ending right
// after it or a little later, or one byte too soon: every bit of a block's
// mask, of the 256-byte steps that seek a code unit alone, and the
// hand-over from the blocks to the element loop.  With 53 bytes after it
// (the text ends on a page) a match starts on a cache line's last byte,
// which a search by 16-bit words sees only in the next line's first word.
TEST(PairSearch, EveryLoopFindsOneMatchAtEveryPlace) {
  GuardedBytes guarded;
  for (size_t element : {1, 2}) {
    std::string pattern;
    for (char c : std::string_view("Coulombmeter")) pattern += element == 1 ? std::string(1, c) : std::string{c, '\0'};
    // The pattern's first element is everywhere, its second nowhere.
    const std::string filler = element == 1 ? "C" : std::string("C\0", 2);
    for (size_t k = 0; k < 320; ++k) {
      for (int after : {-1, 0, 1, 53, 63, 64, 65}) {
        std::string text;
        for (size_t i = 0; i < k; ++i) text += filler;
        text += pattern;
        if (after < 0) {
          text.pop_back();
        } else {
          for (int i = 0; i < after; ++i) text += static_cast<char>('0' + i % 10);
        }
        expect_every_loop_agrees(guarded, text, 0, pattern, element,
                                 "element " + std::to_string(element) + " at " + std::to_string(k * element) +
                                     " then " + std::to_string(after));
      }
    }
  }
}

// The first-byte search, over texts ending at the unreadable page, with the
// byte at one place or several, or nowhere, from every start in a cache line.
TEST(PairSearch, EveryLoopFindsTheFirstByteAsMemchrDoes) {
  GuardedBytes guarded;
  std::mt19937_64 rng(7);
  std::vector<PairLoop> loops(pair_loops().begin(), pair_loops().end());
  loops.push_back(PairLoop::kWidest);
  for (int trial = 0; trial < 3000; ++trial) {
    std::string text(rng() % 1500, '\0');
    for (int k = static_cast<int>(rng() % 3); k > 0 && !text.empty(); --k) text[rng() % text.size()] = '<';
    const auto bytes = guarded.hold(text);
    const uint8_t* p = bytes.data() + (text.empty() ? 0 : rng() % std::min<size_t>(text.size(), 65));
    const uint8_t* last = bytes.data() + bytes.size();
    const void* expected = std::memchr(p, '<', static_cast<size_t>(last - p));
    for (PairLoop loop : loops) {
      EXPECT_EQ(find_byte(p, last, '<', loop), expected) << "trial " << trial << " loop " << int(loop);
    }
  }
}

}  // namespace
}  // namespace velmaro
