#include "reader/reader.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "base/bytes.hpp"

namespace velmaro {

namespace {

// Matches the message of a slice taken past the end of the file contents.
Error length_word_outside(uint64_t record, uint64_t file_length) {
  const uint64_t word = record - 4;
  if (file_length < word) {
    return Error::internal("range start index " + std::to_string(word) + " out of range for slice of length " +
                           std::to_string(file_length));
  }
  return Error::internal("range end index " + std::to_string(record) + " out of range for slice of length " +
                         std::to_string(file_length));
}

Error unwrap_none(SourceLocation where = SourceLocation::current()) {
  return Error::internal(std::string(kUnwrapNone), where);
}

// The extent of a table of n records of `width` bytes at `stride`.
uint64_t table_end(uint64_t start, uint64_t stride, uint32_t n, uint64_t width) {
  return start + stride * (n - 1) + width;
}

}  // namespace

Expected<HeaderFields> probe_header(const ByteSource& file) {
  using namespace layout;
  // One read of the whole header: every file that holds the version at 36
  // holds the other two places as well, and a shorter one fails either way
  // with the same end-of-file error.
  uint8_t head[kHeaderBytes];
  if (auto filled = file.read_at(0, head); !filled) return filled.error();
  HeaderFields header;
  header.version = load_le<uint32_t>(head + kVersionOffset);
  if (header.version != 57 && header.version != 66) header.version = load_le<uint32_t>(head + kVersionFallbackOffset);
  header.creation_filetime = load_le<uint64_t>(head + kCreationTimeOffset);
  return header;
}

Expected<void> initialize_caches(RawFileReader& reader) {
  auto file = open_regular(reader.path);
  if (!file) return unwrap_none();
  return initialize_caches(reader, *file);
}

Expected<void> initialize_caches(RawFileReader& reader, const ByteSource& file) {
  using namespace layout;
  const uint64_t length = file.length();
  const uint32_t n = scan_count(reader.version);
  const bool small = path_is_small(reader.path);
  const bool orbitrap = path_is_orbitrap(reader.path);
  const bool injection_records = small && !orbitrap && reader.version == 57;

  // Only the tables this layout uses are read, each in one piece, all into
  // one buffer.
  const uint64_t rt_start = small ? kSmallRtStart : kOrbitrapRtStart;
  const uint64_t rt_stride = small ? kSmallRtStride : kOrbitrapRtStride;
  Range ranges[2];
  size_t count = 0;
  // Without a layout no table is read, and the caches stay zero.
  if (small || orbitrap) {
    // The orbitrap table starts with the first scan's length word.
    ranges[count++] = {orbitrap && !small ? kOrbitrapRtStart - 4 : kSmallRtStart, table_end(rt_start, rt_stride, n, 8)};
  }
  if (orbitrap) {
    ranges[count++] = {trailer_slot::kStart,
                       table_end(trailer_slot::kStart, trailer_slot::kStride, n, trailer_slot::kCacheBytes)};
  } else if (injection_records) {
    ranges[count++] = {kInjectionStart, table_end(kInjectionStart, kInjectionStride, n, kInjectionBytes)};
  }
  WindowView views[2];
  const auto tables = read_ranges(file, {ranges, count}, {views, count});
  if (!tables) return unwrap_none();
  const WindowView& rt_table = views[0];
  const WindowView& record_table = views[count > 1 ? 1 : 0];  // trailer slots or injection records

  // Every length word must be in the file: the first one outside fails the
  // run, before anything of the record changes.
  if (orbitrap && !small) {
    const uint64_t last = kOrbitrapRtStart + kOrbitrapRtStride * (n - 1);
    if (last > length) {
      uint64_t record = kOrbitrapRtStart;
      while (record <= length) record += kOrbitrapRtStride;
      return length_word_outside(record, length);
    }
  }

  // How many of a table's records lie whole in its window: the first ones,
  // since the window starts at the first and ends at the file's end or the
  // last.  The loops below then read without a check each, and the scans
  // past them keep the zeros the caches start with.
  auto inside = [n](const WindowView& window, uint64_t start, uint64_t stride, uint64_t width) -> uint32_t {
    if (!window.holds(start, width)) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(n, (window.end() - start - width) / stride + 1));
  };

