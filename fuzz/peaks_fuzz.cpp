// The peak block search in both record layouts from an arbitrary start, with
// first reads that end anywhere in or past a block, against its literal
// version.
#include "fuzz_input.hpp"
#include "peaks/peak_block.hpp"
#include "reference.hpp"
#include "sources.hpp"

using namespace velmaro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput in(data, size);
  const uint8_t mode = in.take<uint8_t>();
  const uint32_t version = mode & 1 ? 66 : mode & 2 ? 57 : 100;
  const uint64_t length = in.take<uint32_t>() % (4u << 20);
  const uint64_t offset = in.take<uint16_t>();
  const uint64_t start = in.take<uint16_t>();
  // Counts only above the search window (10024 or 520 bytes).
  const uint64_t first_read = in.take<uint16_t>() % 16384;
  testing::SparseSource file(length, offset, in.rest());
  static testing::WholeBuffer whole;
  fuzz::agree("peaks", find_peak_block(file, start, record_layout(version), first_read),
              reference::find_peak_block(whole.of(file), start, version));
  return 0;
}
