#include "reference.hpp"

#include <algorithm>
#include <cstdlib>

#include "base/bytes.hpp"

namespace velmaro::reference {

namespace {

bool contains(const std::string& text, const char* word) { return text.find(word) != std::string::npos; }

template <class T>
T at(Bytes file, uint64_t offset) {
  return load_le<T>(file.data() + offset);
}

// ---- text -------------------------------------------------------------------

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

struct CodePoint {
  char32_t value;
  size_t begin, end;  // its bytes
};

// Whether `bytes` are well-formed UTF-8, with their code points into
// `points` if given: each sequence is decoded in full, then held to the
// shortest form, outside the surrogates, at most U+10FFFF.
bool decode_utf8(std::string_view bytes, std::vector<CodePoint>* points = nullptr) {
  size_t k = 0;
  while (k < bytes.size()) {
    const auto lead = static_cast<uint8_t>(bytes[k]);
    size_t n;
    char32_t c, least;
    if (lead < 0x80) {
      n = 1, c = lead, least = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      n = 2, c = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      n = 3, c = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      n = 4, c = lead & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (k + n > bytes.size()) return false;
    for (size_t j = 1; j < n; ++j) {
      const auto next = static_cast<uint8_t>(bytes[k + j]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (points != nullptr) points->push_back({c, k, k + n});
    k += n;
  }
  return true;
}

bool white_space(char32_t c) {
  for (char32_t w : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) {
    if (c == w) return true;
  }
  return c >= 0x2000 && c <= 0x200A;
}

// A fixed-width text field: valid UTF-8 over its whole width, trimmed of
// white space, and not empty.
std::optional<std::string> text_field(Bytes file, uint64_t offset, size_t width) {
  const std::string bytes(reinterpret_cast<const char*>(file.data() + offset), width);
  std::vector<CodePoint> points;
  if (!decode_utf8(bytes, &points)) return std::nullopt;
  size_t first = 0, last = points.size();
  while (first < last && white_space(points[first].value)) ++first;
  while (last > first && white_space(points[last - 1].value)) --last;
  if (first == last) return std::nullopt;
  return bytes.substr(points[first].begin, points[last - 1].end - points[first].begin);
}

// ---- code units ---------------------------------------------------------------

// The file as little-endian 16-bit units from offset 0, without a final odd byte.
struct Units {
  Bytes file;
  uint64_t size() const { return file.size() / 2; }
  uint16_t operator[](uint64_t k) const { return static_cast<uint16_t>(file[2 * k] | file[2 * k + 1] << 8); }
};

// The first position of the anchor in the view: the first even byte offset
// where its UTF-16LE bytes stand wholly inside the view.
std::optional<uint64_t> find_anchor(const Units& units, std::string_view anchor) {
  std::string pattern;
  for (char c : anchor) pattern += {c, '\0'};
  const std::string_view view(reinterpret_cast<const char*>(units.file.data()), 2 * units.size());
  for (size_t at = view.find(pattern); at != std::string_view::npos; at = view.find(pattern, at + 1)) {
    if (at % 2 == 0) return at / 2;
  }
  return std::nullopt;
}

// The end of the run at q: the first unit below 0x20 after it, or the end.
uint64_t run_end(const Units& units, uint64_t q) {
  while (q < units.size() && units[q] >= 0x20) ++q;
  return q;
}

// Units [begin, end) as strict UTF-16, re-encoded as UTF-8.
std::optional<std::string> decode_utf16(const Units& units, uint64_t begin, uint64_t end) {
  std::string out;
  for (uint64_t k = begin; k < end; ++k) {
    char32_t c = units[k];
    if (c >= 0xDC00 && c <= 0xDFFF) return std::nullopt;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (k + 1 == end || units[k + 1] < 0xDC00 || units[k + 1] > 0xDFFF) return std::nullopt;
      c = 0x10000 + ((c - 0xD800) << 10) + (units[k + 1] - 0xDC00);
      ++k;
    }
    append_utf8(out, c);
  }
  return out;
}

}  // namespace

// ---- header probe and caches --------------------------------------------------

std::optional<HeaderFields> probe_header(Bytes file) {
  if (file.size() < 40) return std::nullopt;  // the version at 36 is the last place read
  HeaderFields header;
  header.version = at<uint32_t>(file, 36);
  if (header.version != 57 && header.version != 66) header.version = at<uint32_t>(file, 12);
  header.creation_filetime = at<uint64_t>(file, 16);
  return header;
}

std::optional<std::string> initialize_caches(RawFileReader& reader, Bytes file) {
  const uint64_t length = file.size();
  const uint32_t n = reader.version == 57 ? 48 : reader.version == 66 ? 145 : 100;
  const bool small = contains(reader.path, "small.RAW");
  const bool orbitrap = contains(reader.path, "orbitrap");

  std::vector<uint64_t> offsets;
  if (small) {
    for (uint64_t offset : {88820, 118112, 105244, 109492, 117780, 124332, 129828, 135892, 295708, 146733}) {
      offsets.push_back(offset);
    }
    while (offsets.size() < n) offsets.push_back(0);
  } else if (orbitrap) {
    uint64_t running = 3666;
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t p = 6464174 + 88 * i;
      if (p > length) {
        const std::string of_length = " out of range for slice of length " + std::to_string(length);
        if (length < p - 4) return "range start index " + std::to_string(p - 4) + of_length;
        return "range end index " + std::to_string(p) + of_length;
      }
      offsets.push_back(running);
      running += at<uint32_t>(file, p - 4);
    }
  }

  reader.num_scans = n;
  reader.rt_cache.assign(n, 0.0);
  reader.injection_time_cache.assign(n, 0.0);
  reader.scan_offsets.assign(n, 0);
  reader.master_scan_cache.assign(n, 0);
  reader.charge_cache.assign(n, 0);
  reader.mono_mz_cache.assign(n, 0.0);

  for (uint64_t i = 0; i < n; ++i) {
    if (orbitrap) {
      const uint64_t slot = 6514414 + 558 * i;
      if (slot + 76 > length) continue;
      reader.injection_time_cache[i] = at<float>(file, slot + 12);
      reader.master_scan_cache[i] = at<int32_t>(file, slot + 62);
      reader.mono_mz_cache[i] = at<double>(file, slot + 66);
      reader.charge_cache[i] = at<uint8_t>(file, slot + 74);
    } else if (reader.version == 57 && small) {
      const uint64_t record = 1492161 + 254 * i;
      if (record + 40 > length) continue;
      reader.injection_time_cache[i] = at<float>(file, record);
      reader.master_scan_cache[i] = -1;
    }
  }

  if (small || orbitrap) {
    const uint64_t start = small ? 1481842 : 6464174;
    const uint64_t stride = small ? 72 : 88;
    for (uint64_t i = 0; i < n; ++i) {
      if (start + stride * i + 8 <= length) reader.rt_cache[i] = at<double>(file, start + stride * i);
    }
  }

  for (size_t k = 0; k < offsets.size() && k < n; ++k) reader.scan_offsets[k] = offsets[k];
  return std::nullopt;
}

// ---- peak block -----------------------------------------------------------------

std::optional<PeakPair> find_peak_block(Bytes file, uint64_t start, uint32_t version) {
  const uint64_t len = file.size();
  if (start >= len) return std::nullopt;
  PeakPair pair;

  if (version == 66) {
    const uint64_t limit = std::min(start + 10000, len);
    bool accepted = false;
    for (uint64_t p = start;; ++p) {
      if (p >= limit || p + 12 >= len) break;
      const auto count = at<uint32_t>(file, p);
      if (count < 11 || count > 199999) continue;
      if (p + 4 + 12 * uint64_t{count} > len) continue;
      const auto m1 = at<double>(file, p + 4);
      if (!(50.0 < m1 && m1 < 5000.0)) continue;
      const auto m2 = at<double>(file, p + 16);
      if (m2 < m1 + -0.001) continue;
      pair.mz.clear();
      pair.intensity.clear();
      for (uint64_t i = 0; i < count; ++i) {
        pair.mz.push_back(at<double>(file, p + 4 + 12 * i));
        pair.intensity.push_back(at<float>(file, p + 12 + 12 * i));
      }
      accepted = true;
      if (count > 50) return pair;
    }
    if (accepted) return pair;
    return std::nullopt;
  }

  auto decode = [&](uint64_t q, uint32_t count) {
    for (uint64_t i = 0; i < count; ++i) {
      pair.mz.push_back(at<float>(file, q + 8 * i));
      pair.intensity.push_back(at<float>(file, q + 8 * i + 4));
    }
    return pair;
  };
  for (uint64_t o : {190, 124, 0}) {
    const uint64_t p = start + o;
    if (p + 4 > len) continue;
    const auto count = at<uint32_t>(file, p);
    if (count < 11 || count > 199999) continue;
    if (p + 4 + 8 * uint64_t{count} > len) continue;
    const auto m1 = at<float>(file, p + 4);
    if (!(50.0f < m1 && m1 < 5000.0f)) continue;
    return decode(p + 4, count);
  }
  for (uint64_t p = start; p < start + 512; ++p) {
    if (p + 4 > len) return std::nullopt;
    const auto count = at<uint32_t>(file, p);
    if (count < 101 || count > 199999) continue;
    if (p + 4 + 8 * uint64_t{count} > len) continue;
    const auto m1 = at<float>(file, p + 4);
    if (!(50.0f < m1 && m1 < 5000.0f)) continue;
    return decode(p + 4, count);
  }
  return std::nullopt;
}

// ---- trailer ------------------------------------------------------------------------

std::optional<double> parse_decimal(std::string_view text) {
  std::string_view rest = text;
  if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) rest.remove_prefix(1);
  std::string lower(rest);
  for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  const bool word = lower == "inf" || lower == "infinity" || lower == "nan";
  if (!word) {
    auto digit = [&](size_t k) { return k < rest.size() && rest[k] >= '0' && rest[k] <= '9'; };
    size_t k = 0, digits = 0, points = 0;
    for (; digit(k) || (k < rest.size() && rest[k] == '.'); ++k) (rest[k] == '.' ? points : digits) += 1;
    if (digits == 0 || points > 1) return std::nullopt;
    if (k < rest.size() && (rest[k] == 'e' || rest[k] == 'E')) {
      ++k;
      if (k < rest.size() && (rest[k] == '+' || rest[k] == '-')) ++k;
      const size_t exponent = k;
      while (digit(k)) ++k;
      if (k == exponent) return std::nullopt;
    }
    if (k != rest.size()) return std::nullopt;
  }
  // glibc's strtod rounds correctly, and reads the words with their sign.
  return std::strtod(std::string(text).c_str(), nullptr);
}

std::vector<Field> trailer_extra(const RawFileReader& reader, uint32_t scan_number, std::optional<Bytes> file) {
  using enum TrailerKey;
  std::vector<Field> fields;
  const uint64_t i = uint64_t{scan_number} - 1;  // scan 0 wraps past every bound
  if (i >= reader.num_scans) return fields;
  fields.push_back({kInjectionTime, reader.injection_time_cache[i]});
  fields.push_back({kMasterScanNumber, int64_t{reader.master_scan_cache[i]}});
  fields.push_back({kChargeState, int64_t{reader.charge_cache[i]}});
  fields.push_back({kMonoisotopicMz, reader.mono_mz_cache[i]});
  fields.push_back({kPrecursorMass, reader.mono_mz_cache[i]});
  if (!(reader.version == 66 && contains(reader.path, "orbitrap"))) {
    fields.push_back({kMsOrder, int64_t{1}});
    return fields;
  }
  if (!file) return fields;
  const uint64_t s = 6514414 + 558 * i;
  if (s + 140 > file->size()) return fields;
  fields.push_back({kElapsedScanTime, double{at<float>(*file, s + 16)}});
  fields.push_back({kOrbitrapResolution, int64_t{at<uint32_t>(*file, s + 21)}});
  fields.push_back({kMsOrder, int64_t{at<uint8_t>(*file, s + 29)} + 1});
  if (auto hcd = text_field(*file, s + 100, 16)) {
    fields.push_back({kHcdEnergy, *hcd});
    fields.push_back({kActivationType, std::string("HigherEnergyCollisionalDissociation")});
  }
  if (auto collision = text_field(*file, s + 75, 16)) {
    if (auto value = parse_decimal(*collision)) fields.push_back({kCollisionEnergy, *value});
  }
  const auto isolation = at<float>(*file, s + 125);
  if (isolation > 0) fields.push_back({kIsolationWidth, double{isolation}});
  if (auto agc = text_field(*file, s, 13)) fields.push_back({kAgc, *agc});
  return fields;
}

// ---- texts ----------------------------------------------------------------------------

std::vector<std::string> status_log_labels(Bytes file) {
  const Units units{file};
  std::vector<std::string> labels;
  const auto a = find_anchor(units, "Coulombmeter");
  if (!a) return labels;
  uint64_t q = *a;
  for (int iteration = 0; iteration < 300; ++iteration) {
    const uint64_t e = run_end(units, q);
    if (e > q) {
      if (auto text = decode_utf16(units, q, e)) labels.push_back(*text);
    }
    uint64_t k = e + 1;
    while (k < units.size() && !(units[k] >= 0x20 && units[k] <= 0x7E)) ++k;
    if (k >= units.size()) break;
    if (labels.size() >= 2 && labels.back().size() < 2) break;
    q = k;
  }
  return labels;
}

std::vector<std::string> error_logs(Bytes file) {
  const Units units{file};
  std::vector<std::string> messages;
  const auto a = find_anchor(units, "Possible spray instability");
  if (!a) return messages;
  uint64_t q = *a;
  for (int iteration = 0; iteration < 100; ++iteration) {
    const uint64_t e = run_end(units, q);
    if (e > q) {
      auto text = decode_utf16(units, q, e);
      if (text && std::find(messages.begin(), messages.end(), *text) == messages.end()) messages.push_back(*text);
    }
    uint64_t k = e + 1;
    while (k < units.size() && units[k] < 0x20) ++k;
    if (k >= units.size()) break;
    if (units[k] > 0x100) break;
    q = k;
  }
  return messages;
}

std::string instrument_method(Bytes file) {
  if (file.size() < 5) return "";
  const std::string_view bytes(reinterpret_cast<const char*>(file.data()), file.size());
  const size_t s = bytes.substr(0, std::min<size_t>(bytes.size(), 4194304)).find("<?xml");
  if (s == std::string_view::npos) return "";
  const std::string window(bytes.substr(s, 200000));
  if (!decode_utf8(window)) return "";
  for (const std::string_view tag : {"</InstrumentMethod>", "</CmData>"}) {
    const size_t cut = window.find(tag);
    if (cut != std::string::npos) return window.substr(0, cut + tag.size());
  }
  return window;
}

}  // namespace velmaro::reference