  // The caches hold the slab; this function's own hold ends with it.
  const std::unique_ptr<CacheSlab, void (*)(CacheSlab*)> slab(CacheSlab::make(n), [](CacheSlab* s) { s->release(); });
  Cache<double> rt(n, 0.0, {slab.get(), 0}), injection(n, 0.0, {slab.get(), 1}), mono_mz(n, 0.0, {slab.get(), 2});
  Cache<uint64_t> scan_offsets(n, 0, {slab.get(), 3});
  Cache<int32_t> master(n, 0, {slab.get(), 4}), charge(n, 0, {slab.get(), 5});

  if (small) {
    std::copy(std::begin(kSmallScanOffsets), std::end(kSmallScanOffsets), scan_offsets.begin());
  } else if (orbitrap) {
    // Each scan's data follows the one before it; the lengths are all in
    // the window, as checked above.
    const uint8_t* word = rt_table.at(kOrbitrapRtStart - 4);
    uint64_t running = kOrbitrapFirstOffset;
    for (uint32_t i = 0; i < n; ++i, word += kOrbitrapRtStride) {
      scan_offsets[i] = running;
      running += load_le<uint32_t>(word);
    }
  }
  if (small || orbitrap) {
    const uint32_t records = inside(rt_table, rt_start, rt_stride, 8);
    const uint8_t* p = records != 0 ? rt_table.at(rt_start) : nullptr;
    for (uint32_t i = 0; i < records; ++i, p += rt_stride) rt[i] = load_le<double>(p);
  }

  if (orbitrap) {
    const uint32_t slots = inside(record_table, trailer_slot::kStart, trailer_slot::kStride, trailer_slot::kCacheBytes);
    const uint8_t* p = slots != 0 ? record_table.at(trailer_slot::kStart) : nullptr;
    for (uint32_t i = 0; i < slots; ++i, p += trailer_slot::kStride) {
      injection[i] = load_le<float>(p + trailer_slot::kInjectionTime.offset);
      master[i] = load_le<int32_t>(p + trailer_slot::kMasterScan.offset);
      mono_mz[i] = load_le<double>(p + trailer_slot::kMonoMz.offset);
      charge[i] = p[trailer_slot::kCharge.offset];
    }
  } else if (injection_records) {
    const uint32_t records = inside(record_table, kInjectionStart, kInjectionStride, kInjectionBytes);
    const uint8_t* p = records != 0 ? record_table.at(kInjectionStart) : nullptr;
    for (uint32_t i = 0; i < records; ++i, p += kInjectionStride) {
      injection[i] = load_le<float>(p);
      master[i] = -1;
    }
  }

  reader.num_scans = n;
  reader.rt_cache = std::move(rt);
  reader.injection_time_cache = std::move(injection);
  reader.scan_offsets = std::move(scan_offsets);
  reader.master_scan_cache = std::move(master);
  reader.charge_cache = std::move(charge);
  reader.mono_mz_cache = std::move(mono_mz);
  return {};
}

Expected<RawFileReader> open_reader(std::string path) {
  auto file = RawFile::open(path);
  if (!file) return file.error();
  auto header = probe_header(*file);
  if (!header) return header.error();

  RawFileReader reader;
  reader.path = std::move(path);
  reader.version = header->version;
  reader.creation_filetime = header->creation_filetime;
  // The builder takes the handle the header came from.  A handle that is no
  // regular file (a device that passed the probe) fails as the builder's
  // own open of it by path would.
  if (!file->is_regular()) return unwrap_none();
  if (auto built = initialize_caches(reader, *file); !built) return built.error();
  return reader;
}

std::string creation_date(uint64_t creation_filetime) {
  constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ULL;
  const uint64_t seconds = creation_filetime / 10000000ULL;
  return std::to_string(seconds >= kSecondsFrom1601To1970 ? seconds - kSecondsFrom1601To1970 : 0);
}

}  // namespace velmaro
