// The per-scan trailer slot: the diagnostic values beyond the ones the scan
// caches already hold.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "reader/raw_file.hpp"
#include "reader/reader.hpp"

namespace velmaro {

namespace layout {
// Only the head of a slot holds values the trailer query reports.
inline constexpr uint64_t kTrailerSlotBytes = 140;
}  // namespace layout

// The values of one slot; an absent member is a field that did not decode.
struct TrailerSlot {
  double elapsed_scan_time = 0.0;
  uint32_t orbitrap_resolution = 0;
  uint32_t ms_order = 1;                // the stored byte plus one: 1 to 256
  std::optional<std::string> hcd_energy;
  std::optional<double> collision_energy;
  std::optional<double> isolation_width;
  std::optional<std::string> agc;
};

// Only version-66 files in the orbitrap layout carry decodable slots.
inline bool has_trailer_layout(const RawFileReader& reader) {
  return reader.version == 66 && path_is_orbitrap(reader.path);
}

TrailerSlot decode_trailer_slot(std::span<const uint8_t, layout::kTrailerSlotBytes> slot);

// The slot of scan index `index` (scan number minus one), or nothing when the
// file cannot be read or ends before the slot does.
std::optional<TrailerSlot> read_trailer_slot(const ByteSource& file, uint32_t index);
std::optional<TrailerSlot> read_trailer_slot(std::string_view path, uint32_t index);

// A decimal number as the collision-energy field writes it: optional sign,
// digits with at most one point, optional exponent, or inf / infinity / nan
// in any case.  The nearest double, or nothing if the text has any other form.
std::optional<double> parse_decimal(std::string_view text);

}  // namespace velmaro
