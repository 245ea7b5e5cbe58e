// The peak block search in both record layouts from an arbitrary start.
#include "fuzz_input.hpp"
#include "peaks/peak_block.hpp"
#include "sources.hpp"

using namespace velmaro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput in(data, size);
  const auto layout = in.take<uint8_t>() & 1 ? RecordLayout::k12Byte : RecordLayout::k8Byte;
  const uint64_t length = in.take<uint32_t>() % (4u << 20);
  const uint64_t offset = in.take<uint16_t>();
  const uint64_t start = in.take<uint16_t>();
  testing::SparseSource file(length, offset, in.rest());

  const auto peaks = find_peak_block(file, start, layout);
  if (!peaks) return 0;
  const size_t count = peaks->mz.size();
  fuzz::require(count == peaks->intensity.size() && count >= 11 && count <= 199999);
  fuzz::require(peaks->mz[0] > 50.0 && peaks->mz[0] < 5000.0);
  fuzz::require(start + 4 + count * (layout == RecordLayout::k12Byte ? 12 : 8) <= length + 10000 + 512);
  return 0;
}
