#include "metadata/trailer.hpp"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

#include "metadata/text.hpp"

namespace velmaro {

namespace {

// Offsets inside a slot.
constexpr size_t kAgc = 0, kAgcBytes = 13;
constexpr size_t kElapsedScanTime = 16;
constexpr size_t kOrbitrapResolution = 21;
constexpr size_t kMsOrderByte = 29;
constexpr size_t kCollisionEnergy = 75, kCollisionEnergyBytes = 16;
constexpr size_t kHcdEnergy = 100, kHcdEnergyBytes = 16;
constexpr size_t kIsolationWidth = 125;

// A fixed-width field: the whole width must be valid UTF-8, and it must hold
// something besides white space.
std::optional<std::string_view> text_field(std::span<const uint8_t> field) {
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

TrailerSlot decode_trailer_slot(std::span<const uint8_t, layout::kTrailerSlotBytes> slot) {
  const uint8_t* p = slot.data();
  TrailerSlot out;
  out.elapsed_scan_time = load_le<float>(p + kElapsedScanTime);
  out.orbitrap_resolution = load_le<uint32_t>(p + kOrbitrapResolution);
  out.ms_order = uint32_t{p[kMsOrderByte]} + 1;
  if (auto hcd = text_field(slot.subspan(kHcdEnergy, kHcdEnergyBytes))) out.hcd_energy.emplace(*hcd);
  if (auto collision = text_field(slot.subspan(kCollisionEnergy, kCollisionEnergyBytes))) {
    out.collision_energy = parse_decimal(*collision);
  }
  // NaN fails the comparison and is left out with zero and negatives.
  const float isolation = load_le<float>(p + kIsolationWidth);
  if (isolation > 0.0f) out.isolation_width = isolation;
  if (auto agc = text_field(slot.subspan(kAgc, kAgcBytes))) out.agc.emplace(*agc);
  return out;
}

std::optional<TrailerSlot> read_trailer_slot(const ByteSource& file, uint32_t index) {
  using namespace layout;
  const uint64_t start = kTrailerStart + kTrailerStride * uint64_t{index};
  if (start + kTrailerSlotBytes > file.length()) return std::nullopt;
  uint8_t slot[kTrailerSlotBytes];
  if (file.read_at(start, slot)) return std::nullopt;
  return decode_trailer_slot(slot);
}

std::optional<TrailerSlot> read_trailer_slot(std::string_view path, uint32_t index) {
  auto file = open_regular(path);
  if (!file) return std::nullopt;
  return read_trailer_slot(*file, index);
}

}  // namespace velmaro
