// The core against the literal reference on random files made of the pieces
// each algorithm looks for, read with small and default chunk sizes: the
// fuzz targets' comparison, on fixed inputs, in every test run.  On the way,
// every read of a table, a search window or a chunk must land at its file
// offset's place in a page (the header and a trailer slot, a few bytes each,
// are read onto the stack).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "compare.hpp"
#include "metadata/metadata.hpp"
#include "metadata/trailer.hpp"
#include "peaks/peak_block.hpp"
#include "reader/reader.hpp"
#include "reference.hpp"
#include "sources.hpp"

namespace velmaro {
namespace {

using reference::same;
using reference::show;
using testing::SparseSource;
using testing::WatchedSource;
using testing::WholeBuffer;

#define EXPECT_SAME(core, literal, context)                                         \
  do {                                                                              \
    const auto core_ = (core);                                                      \
    const auto literal_ = (literal);                                                \
    EXPECT_TRUE(same(core_, literal_)) << (context) << "\ncore:      " << show(core_) \
                                       << "\nreference: " << show(literal_);        \
  } while (0)

class Pieces {
 public:
  explicit Pieces(uint64_t seed) : rng_(seed) {}
  uint64_t below(uint64_t n) { return rng_() % n; }
  template <class T>
  const T& pick(std::initializer_list<T> values) {
    return values.begin()[below(values.size())];
  }
  template <class T>
  void put(std::vector<uint8_t>& out, T value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof value);
  }
  void noise(std::vector<uint8_t>& out, size_t n) {
    for (size_t k = 0; k < n; ++k) out.push_back(below(4) ? 0 : static_cast<uint8_t>(rng_()));
  }
  void utf16(std::vector<uint8_t>& out, std::u16string_view text) {
    for (char16_t u : text) put(out, static_cast<uint16_t>(u));
  }
  void bytes(std::vector<uint8_t>& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

 private:
  std::mt19937_64 rng_;
};

TEST(Reference, CacheBuilderAgreesInEveryLayoutAndLength) {
  Pieces pieces(1);
  std::vector<uint8_t> tables;  // every table of every layout, with random values
  pieces.noise(tables, 6600000 - 1481842);
  WholeBuffer whole;
  for (uint64_t length : {0, 39, 100, 1481850, 1500000, 6468309, 6468310, 6476846, 6514489, 6600000}) {
    const SparseSource file(length, 1481842, tables);
    const auto bytes = whole.of(file);
    const auto header = probe_header(file);
    EXPECT_SAME(header ? std::optional(header.value()) : std::nullopt, reference::probe_header(bytes), length);
    for (const char* path : {"plain.raw", "a/small.RAW", "orbitrap/b.raw", "orbitrap_small.RAW"}) {
      for (uint32_t version : {57, 66, 1234}) {
        RawFileReader core, literal;
        core.path = literal.path = path;
        core.version = literal.version = version;
        const WatchedSource watched(file);
        const auto built = initialize_caches(core, watched);
        EXPECT_EQ(watched.misplaced, 0u);
        const auto context = std::string(path) + " " + std::to_string(version) + " " + std::to_string(length);
        EXPECT_SAME(built ? std::nullopt : std::optional(built.error().message),
                    reference::initialize_caches(literal, bytes), context);
        EXPECT_SAME(core, literal, context);
      }
    }
  }
}

TEST(Reference, PeakSearchAgreesOnRandomBlocks) {
  WholeBuffer whole;
  for (uint64_t seed = 0; seed < 300; ++seed) {
    Pieces pieces(seed);
    const bool twelve = seed % 2 == 0;
    std::vector<uint8_t> data;
    while (data.size() < 12000) {
      pieces.noise(data, pieces.below(600));
      const auto count = static_cast<uint32_t>(pieces.pick({5, 11, 12, 50, 51, 100, 101, 400, 1200}));
      pieces.put(data, count);
      const double first = pieces.pick({40.0, 50.0, 50.5, 445.12, 4999.9, 5000.0});
      for (uint32_t i = 0; i < count && i < 40; ++i) {
        const double mz = first + (pieces.below(8) ? 0.5 * i : -0.002 * i);
        twelve ? pieces.put(data, mz) : pieces.put(data, static_cast<float>(mz));
        pieces.put(data, static_cast<float>(i));
      }
    }
    const SparseSource file(pieces.below(16000) + 100, pieces.below(64), data);
    const uint32_t version = twelve ? 66 : 57;
    for (int k = 0; k < 4; ++k) {
      const uint64_t start = pieces.below(4000);
      const uint64_t first_read = pieces.below(12000);
      const WatchedSource watched(file);
      EXPECT_SAME(find_peak_block(watched, start, record_layout(version), first_read),
                  reference::find_peak_block(whole.of(file), start, version), seed);
      EXPECT_EQ(watched.misplaced, 0u) << seed;
    }
  }
}

TEST(Reference, TrailerFieldsAndNumbersAgree) {
  const std::initializer_list<std::string_view> texts = {
      "35.0", " +.5e3 ", "\xc2\xa0 12\xe3\x80\x80", "1e400", "-nan", "INFINITY", "5.", ".", "1e", "+", "0x10",
      "1 2", "\xff", "\xe2\x80\x8a", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc0\xaf", "3e-324", "\x85", "abc"};
  WholeBuffer whole;
  for (uint64_t seed = 0; seed < 400; ++seed) {
    Pieces pieces(seed);
    std::vector<uint8_t> slot;
    pieces.noise(slot, 140);
    for (uint64_t field : {0, 75, 100}) {
      const auto text = pieces.pick(texts);
      const char pad = pieces.pick({' ', '\0', '\t'});
      for (size_t k = 0; k < (field == 0 ? 13 : 16); ++k) slot[field + k] = k < text.size() ? text[k] : pad;
    }
    const std::string number = std::string(pieces.pick(texts)) + std::string(pieces.pick(texts)).substr(0, 2);
    EXPECT_SAME(parse_decimal(number), reference::parse_decimal(number), number);

    RawFileReader reader;
    reader.version = seed % 5 == 0 ? 57 : 66;
    reader.path = seed % 7 == 0 ? "Orbitrap.raw" : "orbitrap.raw";
    reader.num_scans = reader.version == 57 ? 48 : 145;
    for (uint32_t i = 0; i < reader.num_scans; ++i) {
      reader.injection_time_cache.push_back(i);
      reader.master_scan_cache.push_back(-static_cast<int32_t>(i));
      reader.charge_cache.push_back(static_cast<int32_t>(i % 7));
      reader.mono_mz_cache.push_back(i * 1.5);
    }
    const auto scan = static_cast<uint32_t>(pieces.pick({0, 1, 2, 77, 145, 146}));
    const uint64_t head = trailer_slot::start(scan == 0 ? 0 : scan - 1);
    const SparseSource file(head + 139 + pieces.below(3), head, slot);
    const bool readable = seed % 11 != 0;
    EXPECT_SAME(reference::owned(TrailerFields(reader, scan, readable ? &file : nullptr)),
                reference::trailer_extra(reader, scan, readable ? std::optional(whole.of(file)) : std::nullopt), seed);
  }
}

TEST(Reference, TextScansAgreeWithSmallChunks) {
  WholeBuffer whole;
  for (uint64_t seed = 0; seed < 150; ++seed) {
    Pieces pieces(seed);
    std::vector<uint8_t> data;
    for (int n = 0; n < 40; ++n) {
      switch (pieces.below(8)) {
        case 0: pieces.utf16(data, pieces.pick<std::u16string_view>({u"Coulombmeter", u"Possible spray instability"})); break;
        case 1: pieces.utf16(data, pieces.pick<std::u16string_view>({u"Temp", u"T", u"Ion Gauge", u"\u00b0C", u"\u4e2d"})); break;
        case 2: pieces.utf16(data, pieces.pick<std::u16string_view>({u"\xd800", u"\xdc00", u"\U0001F600", u"\u0100"})); break;
        case 3: pieces.bytes(data, pieces.pick<std::string_view>({"<?xml", "</CmData>", "</InstrumentMethod>", "\xc3"})); break;
        case 4: data.push_back(static_cast<uint8_t>(pieces.below(3))); break;  // shifts to odd places
        default: pieces.noise(data, pieces.below(40)); break;
      }
    }
    const SparseSource file(5 + seed * 7 + data.size() + pieces.below(20), 5 + seed * 7, data);
    const auto bytes = whole.of(file);
    const auto labels = reference::status_log_labels(bytes);
    const auto messages = reference::error_logs(bytes);
    const auto method = reference::instrument_method(bytes);
    for (size_t chunk : {2, 6, 64, 1000, 1 << 19}) {
      ScanSettings settings;
      settings.chunk_bytes = chunk;
      settings.retained_run_bytes = chunk % 3 == 0 ? 10 : 1 << 20;
      settings.pair_search_after = chunk % 4 == 0 ? 0 : 16;
      settings.pair_loop = pair_loops()[seed % pair_loops().size()];
      const auto context = std::to_string(seed) + " chunk " + std::to_string(chunk);
      const WatchedSource watched(file);
      EXPECT_SAME(status_log_labels(watched, settings).value(), labels, context);
      EXPECT_SAME(error_logs(watched, settings).value(), messages, context);
      EXPECT_SAME(instrument_method(watched, settings).value(), method, context);
      EXPECT_EQ(watched.misplaced, 0u) << context;
    }
  }
}

// A method window of ASCII, whose checks go a block of lines at a time, with
// one sequence that is not ASCII, valid or not, at every place in the first
// blocks, and a closing tag at a place that moves with it.
TEST(Reference, MethodWindowsWithOneSequenceAtEveryPlace) {
  constexpr std::string_view kSequences[] = {
      "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",  // valid
      "\xff", "\x80", "\xc3", "\xe2\x82", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80"};
  constexpr std::string_view kTags[] = {"</InstrumentMethod>", "</CmData>", "</Instrument", ""};
  WholeBuffer whole;
  for (size_t place = 0; place < 700; ++place) {
    const std::string_view odd = kSequences[place % std::size(kSequences)];
    std::string text = "<?xml" + std::string(900, 'x');
    text.insert(5 + place, odd);
    const size_t tag_at = 5 + (place * 37) % 880;
    text.insert(tag_at < 5 + place ? tag_at : tag_at + odd.size(), kTags[place % std::size(kTags)]);
    const std::vector<uint8_t> data(text.begin(), text.end());
    const SparseSource file(64 + data.size() + place % 3, 64, data);
    ScanSettings settings;
    settings.pair_loop = pair_loops()[place % pair_loops().size()];
    EXPECT_SAME(instrument_method(file, settings).value(), reference::instrument_method(whole.of(file)),
                "place " + std::to_string(place));
  }
}

}  // namespace
}  // namespace velmaro
