// The pair search's loops, each over the same text in memory, beside a plain
// read of it (its 8-byte words folded into one by OR, at the widest vectors
// the CPU has) and the portable loop.  The plain read is a yardstick, not a
// floor: on the x86-64 development VM the SSE2 and AVX2 loops run up to a
// third faster than it, so it is not the least a read of these bytes can
// cost there.  The text is where the text scans hand over to the pair
// search: the pattern's first element everywhere, its second nowhere, so
// that no loop stops early.
//   pair_search [MEBIBYTES]       (scripts/aarch64 bench builds and runs it)
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "metadata/pair_search.hpp"

using namespace velmaro;

namespace {

const char* name(PairLoop loop) {
  switch (loop) {
    case PairLoop::kAvx512: return "AVX-512";
    case PairLoop::kAvx2: return "AVX2";
    case PairLoop::kSse2: return "SSE2";
    case PairLoop::kNeon: return "NEON";
    case PairLoop::kScalar: return "portable";
    default: return "widest";
  }
}

// At the widest vectors the CPU has, as the loops are.
#if defined(__x86_64__)
__attribute__((target_clones("avx2", "default")))
#endif
uint64_t fold(const uint8_t* p, size_t size) {
  uint64_t folded = 0;
  for (size_t i = 0; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    folded |= word;
  }
  return folded;
}

// Seconds `run` takes.
template <class F>
double seconds(F run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const size_t size = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16) << 20;
  // Page-aligned, like the scans' chunks.
  auto* text = static_cast<uint8_t*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (text == MAP_FAILED) return 1;
  volatile uintptr_t sink = 0;
  std::printf("%-7s %-9s %10s %10s\n", "text", "loop", "MB/s", "/ read");
  for (size_t element : {1, 2}) {
    const std::string pattern = element == 1 ? std::string("<?xml") : std::string("C\0o\0u\0l\0", 8);
    for (size_t i = 0; i < size; i += element) std::memcpy(text + i, pattern.data(), element);
    const auto loops = pair_loops();
    // The read and the loops in turns, the best of each: a busy machine
    // slows them alike.
    double plain = 1e9;
    std::vector<double> best(loops.size(), 1e9);
    for (int round = 0; round < 7; ++round) {
      plain = std::min(plain, seconds([&] { sink = sink + fold(text, size); }));
      for (size_t i = 0; i < loops.size(); ++i) {
        best[i] = std::min(best[i], seconds([&] {
          sink = sink + reinterpret_cast<uintptr_t>(find_by_pairs(text, text + size, pattern, element, loops[i]));
        }));
      }
    }
    const char* kind = element == 1 ? "bytes" : "UTF-16";
    std::printf("%-7s %-9s %10.0f %10.2f\n", kind, "read", size / plain / 1e6, 1.0);
    for (size_t i = 0; i < loops.size(); ++i) {
      std::printf("%-7s %-9s %10.0f %10.2f\n", kind, name(loops[i]), size / best[i] / 1e6, best[i] / plain);
    }
  }
  munmap(text, size);
  return 0;
}
