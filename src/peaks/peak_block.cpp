#include "peaks/peak_block.hpp"

#include <algorithm>
#include <cstring>

#include "base/bytes.hpp"

namespace velmaro {

namespace {

using namespace peak_rules;

bool count_allowed(uint32_t count, uint32_t minimum) { return count >= minimum && count <= kMaxCount; }

template <class T>
bool mz_in_window(T mz) {
  return static_cast<T>(kMinMz) < mz && mz < static_cast<T>(kMaxMz);  // NaN fails both
}

// Decodes the accepted block's records, from the first read where it holds
// them, reading only the part that lies past it otherwise.
std::optional<PeakPair> decode_records(const ByteSource& source, const Window& window, uint64_t records,
                                       uint32_t count, RecordLayout layout) {
  const uint64_t width = layout == RecordLayout::k12Byte ? 12 : 8;
  const uint64_t size = width * count;
  const uint8_t* p = window.holds(records, size) ? window.at(records) : nullptr;
  Window joined;
  if (p == nullptr) {
    // The records start inside the first read.
    const std::span<const uint8_t> held(window.at(records), static_cast<size_t>(window.end() - records));
    auto rest = Window::read(source, records, records + size, held);
    if (!rest) return std::nullopt;
    joined = std::move(*rest);
    p = joined.at(records);
  }
  PeakPair pair;
  pair.mz.resize(count);
  pair.intensity.resize(count);
  for (uint32_t i = 0; i < count; ++i, p += width) {
    if (layout == RecordLayout::k12Byte) {
      pair.mz[i] = load_le<double>(p);
      pair.intensity[i] = load_le<float>(p + 8);
    } else {
      pair.mz[i] = load_le<float>(p);
      pair.intensity[i] = load_le<float>(p + 4);
    }
  }
  return pair;
}

struct Candidate {
  uint64_t records;
  uint32_t count;
};

// Byte by byte over 10000 positions: the first block of more than 50 peaks
// wins; failing that, the last acceptable block.
std::optional<Candidate> search_12_byte(const Window& window, uint64_t start, uint64_t length) {
  const uint64_t limit = std::min(start + kWindow12, length);
  std::optional<Candidate> held;
  for (uint64_t p = start; p < limit && p + 12 < length; ++p) {
    const uint32_t count = load_le<uint32_t>(window.at(p));
    if (!count_allowed(count, kMinCount)) continue;
    if (p + 4 + 12ull * count > length) continue;
    const double first = load_le<double>(window.at(p + 4));
    if (!mz_in_window(first)) continue;
    const double second = load_le<double>(window.at(p + 16));
    if (second < first + kDescentTolerance) continue;  // NaN passes
    held = Candidate{p + 4, count};
    if (count > kFinalCount) break;
  }
  return held;
}

// Three fixed places, then 512 positions for a block of at least 101 peaks:
// the first acceptable candidate wins.
std::optional<Candidate> search_8_byte(const Window& window, uint64_t start, uint64_t length) {
  auto acceptable = [&](uint64_t p, uint32_t minimum) {
    const uint32_t count = load_le<uint32_t>(window.at(p));
    return count_allowed(count, minimum) && p + 4 + 8ull * count <= length &&
           mz_in_window(load_le<float>(window.at(p + 4)));
  };
  for (uint64_t offset : kFixedTries8) {
    const uint64_t p = start + offset;
    if (p + 4 > length) continue;
    if (acceptable(p, kMinCount)) return Candidate{p + 4, load_le<uint32_t>(window.at(p))};
  }
  for (uint64_t p = start; p < start + kWindow8; ++p) {
    if (p + 4 > length) return std::nullopt;
    if (acceptable(p, kMinScannedCount)) return Candidate{p + 4, load_le<uint32_t>(window.at(p))};
  }
  return std::nullopt;
}

}  // namespace

std::optional<PeakPair> find_peak_block(const ByteSource& source, uint64_t start, RecordLayout layout,
                                        uint64_t first_read) {
  const uint64_t length = source.length();
  if (start >= length) return std::nullopt;
  // Every candidate's count and tested m/z values lie in the first read: the
  // tests read at most 24 bytes past the last position (12-byte layout) or 8
  // past it (8-byte layout).  Reading a little more there usually takes in
  // the whole accepted block too, which saves a second read.
  const uint64_t reach = layout == RecordLayout::k12Byte ? kWindow12 + 24 : kWindow8 + 8;
  auto window = Window::read(source, start, start + std::max(reach, first_read));
  if (!window) return std::nullopt;
  const auto candidate = layout == RecordLayout::k12Byte ? search_12_byte(*window, start, length)
                                                         : search_8_byte(*window, start, length);
  if (!candidate) return std::nullopt;
  return decode_records(source, *window, candidate->records, candidate->count, layout);
}

std::optional<PeakPair> native_get_peaks(const RawFileReader& reader, uint32_t scan_num) {
  const auto index = scan_index(scan_num, std::min<size_t>(reader.num_scans, reader.scan_offsets.size()));
  if (!index) return std::nullopt;
  auto file = open_regular(reader.path);
  if (!file) return std::nullopt;
  return find_peak_block(*file, reader.scan_offsets[*index], record_layout(reader.version));
}

}  // namespace velmaro
