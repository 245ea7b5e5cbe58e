// The reader record, the header probe and the scan cache builder.
#pragma once

#include <cstdint>
#include "reader/source_location.hpp"
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "reader/expected.hpp"
#include "reader/raw_file.hpp"

namespace velmaro {

// An internal failure: Python sees it as PanicException with this message.
struct Failure {
  std::string message;
  SourceLocation where;

  static Failure at(std::string message, SourceLocation where = SourceLocation::current()) {
    return Failure{std::move(message), where};
  }
};

inline constexpr std::string_view kUnwrapNone = "called `Option::unwrap()` on a `None` value";

// File places that the caches come from.
namespace layout {
inline constexpr uint64_t kVersionOffset = 36;
inline constexpr uint64_t kVersionFallbackOffset = 12;
inline constexpr uint64_t kCreationTimeOffset = 16;

inline constexpr uint64_t kSmallRtStart = 1481842;
inline constexpr uint64_t kSmallRtStride = 72;
inline constexpr uint64_t kOrbitrapRtStart = 6464174;
inline constexpr uint64_t kOrbitrapRtStride = 88;
inline constexpr uint64_t kOrbitrapFirstOffset = 3666;

inline constexpr uint64_t kTrailerStart = 6514414;
inline constexpr uint64_t kTrailerStride = 558;
inline constexpr uint64_t kTrailerCacheBytes = 76;

inline constexpr uint64_t kInjectionStart = 1492161;
inline constexpr uint64_t kInjectionStride = 254;
inline constexpr uint64_t kInjectionBytes = 40;

inline constexpr uint64_t kSmallScanOffsets[] = {88820,  118112, 105244, 109492, 117780,
                                                 124332, 129828, 135892, 295708, 146733};
}  // namespace layout

// Case-sensitive substring tests on the path text.
inline bool path_is_small(std::string_view path) { return path.find("small.RAW") != std::string_view::npos; }
inline bool path_is_orbitrap(std::string_view path) { return path.find("orbitrap") != std::string_view::npos; }

// The scan count follows from the format version alone.
inline uint32_t scan_count(uint32_t version) {
  return version == 57 ? 48 : version == 66 ? 145 : 100;
}

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

// Element scan_number - 1 of a cache, or zero when it has no such element.
template <class T>
T cached_value(const std::vector<T>& cache, uint32_t scan_number) {
  const uint64_t index = static_cast<uint64_t>(scan_number) - 1;  // 0 wraps past every length
  return index < cache.size() ? cache[index] : T{};
}

struct HeaderFields {
  uint32_t version = 0;
  uint64_t creation_filetime = 0;
};

// Reads the version and creation time from their fixed header places.
Expected<HeaderFields, IoError> probe_header(const ByteSource& file);

// Rebuilds num_scans and the six caches from the file at reader.path.  On
// failure the record is left exactly as it was.
std::optional<Failure> initialize_caches(RawFileReader& reader);

// The same build from a source already open; `path` only selects the layout.
std::optional<Failure> initialize_caches(RawFileReader& reader, const ByteSource& file);

// Why construction failed: an operating-system error of the header probe, or
// a failure of the cache builder.
using OpenError = std::variant<IoError, Failure>;

// The constructor: probe the header, then build the caches.
Expected<RawFileReader, OpenError> open_reader(std::string path);

// Unix seconds of the creation time, as decimal text.
std::string creation_date(uint64_t creation_filetime);

}  // namespace velmaro
