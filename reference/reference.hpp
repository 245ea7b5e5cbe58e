// The reader's algorithms written as plainly as they read, over a whole file
// held in memory: no chunks, no vector code, no reads of chosen ranges, and
// nothing of the fast core but its result types and the little-endian load.
// They are the oracle the tests and fuzz targets hold the core to, so they
// stay short and obvious, and speed does not matter.  Offsets are written out
// here rather than taken from the core's layout, so that a wrong constant
// there shows too.  Test-only: the core never reads a whole file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "metadata/metadata.hpp"
#include "peaks/peak_block.hpp"
#include "reader/reader.hpp"

namespace velmaro::reference {

using Bytes = std::span<const uint8_t>;

// The version and creation time, or nothing when the file ends before them.
std::optional<HeaderFields> probe_header(Bytes file);

// Sets num_scans and the six caches of `reader` from `file`; on failure it
// leaves the record as it was and gives the failure's message.
std::optional<std::string> initialize_caches(RawFileReader& reader, Bytes file);

// The peak block found from `start`, in the record layout of `version`.
std::optional<PeakPair> find_peak_block(Bytes file, uint64_t start, uint32_t version);

// A diagnostic field that owns its text, unlike the core's views into a slot.
struct Field {
  TrailerKey key;
  std::variant<double, int64_t, std::string> value;
};

// The diagnostic fields of a scan, in order; `file` is nothing when the file
// cannot be read.
std::vector<Field> trailer_extra(const RawFileReader& reader, uint32_t scan_number, std::optional<Bytes> file);

// A collision-energy text: its value, or nothing if it is not a number of
// the accepted form.  Reads in the C locale (the process's default).
std::optional<double> parse_decimal(std::string_view text);

std::vector<std::string> status_log_labels(Bytes file);
std::vector<std::string> error_logs(Bytes file);
std::string instrument_method(Bytes file);

}  // namespace velmaro::reference
