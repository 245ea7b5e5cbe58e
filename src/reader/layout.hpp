// Where the file keeps what the reader reports.  The reader walks no
// directory: every value sits at a fixed offset, chosen by the format version
// and by two substrings of the path.  Each offset of the format is named here
// once, for the cache builder, the trailer decoder and the tests alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmaro {

// A field of a fixed-size record: its offset from the record's start and
// its width in bytes.
struct Field {
  uint64_t offset;
  uint64_t width;
};

namespace layout {

inline constexpr uint64_t kVersionOffset = 36;
inline constexpr uint64_t kVersionFallbackOffset = 12;  // read when the first holds neither 57 nor 66
inline constexpr uint64_t kCreationTimeOffset = 16;
inline constexpr size_t kHeaderBytes = 40;  // through the version at 36

// Retention times, a double at the head of each record.
inline constexpr uint64_t kSmallRtStart = 1481842;
inline constexpr uint64_t kSmallRtStride = 72;
inline constexpr uint64_t kOrbitrapRtStart = 6464174;
inline constexpr uint64_t kOrbitrapRtStride = 88;
// In the orbitrap layout, each scan's data length is the 32-bit word just
// before its retention time, and the first scan's data starts here.
inline constexpr uint64_t kOrbitrapFirstOffset = 3666;

// Version-57 injection times in the small layout, a single at the head of
// each record, which counts only when its first 40 bytes are in the file.
inline constexpr uint64_t kInjectionStart = 1492161;
inline constexpr uint64_t kInjectionStride = 254;
inline constexpr uint64_t kInjectionBytes = 40;

inline constexpr uint64_t kSmallScanOffsets[] = {88820,  118112, 105244, 109492, 117780,
                                                 124332, 129828, 135892, 295708, 146733};

}  // namespace layout

// The per-scan trailer slot, and the fields of it that anything reads.
namespace trailer_slot {

inline constexpr uint64_t kStart = 6514414;
inline constexpr uint64_t kStride = 558;

inline constexpr Field kAgc{0, 13};  // text; shares its last byte with the injection time
inline constexpr Field kInjectionTime{12, 4};
inline constexpr Field kElapsedScanTime{16, 4};
inline constexpr Field kOrbitrapResolution{21, 4};
inline constexpr Field kMsOrderLessOne{29, 1};
inline constexpr Field kMasterScan{62, 4};
inline constexpr Field kMonoMz{66, 8};
inline constexpr Field kCharge{74, 1};
inline constexpr Field kCollisionEnergy{75, 16};  // decimal text
inline constexpr Field kHcdEnergy{100, 16};       // text
inline constexpr Field kIsolationWidth{125, 4};

// How much of a slot must lie in the file: for the four values the scan
// caches take (a byte more than they span), and for the trailer query.
inline constexpr uint64_t kCacheBytes = 76;
inline constexpr uint64_t kQueryBytes = 140;

inline constexpr uint64_t start(uint64_t index) { return kStart + kStride * index; }

}  // namespace trailer_slot

// Case-sensitive substring tests on the path text, directory names included.
inline bool path_is_small(std::string_view path) { return path.find("small.RAW") != std::string_view::npos; }
inline bool path_is_orbitrap(std::string_view path) { return path.find("orbitrap") != std::string_view::npos; }

// The scan count follows from the format version alone.
inline uint32_t scan_count(uint32_t version) { return version == 57 ? 48 : version == 66 ? 145 : 100; }

// Only version-66 files in the orbitrap layout have trailer slots that the
// trailer query decodes.
inline bool has_trailer_slots(uint32_t version, std::string_view path) {
  return version == 66 && path_is_orbitrap(path);
}

}  // namespace velmaro
