#include "metadata/trailer.hpp"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

#include "base/bytes.hpp"
#include "metadata/metadata.hpp"
#include "metadata/text.hpp"
#include "reader/reader.hpp"

namespace velmaro {

namespace {

using Slot = std::span<const uint8_t, trailer_slot::kQueryBytes>;

template <class T>
T number(Slot slot, Field field) {
  return load_le<T>(slot.data() + field.offset);
}

// A fixed-width text field: the whole width must be valid UTF-8, and it must
// hold something besides white space.
std::optional<std::string_view> text_field(Slot slot, Field place) {
  const auto field = slot.subspan(place.offset, place.width);
  if (!valid_utf8(field)) return std::nullopt;
  const auto text = trim_white_space(std::string_view(reinterpret_cast<const char*>(field.data()), field.size()));
  if (text.empty()) return std::nullopt;
  return text;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
  if (text.size() != lower_word.size()) return false;
  for (size_t k = 0; k < text.size(); ++k) {
    char c = text[k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[k]) return false;
  }
  return true;
}

// Numbers are read in the C locale whatever the process's locale is.  Made
// at load time: a function-local static would need the C++ runtime's guard,
// which ties the module to a newer C library.
const locale_t g_c_locale = newlocale(LC_ALL_MASK, "C", nullptr);

}  // namespace

std::optional<double> parse_decimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  const double sign = negative ? -1.0 : 1.0;
  if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity")) {
    return std::copysign(std::numeric_limits<double>::infinity(), sign);
  }
  if (equals_ignoring_case(text, "nan")) return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);

  // Checked here because strtod accepts more (hexadecimal, nan(...),
  // prefixes of longer words).
  size_t k = 0;
  while (k < text.size() && is_digit(text[k])) ++k;
  size_t digits = k;
  if (k < text.size() && text[k] == '.') {
    const size_t fraction_begin = ++k;
    while (k < text.size() && is_digit(text[k])) ++k;
    digits += k - fraction_begin;
  }
  if (digits == 0) return std::nullopt;
  if (k < text.size() && (text[k] == 'e' || text[k] == 'E')) {
    ++k;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) ++k;
    const size_t exponent_begin = k;
    while (k < text.size() && is_digit(text[k])) ++k;
    if (k == exponent_begin) return std::nullopt;
  }
  if (k != text.size()) return std::nullopt;

  // glibc's strtod rounds correctly, also where it reports a range error
  // (the infinity or the zero or subnormal it returns is the nearest
  // double).  The sign is applied afterwards, which is exact.
  if (g_c_locale == nullptr) throw std::bad_alloc();
  const std::string terminated(text);
  const double value = strtod_l(terminated.c_str(), nullptr, g_c_locale);
  return std::copysign(value, sign);
}

TrailerSlot decode_trailer_slot(Slot slot) {
  using namespace trailer_slot;
  TrailerSlot out;
  out.elapsed_scan_time = number<float>(slot, kElapsedScanTime);
  out.orbitrap_resolution = number<uint32_t>(slot, kOrbitrapResolution);
  out.ms_order = uint32_t{number<uint8_t>(slot, kMsOrderLessOne)} + 1;
  if (auto hcd = text_field(slot, kHcdEnergy)) out.hcd_energy.emplace(*hcd);
  if (auto collision = text_field(slot, kCollisionEnergy)) out.collision_energy = parse_decimal(*collision);
  // NaN fails the comparison and is left out with zero and negatives.
  const float isolation = number<float>(slot, kIsolationWidth);
  if (isolation > 0.0f) out.isolation_width = isolation;
  if (auto agc = text_field(slot, kAgc)) out.agc.emplace(*agc);
  return out;
}

std::optional<TrailerSlot> read_trailer_slot(const ByteSource& file, size_t index) {
  const uint64_t start = trailer_slot::start(index);
  if (start + trailer_slot::kQueryBytes > file.length()) return std::nullopt;
  uint8_t slot[trailer_slot::kQueryBytes];
  if (!file.read_at(start, slot)) return std::nullopt;
  return decode_trailer_slot(slot);
}

TrailerFields::TrailerFields(const RawFileReader& reader, uint32_t scan_number, const ByteSource* file) {
  using enum TrailerKey;
  const auto index = scan_index(scan_number, reader.num_scans);
  if (!index) return;
  const double mono_mz = cached_value(reader.mono_mz_cache, scan_number);
  add(kInjectionTime, cached_value(reader.injection_time_cache, scan_number));
  add(kMasterScanNumber, int64_t{cached_value(reader.master_scan_cache, scan_number)});
  add(kChargeState, int64_t{cached_value(reader.charge_cache, scan_number)});
  add(kMonoisotopicMz, mono_mz);
  add(kPrecursorMass, mono_mz);
  if (!has_trailer_slots(reader.version, reader.path)) {
    add(kMsOrder, int64_t{1});
    return;
  }
  // A slot that cannot be read ends the fields after the cached ones.
  if (file != nullptr) slot_ = read_trailer_slot(*file, *index);
  if (!slot_) return;
  add(kElapsedScanTime, slot_->elapsed_scan_time);
  add(kOrbitrapResolution, int64_t{slot_->orbitrap_resolution});
  add(kMsOrder, int64_t{slot_->ms_order});
  if (slot_->hcd_energy) {
    add(kHcdEnergy, std::string_view(*slot_->hcd_energy));
    add(kActivationType, kActivationTypeText);
  }
  if (slot_->collision_energy) add(kCollisionEnergy, *slot_->collision_energy);
  if (slot_->isolation_width) add(kIsolationWidth, *slot_->isolation_width);
  if (slot_->agc) add(kAgc, std::string_view(*slot_->agc));
}

namespace {
// Only a slot the query decodes is worth opening the file for.
std::optional<RawFile> file_for(const RawFileReader& reader, uint32_t scan_number) {
  if (!scan_index(scan_number, reader.num_scans) || !has_trailer_slots(reader.version, reader.path)) {
    return std::nullopt;
  }
  auto file = open_regular(reader.path);
  if (!file) return std::nullopt;
  return std::optional<RawFile>(std::move(*file));
}
}  // namespace

TrailerFields::TrailerFields(const RawFileReader& reader, uint32_t scan_number)
    : TrailerFields(reader, scan_number, file_for(reader, scan_number)) {}

// The file, a temporary of the delegating constructor, lives until the slot
// has been read.
TrailerFields::TrailerFields(const RawFileReader& reader, uint32_t scan_number, const std::optional<RawFile>& file)
    : TrailerFields(reader, scan_number, file ? &*file : nullptr) {}

}  // namespace velmaro
