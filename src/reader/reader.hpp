// src/reader: the reader record, the header probe, the scan cache builder,
// and the file format's fixed places (layout.hpp).  The Python binding
// (src/lib) calls these; they know nothing of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "base/raw_file.hpp"
#include "reader/layout.hpp"

namespace velmaro {

inline constexpr std::string_view kUnwrapNone = "called `Option::unwrap()` on a `None` value";

// The state of one RawFileReader object: the path it was opened with, the
// header values and six per-scan caches, each num_scans long once built.
struct RawFileReader {
  std::string path;
  std::vector<double> rt_cache;
  std::vector<uint64_t> scan_offsets;
  std::vector<double> injection_time_cache;
  std::vector<int32_t> master_scan_cache;
  std::vector<int32_t> charge_cache;
  std::vector<double> mono_mz_cache;
  uint64_t creation_filetime = 0;
  uint32_t version = 0;
  uint32_t num_scans = 0;
};

// Scan number n, counted from 1, is element n - 1 of each per-scan table of
// `count` elements; scan 0 and numbers past the end have none.
inline std::optional<size_t> scan_index(uint32_t scan_number, size_t count) {
  if (scan_number == 0 || scan_number - uint64_t{1} >= count) return std::nullopt;
  return scan_number - size_t{1};
}

// A cache's value for a scan, or zero when it has none.
template <class T>
T cached_value(const std::vector<T>& cache, uint32_t scan_number) {
  const auto index = scan_index(scan_number, cache.size());
  return index ? cache[*index] : T{};
}

struct HeaderFields {
  uint32_t version = 0;
  uint64_t creation_filetime = 0;
};

// Reads the version and creation time from their fixed header places; an
// I/O error if the source ends before them or cannot be read.
Expected<HeaderFields> probe_header(const ByteSource& file);

// Rebuilds num_scans and the six caches from the file at reader.path, opened
// anew.  On failure (an internal one) the record is left exactly as it was.
Expected<void> initialize_caches(RawFileReader& reader);

// The same build from a source already open; `path` only selects the layout.
Expected<void> initialize_caches(RawFileReader& reader, const ByteSource& file);

// The constructor: open the file once, probe the header and build the caches
// from that one handle.  An I/O error of the open or the probe, or an
// internal failure of the build.
Expected<RawFileReader> open_reader(std::string path);

// Unix seconds of the creation time, as decimal text.
std::string creation_date(uint64_t creation_filetime);

}  // namespace velmaro
