// src/metadata: what the binding asks of a scan's trailer slot and of the
// file-level texts.  trailer.hpp decodes a slot, text_logs.cpp scans the file
// for the texts, text.hpp holds the UTF-8 and UTF-16 rules they share, and
// pair_search.hpp the vector search the scans use.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "base/interrupt.hpp"
#include "base/raw_file.hpp"
#include "metadata/pair_search.hpp"
#include "metadata/trailer.hpp"
#include "reader/reader.hpp"

namespace velmaro {

// ---- the trailer query -------------------------------------------------------

// The keys of a scan's diagnostic fields, in the order they are given.
enum class TrailerKey : uint8_t {
  kInjectionTime,
  kMasterScanNumber,
  kChargeState,
  kMonoisotopicMz,
  kPrecursorMass,
  kElapsedScanTime,
  kOrbitrapResolution,
  kMsOrder,
  kHcdEnergy,
  kActivationType,
  kCollisionEnergy,
  kIsolationWidth,
  kAgc,
  kCount
};
inline constexpr const char* kTrailerKeyNames[static_cast<size_t>(TrailerKey::kCount)] = {
    "Ion Injection Time (ms)", "Master Scan Number", "Charge State",  "Monoisotopic M/Z", "Precursor Mass",
    "Elapsed Scan Time (sec)", "Orbitrap Resolution", "MS Order",    "HCD Energy eV",    "Activation Type",
    "Collision Energy",        "Isolation Width",     "AGC",
};
inline constexpr std::string_view kActivationTypeText = "HigherEnergyCollisionalDissociation";

// A value is a float, an int or a text.
using TrailerValue = std::variant<double, int64_t, std::string_view>;

struct TrailerField {
  TrailerKey key;
  TrailerValue value;
};

// The diagnostic fields of a scan, in order: none for a scan outside the
// file; the five cached values; then, for a file with trailer slots, the
// slot's fields if its head can be read (`file` may be nullptr), and
// otherwise an MS order of 1.  The file is opened only when a slot is to be
// read.  The texts are views into the object's own copy of the slot, so it
// is used where it is made: neither copied nor moved.
class TrailerFields {
 public:
  TrailerFields(const RawFileReader& reader, uint32_t scan_number);
  TrailerFields(const RawFileReader& reader, uint32_t scan_number, const ByteSource* file);
  TrailerFields(const TrailerFields&) = delete;
  TrailerFields& operator=(const TrailerFields&) = delete;

  const TrailerField* begin() const { return fields_.data(); }
  const TrailerField* end() const { return fields_.data() + size_; }
  size_t size() const { return size_; }

 private:
  TrailerFields(const RawFileReader& reader, uint32_t scan_number, const std::optional<RawFile>& file);
  void add(TrailerKey key, TrailerValue value) { fields_[size_++] = {key, value}; }

  // Each key at most once, so the fields need no allocation of their own.
  std::array<TrailerField, static_cast<size_t>(TrailerKey::kCount)> fields_;
  size_t size_ = 0;
  std::optional<TrailerSlot> slot_;
};

// ---- the file-level texts ----------------------------------------------------
// The status-log labels and the error-log messages, found as UTF-16 runs
// after an anchor word, and the instrument method, found as XML after its
// declaration.  Each scans the file forward once, in bounded chunks, and a
// failed read anywhere gives the empty result; an interrupt gives the
// interrupted Error, a broken invariant of the scan an internal one.

// How a scan reads: sizes that change its speed and memory but never its
// result, and who may stop it between chunks.
struct ScanSettings {
  // Bytes read at a time (rounded down to an even number, at least 2, so
  // that a chunk never splits a code unit): the size this machine streams
  // fastest.
  size_t chunk_bytes = streaming_read_bytes();
  // A run longer than this is not kept in memory while its end is sought; if
  // it proves valid it is read a second time, in chunks, to be decoded.
  uint64_t retained_run_bytes = uint64_t{4} << 20;
  Interrupt interrupt;
  // A search for an anchor looks for its first byte alone until it has met
  // this many false starts (and one per KiB searched), then for its first
  // two elements with vector compares: in binary data, where a given byte
  // comes every few hundred, a call of memchr per false start costs more.
  uint64_t pair_search_after = 16;
  PairLoop pair_loop = PairLoop::kWidest;
};

Expected<std::vector<std::string>> status_log_labels(const ByteSource& file, const ScanSettings& settings = {});
Expected<std::vector<std::string>> error_logs(const ByteSource& file, const ScanSettings& settings = {});
Expected<std::string> instrument_method(const ByteSource& file, const ScanSettings& settings = {});

// The same on the regular file at `path`; anything else reads as empty.
Expected<std::vector<std::string>> status_log_labels(std::string_view path, const ScanSettings& settings = {});
Expected<std::vector<std::string>> error_logs(std::string_view path, const ScanSettings& settings = {});
Expected<std::string> instrument_method(std::string_view path, const ScanSettings& settings = {});

}  // namespace velmaro
