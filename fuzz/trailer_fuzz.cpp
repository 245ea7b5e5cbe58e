// A scan's trailer fields, from its cached values and its slot's bytes, with
// the file ending anywhere near the slot's end; and the collision-energy
// number grammar on any text.  Each against its literal version.
#include <string>

#include "fuzz_input.hpp"
#include "metadata/metadata.hpp"
#include "metadata/trailer.hpp"
#include "reference.hpp"
#include "sources.hpp"

using namespace velmaro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  fuzz::agree("number", parse_decimal(text), reference::parse_decimal(text));

  fuzz::FuzzInput in(data, size);
  const uint8_t mode = in.take<uint8_t>();
  const uint32_t scan_number = in.take<uint8_t>() % 150;  // 0 and past the last scan too
  const int64_t past_slot = in.take<uint8_t>() % 16 - 8;  // where the file ends, from the slot's end
  RawFileReader reader;
  reader.path = mode % 8 == 1 ? "/data/Orbitrap/run.raw" : "/data/orbitrap/run.raw";
  reader.version = mode % 8 == 0 ? 57 : 66;
  reader.num_scans = reader.version == 57 ? 48 : 145;
  for (uint32_t i = 0; i < reader.num_scans; ++i) {
    reader.injection_time_cache.push_back(i + 0.25);
    reader.master_scan_cache.push_back(1000 - static_cast<int32_t>(i));
    reader.charge_cache.push_back(static_cast<int32_t>(i));
    reader.mono_mz_cache.push_back(400 + i / 8.0);
  }
  const uint64_t slot = trailer_slot::start(scan_number == 0 ? 0 : scan_number - 1);
  testing::SparseSource file(slot + trailer_slot::kQueryBytes + past_slot, slot, in.rest());
  static testing::WholeBuffer whole;
  const bool readable = mode % 8 != 2;
  fuzz::agree("fields", reference::owned(TrailerFields(reader, scan_number, readable ? &file : nullptr)),
              reference::trailer_extra(reader, scan_number, readable ? std::optional(whole.of(file)) : std::nullopt));
  return 0;
}
