// The header probe and the cache builder over a sparse file of up to 8 MiB,
// so that every table of every layout is in reach, each against its literal
// version on the same bytes.
#include "fuzz_input.hpp"
#include "reader/reader.hpp"
#include "reference.hpp"
#include "sources.hpp"

using namespace velmaro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput in(data, size);
  const uint8_t mode = in.take<uint8_t>();
  const uint64_t length = in.take<uint32_t>() % (8u << 20);
  const uint64_t offset = in.take<uint32_t>() % (8u << 20);
  testing::SparseSource file(length, offset, in.rest());
  static testing::WholeBuffer whole;
  const auto bytes = whole.of(file);

  auto header = probe_header(file);
  fuzz::agree("header", header ? std::optional(*header) : std::nullopt, reference::probe_header(bytes));

  static const char* const kPaths[] = {"plain.raw", "a/small.RAW", "orbitrap/b.raw", "orbitrap_small.RAW"};
  static const uint32_t kVersions[] = {57, 66, 100};
  // A record built before, which a failed build must leave as it was.
  RawFileReader before;
  before.path = kPaths[mode & 3];
  before.version = (mode & 4) && header ? header->version : kVersions[(mode >> 3) % 3];
  before.num_scans = 1;
  before.rt_cache = {1.5};
  RawFileReader core = before, literal = before;
  const auto built = initialize_caches(core, file);
  fuzz::agree("failure", built ? std::nullopt : std::optional(built.error().message),
              reference::initialize_caches(literal, bytes));
  fuzz::agree("record", core, literal);
  return 0;
}
