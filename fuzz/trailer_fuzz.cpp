// The trailer slot decoder on any 140 bytes, and the collision-energy
// grammar checked against the C library's correctly rounded strtod.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.hpp"
#include "metadata/text.hpp"
#include "metadata/trailer.hpp"

using namespace velmaro;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t slot[trailer_slot::kQueryBytes] = {};
  std::memcpy(slot, data, std::min(size, sizeof slot));
  const TrailerSlot fields = decode_trailer_slot(slot);
  fuzz::require(fields.ms_order >= 1 && fields.ms_order <= 256);
  fuzz::require(!fields.isolation_width || *fields.isolation_width > 0);
  for (const auto* text : {&fields.hcd_energy, &fields.agc}) {
    if (*text) {
      fuzz::require(!(*text)->empty());
      fuzz::require(valid_utf8({reinterpret_cast<const uint8_t*>((*text)->data()), (*text)->size()}));
    }
  }

  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const auto value = parse_decimal(text)) {
    fuzz::require(text.find_first_of(" _xXpP\t") == std::string::npos);
    char* end = nullptr;
    const double expected = std::strtod(text.c_str(), &end);
    fuzz::require(end == text.c_str() + text.size());
    fuzz::require(std::isnan(expected) ? std::isnan(*value) : std::memcmp(&expected, &*value, 8) == 0);
  }
  return 0;
}
