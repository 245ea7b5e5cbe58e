// The header probe and the cache builder over a sparse file of up to 8 MiB,
// so that every table of every layout is in reach.
#include "fuzz_input.hpp"
#include "reader/reader.hpp"
#include "sources.hpp"

using namespace velmaro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput in(data, size);
  const uint8_t mode = in.take<uint8_t>();
  const uint64_t length = in.take<uint32_t>() % (8u << 20);
  const uint64_t offset = in.take<uint32_t>() % (8u << 20);
  testing::SparseSource file(length, offset, in.rest());

  static const char* const kPaths[] = {"plain.raw", "a/small.RAW", "orbitrap/b.raw", "orbitrap_small.RAW"};
  static const uint32_t kVersions[] = {57, 66, 100};
  RawFileReader reader;
  reader.path = kPaths[mode & 3];
  auto header = probe_header(file);
  reader.version = (mode & 4) && header ? header->version : kVersions[(mode >> 3) % 3];

  const auto before = reader.rt_cache;
  if (auto failure = initialize_caches(reader, file)) {
    fuzz::require(reader.num_scans == 0 && reader.rt_cache == before);
    return 0;
  }
  const size_t n = reader.num_scans;
  fuzz::require(n == 48 || n == 100 || n == 145);
  fuzz::require(reader.rt_cache.size() == n && reader.scan_offsets.size() == n &&
                reader.injection_time_cache.size() == n && reader.master_scan_cache.size() == n &&
                reader.charge_cache.size() == n && reader.mono_mz_cache.size() == n);
  for (int32_t charge : reader.charge_cache) fuzz::require(charge >= 0 && charge <= 255);
  return 0;
}
