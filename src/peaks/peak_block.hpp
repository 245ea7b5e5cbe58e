// src/peaks: locating and decoding the peak block of a scan, a 32-bit peak
// count followed by that many (m/z, intensity) records, found by testing
// candidate positions at and after the scan's data offset.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/raw_file.hpp"
#include "reader/reader.hpp"

namespace velmaro {

struct PeakPair {
  std::vector<double> mz;
  std::vector<float> intensity;
};

enum class RecordLayout {
  k12Byte,  // double m/z, single intensity (format version 66)
  k8Byte,   // single m/z, single intensity (every other version)
};

inline RecordLayout record_layout(uint32_t version) {
  return version == 66 ? RecordLayout::k12Byte : RecordLayout::k8Byte;
}

namespace peak_rules {
inline constexpr uint32_t kMinCount = 11;
inline constexpr uint32_t kMaxCount = 199999;
inline constexpr uint32_t kMinScannedCount = 101;  // 8-byte layout, positional scan
inline constexpr uint32_t kFinalCount = 50;        // 12-byte layout: a larger block ends the search
inline constexpr uint64_t kWindow12 = 10000;
inline constexpr uint64_t kWindow8 = 512;
inline constexpr uint64_t kFirstRead = 16384;  // the search window, and blocks of up to ~1300 peaks
inline constexpr uint64_t kFixedTries8[] = {190, 124, 0};
inline constexpr double kMinMz = 50.0;
inline constexpr double kMaxMz = 5000.0;
inline constexpr double kDescentTolerance = -0.001;
}  // namespace peak_rules

// Searches `source` from `start` for the block the rules select.  Nothing is
// found (and nothing is read) when start lies at or past the end; a failed
// read also gives nothing.  `first_read` is how much the first read takes
// (at least the search window): more saves a second read for a longer block,
// and changes nothing else.
std::optional<PeakPair> find_peak_block(const ByteSource& source, uint64_t start, RecordLayout layout,
                                        uint64_t first_read = peak_rules::kFirstRead);

// The peak block of scan `scan_num` (1-based) of the file at reader.path.
std::optional<PeakPair> native_get_peaks(const RawFileReader& reader, uint32_t scan_num);

}  // namespace velmaro
