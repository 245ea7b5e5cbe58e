// The three text scans against their literal versions, over a small sparse
// file read in chunks of a few bytes, so that anchors, runs and the method
// straddle chunk boundaries and kept overlaps; and, one input in 32, over a
// file that ends near the method's 4 MiB prefix, read in larger chunks.
#include "fuzz_input.hpp"
#include "metadata/metadata.hpp"
#include "reference.hpp"
#include "sources.hpp"

using namespace velmaro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput in(data, size);
  const uint8_t mode = in.take<uint8_t>();
  const uint16_t chunk = in.take<uint16_t>();
  const uint8_t retained = in.take<uint8_t>();
  const uint32_t place = in.take<uint32_t>();
  auto bytes = in.rest();

  const bool large = place % 32 == 31;
  ScanSettings settings;
  // The vector loops take 64 bytes at a time: a few KiB reach them too.
  settings.chunk_bytes = large ? (64u << 10) + chunk : mode & 1 ? 2 + chunk % 4096 : 2 + chunk % 64;
  // Runs longer than this are read a second time.  Never the default 4 MiB:
  // the sanitizer's allocator makes a buffer that large cost a millisecond.
  settings.retained_run_bytes = retained;
  // The widest vector loop, or the one after it (SSE2 on x86-64 with AVX2,
  // the element loop alone on aarch64).
  const auto loops = pair_loops();
  settings.pair_loop = mode & 2 ? loops[loops.size() > 1 ? 1 : 0] : PairLoop::kWidest;
  settings.pair_search_after = mode >> 2;
  // Zeros before the data cost a read per chunk, and show nothing new past
  // a chunk or two.
  const uint64_t offset = large ? 4194304 - (place >> 5) % 8192 : (place >> 5) % (2 * settings.chunk_bytes + 64);
  const uint64_t slack = large ? (place >> 18) * 16 : (place >> 17) % 64;
  const uint64_t length = offset + bytes.size() + slack;
  testing::SparseSource file(length, offset, std::move(bytes));
  static testing::WholeBuffer whole;
  const auto all = whole.of(file);

  fuzz::agree("labels", fuzz::value("labels", status_log_labels(file, settings)), reference::status_log_labels(all));
  fuzz::agree("messages", fuzz::value("messages", error_logs(file, settings)), reference::error_logs(all));
  fuzz::agree("method", fuzz::value("method", instrument_method(file, settings)), reference::instrument_method(all));
  return 0;
}
