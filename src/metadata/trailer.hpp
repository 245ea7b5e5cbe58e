// The per-scan trailer slot: the diagnostic values beyond the ones the scan
// caches already hold.  metadata.hpp has what the binding calls.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/raw_file.hpp"
#include "reader/layout.hpp"

namespace velmaro {

// The values of one slot; an absent member is a field that did not decode.
struct TrailerSlot {
  double elapsed_scan_time = 0.0;
  uint32_t orbitrap_resolution = 0;
  uint32_t ms_order = 1;  // the stored byte plus one: 1 to 256
  std::optional<std::string> hcd_energy;
  std::optional<double> collision_energy;
  std::optional<double> isolation_width;
  std::optional<std::string> agc;
};

TrailerSlot decode_trailer_slot(std::span<const uint8_t, trailer_slot::kQueryBytes> slot);

// The slot of scan index `index` (scan number minus one), or nothing when the
// file cannot be read or ends before the slot's head does.
std::optional<TrailerSlot> read_trailer_slot(const ByteSource& file, size_t index);

// A decimal number as the collision-energy field writes it: optional sign,
// digits with at most one point, optional exponent, or inf / infinity / nan
// in any case.  The nearest double, or nothing if the text has any other form.
std::optional<double> parse_decimal(std::string_view text);

}  // namespace velmaro
