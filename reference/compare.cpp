#include "compare.hpp"

#include <cstdio>

namespace velmaro::reference {

std::string show(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string show(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    }
  }
  return out + "\"";
}

bool same(const HeaderFields& a, const HeaderFields& b) {
  return a.version == b.version && a.creation_filetime == b.creation_filetime;
}

std::string show(const HeaderFields& header) {
  return "{version " + std::to_string(header.version) + ", filetime " + std::to_string(header.creation_filetime) + "}";
}

bool same(const RawFileReader& a, const RawFileReader& b) {
  return a.path == b.path && a.version == b.version && a.creation_filetime == b.creation_filetime &&
         a.num_scans == b.num_scans && same(a.rt_cache, b.rt_cache) && same(a.scan_offsets, b.scan_offsets) &&
         same(a.injection_time_cache, b.injection_time_cache) && same(a.master_scan_cache, b.master_scan_cache) &&
         same(a.charge_cache, b.charge_cache) && same(a.mono_mz_cache, b.mono_mz_cache);
}

std::string show(const RawFileReader& r) {
  return "{path " + show(r.path) + ", version " + std::to_string(r.version) + ", num_scans " +
         std::to_string(r.num_scans) + ",\n rt " + show(r.rt_cache) + ",\n offsets " + show(r.scan_offsets) +
         ",\n injection " + show(r.injection_time_cache) + ",\n master " + show(r.master_scan_cache) + ",\n charge " +
         show(r.charge_cache) + ",\n mono_mz " + show(r.mono_mz_cache) + "}";
}

bool same(const PeakPair& a, const PeakPair& b) { return same(a.mz, b.mz) && same(a.intensity, b.intensity); }

std::string show(const PeakPair& pair) {
  return std::to_string(pair.mz.size()) + " peaks {mz " + show(pair.mz) + ",\n intensity " + show(pair.intensity) + "}";
}

bool same(const Field& a, const Field& b) {
  if (a.key != b.key || a.value.index() != b.value.index()) return false;
  if (const auto* d = std::get_if<double>(&a.value)) return same(*d, std::get<double>(b.value));
  return a.value == b.value;
}

std::string show(const Field& field) {
  const std::string key = kTrailerKeyNames[static_cast<size_t>(field.key)];
  if (const auto* d = std::get_if<double>(&field.value)) return key + ": " + show(*d);
  if (const auto* i = std::get_if<int64_t>(&field.value)) return key + ": " + std::to_string(*i);
  return key + ": " + show(std::get<std::string>(field.value));
}

std::vector<Field> owned(const TrailerFields& fields) {
  std::vector<Field> out;
  for (const TrailerField& field : fields) {
    // Built in place: GCC 12 took a moved-in text for one read uninitialized.
    Field& copy = out.emplace_back(Field{field.key, 0.0});
    if (const auto* text = std::get_if<std::string_view>(&field.value)) {
      copy.value.emplace<std::string>(*text);
    } else if (const auto* number = std::get_if<double>(&field.value)) {
      copy.value = *number;
    } else {
      copy.value = std::get<int64_t>(field.value);
    }
  }
  return out;
}

}  // namespace velmaro::reference
