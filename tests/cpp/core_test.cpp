// The core without an interpreter: file access, and how much of a file the
// algorithms read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "metadata/metadata.hpp"
#include "peaks/peak_block.hpp"
#include "reader/reader.hpp"
#include "sources.hpp"

namespace velmaro {
namespace {

using testing::SparseSource;
using testing::WatchedSource;

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmaro-core-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  std::string write(const char* name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
    return path(name);
  }
  std::filesystem::path dir_;
};

using FileLayer = TempDir;

TEST_F(FileLayer, OpenFailuresCarryTheirErrorNumber) {
  auto missing = RawFile::open(path("missing"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().errnum, ENOENT);
  EXPECT_EQ(missing.error().text(), "No such file or directory (os error 2)");

  auto nul = RawFile::open(std::string("a\0b", 3));
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().text(), "file name contained an unexpected NUL byte");

  auto too_long = RawFile::open(std::string(5000, 'x'));
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().text(), "File name too long (os error 36)");
}

TEST_F(FileLayer, ShortReadsAreEndOfFile) {
  auto file = RawFile::open(write("ten", "0123456789"));
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->is_regular());
  EXPECT_EQ(file->length(), 10u);
  uint8_t buf[4];
  EXPECT_TRUE(file->read_at(6, buf));
  EXPECT_EQ(std::string(buf, buf + 4), "6789");
  auto past = file->read_at(7, buf);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().text(), "failed to fill whole buffer");
  EXPECT_FALSE(file->read_at(UINT64_MAX - 1, buf));
}

TEST_F(FileLayer, NonRegularFilesOpenWithoutBlockingButAreNotWholeFiles) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  auto fifo = RawFile::open(path("fifo"));  // would block without O_NONBLOCK
  ASSERT_TRUE(fifo);
  EXPECT_FALSE(fifo->is_regular());
  uint8_t buf[4];
  EXPECT_EQ(fifo->read_at(36, buf).error().errnum, ESPIPE);
  EXPECT_FALSE(open_regular(path("fifo")));

  auto dir = RawFile::open(dir_.string());
  ASSERT_TRUE(dir);
  EXPECT_EQ(dir->read_at(36, buf).error().errnum, EISDIR);
  EXPECT_FALSE(open_regular(dir_.string()));
  EXPECT_FALSE(open_regular("/dev/zero"));
}

// Counts the opens of one file, whoever makes them, through inotify.  Reads
// are watched too: inotify merges an event into an unread one just like it,
// so two opens tell apart only with a read between them.
class Opens {
 public:
  explicit Opens(const std::string& path) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    EXPECT_GE(inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_ACCESS), 0) << path;
  }
  Opens(const Opens&) = delete;
  Opens& operator=(const Opens&) = delete;
  ~Opens() { close(fd_); }
  // The opens since the last call.
  int count() {
    int opens = 0;
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = read(fd_, events, sizeof events)) > 0;) {
      for (ssize_t k = 0; k < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + k);
        opens += (event->mask & IN_OPEN) != 0;
        k += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return opens;
  }

 private:
  int fd_;
};

TEST_F(FileLayer, ConstructionOpensTheFileOnce) {
  // Version 66 in the orbitrap layout: the builder reads its tables too.
  const std::string file = path("orbitrap.raw");
  {
    std::ofstream out(file, std::ios::binary);
    const uint32_t version = 66;
    out.seekp(36).write(reinterpret_cast<const char*>(&version), 4);
  }
  ASSERT_EQ(truncate(file.c_str(), 8 << 20), 0);
  Opens opens(file);
  auto reader = open_reader(file);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->num_scans, 145u);
  EXPECT_EQ(opens.count(), 1);
  // Every later build opens the file again by its path.
  ASSERT_TRUE(initialize_caches(*reader));
  EXPECT_EQ(opens.count(), 1);
}

TEST_F(FileLayer, ConstructionFailuresKeepTheirKind) {
  auto missing = open_reader(path("missing"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, Error::Kind::kIo);
  EXPECT_EQ(missing.error().errnum, ENOENT);
  // A device passes the header probe, and its one handle is no file to build from.
  auto device = open_reader("/dev/zero");
  ASSERT_FALSE(device);
  EXPECT_EQ(device.error().kind, Error::Kind::kInternal);
  EXPECT_EQ(device.error().message, kUnwrapNone);
  auto short_orbitrap = open_reader(write("orbitrap", std::string(40, '\0')));
  ASSERT_FALSE(short_orbitrap);
  EXPECT_EQ(short_orbitrap.error().kind, Error::Kind::kInternal);
  EXPECT_EQ(short_orbitrap.error().message, "range start index 6464170 out of range for slice of length 40");
}

TEST(Window, ClipsToTheSource) {
  SparseSource source(100, 90, std::vector<uint8_t>(10, 7));
  auto window = Window::read(source, 95, 200);
  ASSERT_TRUE(window);
  EXPECT_EQ(window->end(), 100u);
  EXPECT_TRUE(window->holds(96, 4));
  EXPECT_FALSE(window->holds(96, 5));
  EXPECT_FALSE(window->holds(94, 1));
  EXPECT_EQ(*window->at(99), 7);
  EXPECT_EQ(Window::read(source, 150, 200)->bytes().size(), 0u);
}

TEST(Window, RangesShareOneBufferEachAtItsPageOffset) {
  std::vector<uint8_t> tail(5000);
  for (size_t k = 0; k < tail.size(); ++k) tail[k] = static_cast<uint8_t>(k * 7 + 1);
  SparseSource source(9000, 4000, tail);
  const Range ranges[] = {{4001, 4100}, {8990, 9500}, {9500, 9600}, {4000, 9000}};
  WindowView views[4];
  auto buffer = read_ranges(source, ranges, views);
  ASSERT_TRUE(buffer);
  for (size_t k = 0; k < 4; ++k) {
    const uint64_t end = std::min<uint64_t>(ranges[k].end, 9000);
    EXPECT_EQ(views[k].begin(), ranges[k].begin);
    EXPECT_EQ(views[k].end(), std::max(end, ranges[k].begin)) << k;  // empty past the source
    for (uint64_t offset = ranges[k].begin; offset < end; ++offset) {
      ASSERT_EQ(*views[k].at(offset), tail[offset - 4000]) << k << " at " << offset;
    }
    if (end > ranges[k].begin) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(views[k].at(ranges[k].begin)) % page_bytes(), ranges[k].begin % page_bytes());
    }
  }
}

std::vector<uint8_t> block_12(uint32_t count, double first_mz) {
  std::vector<uint8_t> bytes(4 + 12 * size_t{count});
  std::memcpy(bytes.data(), &count, 4);
  for (uint32_t i = 0; i < count; ++i) {
    const double mz = first_mz + i;
    const float intensity = 1.0f;
    std::memcpy(bytes.data() + 4 + 12 * i, &mz, 8);
    std::memcpy(bytes.data() + 12 + 12 * i, &intensity, 4);
  }
  return bytes;
}

TEST(PeakSearch, ReadsOnlyItsWindowAndTheBlock) {
  constexpr uint64_t kGiB = 1ull << 30;
  // A block inside the window is decoded from it; one that runs past it
  // costs one more read, of the part past the window only.
  for (uint64_t at : {5000ull, 9000ull}) {
    SparseSource file(kGiB, kGiB / 2 + at, block_12(1000, 100.0));
    WatchedSource watched(file);
    auto peaks = find_peak_block(watched, kGiB / 2, RecordLayout::k12Byte);
    ASSERT_TRUE(peaks);
    EXPECT_EQ(peaks->mz.size(), 1000u);
    EXPECT_EQ(peaks->mz[999], 1099.0);
    EXPECT_EQ(watched.reads, 2u);
    EXPECT_EQ(watched.bytes, at + 4 + 12 * 1000);
  }
  SparseSource small_block(kGiB, 100, block_12(30, 100.0));
  WatchedSource watched(small_block);
  ASSERT_TRUE(find_peak_block(watched, 0, RecordLayout::k12Byte));
  EXPECT_EQ(watched.reads, 1u);

  WatchedSource empty(small_block);
  EXPECT_FALSE(find_peak_block(empty, 1000, RecordLayout::k8Byte));
  EXPECT_EQ(empty.bytes, peak_rules::kFirstRead);
}

TEST(PeakSearch, FailedReadsGiveNothing) {
  SparseSource file(1 << 20, 4000 + 9000, block_12(1000, 100.0));
  const uint64_t needed = 9000 + 4 + 12 * 1000;
  for (uint64_t budget : std::initializer_list<uint64_t>{0, peak_rules::kFirstRead - 1, needed - 1}) {
    WatchedSource shrinking(file, budget);
    EXPECT_FALSE(find_peak_block(shrinking, 4000, RecordLayout::k12Byte)) << budget;
  }
  WatchedSource enough(file, needed);
  EXPECT_TRUE(find_peak_block(enough, 4000, RecordLayout::k12Byte));
}

TEST(CacheBuilder, ReadsTablesNotTheFileAndKeepsTheRecordOnFailure) {
  SparseSource file(8ull << 30, 0, {});
  RawFileReader reader;
  reader.path = "/data/orbitrap/run.raw";
  reader.version = 66;
  WatchedSource watched(file);
  ASSERT_TRUE(initialize_caches(reader, watched));
  EXPECT_EQ(reader.num_scans, 145u);
  EXPECT_LE(watched.bytes, 145u * (88 + 558));
  EXPECT_EQ(reader.scan_offsets[1], 3666u);

  reader.rt_cache[0] = 1.5;
  WatchedSource failing(file, 100);
  auto built = initialize_caches(reader, failing);
  ASSERT_FALSE(built);
  EXPECT_EQ(built.error().kind, Error::Kind::kInternal);
  EXPECT_EQ(built.error().message, kUnwrapNone);
  EXPECT_EQ(reader.rt_cache[0], 1.5);
}

// The six caches share one allocation: a copy, a cache moved out, a cache
// that grows, a swap and a rebuild each keep their values after the record
// they came from is gone (the sanitizer build catches a use after free or a
// leak), and a cache's values stay its own.
TEST(CacheBuilder, CachesKeepTheirValuesWhateverBecomesOfTheirRecord) {
  std::vector<uint8_t> table(88 * 145);
  for (uint32_t i = 0; i < 145; ++i) {
    const uint32_t length = 100 + i;
    const double rt = 0.5 * i;
    std::memcpy(table.data() + 88 * i, &length, 4);
    std::memcpy(table.data() + 88 * i + 4, &rt, 8);
  }
  SparseSource file(8 << 20, layout::kOrbitrapRtStart - 4, table);
  auto build = [&] {
    RawFileReader reader;
    reader.path = "/data/orbitrap/run.raw";
    reader.version = 66;
    EXPECT_TRUE(initialize_caches(reader, file));
    return reader;
  };
  const RawFileReader expected = build();
  auto same_caches = [&](const auto& rt, const auto& offsets) {
    ASSERT_EQ(rt.size(), 145u);
    ASSERT_EQ(offsets.size(), 145u);
    for (size_t i = 0; i < 145; ++i) {
      EXPECT_EQ(rt[i], 0.5 * i) << i;
      EXPECT_EQ(offsets[i], layout::kOrbitrapFirstOffset + 100 * i + i * (i - 1) / 2) << i;  // the lengths before it
    }
  };
  same_caches(expected.rt_cache, expected.scan_offsets);

  RawFileReader copied = [&] { return RawFileReader(build()); }();
  same_caches(copied.rt_cache, copied.scan_offsets);

  Cache<double> rt_out;
  Cache<uint64_t> offsets_out;
  {
    RawFileReader reader = build();
    rt_out = std::move(reader.rt_cache);
    offsets_out = std::move(reader.scan_offsets);
    ASSERT_TRUE(initialize_caches(reader, file));  // a rebuild in the same record
    same_caches(reader.rt_cache, reader.scan_offsets);
  }
  same_caches(rt_out, offsets_out);
  rt_out.push_back(-1.0);  // past its slice, onto the heap
  rt_out.pop_back();
  same_caches(rt_out, offsets_out);

  RawFileReader a = build(), b = build();
  a.rt_cache[0] = 7.0;
  std::swap(a.rt_cache, b.rt_cache);
  EXPECT_EQ(b.rt_cache[0], 7.0);
  EXPECT_EQ(a.rt_cache[0], 0.0);
  a = std::move(b);
  b = build();
  EXPECT_EQ(a.rt_cache[0], 7.0);
  a.rt_cache[0] = 0.0;
  same_caches(a.rt_cache, a.scan_offsets);
  same_caches(b.rt_cache, b.scan_offsets);
}

std::vector<uint8_t> utf16(std::string_view ascii) {
  std::vector<uint8_t> units;
  for (char c : ascii) units.insert(units.end(), {static_cast<uint8_t>(c), 0});
  return units;
}

TEST(TextScans, StopBetweenChunksWhenInterrupted) {
  // The anchor near the end of 64 MiB: the scans read every chunk before it.
  constexpr uint64_t kSize = 64ull << 20;
  SparseSource file(kSize, kSize - 4096, utf16("Coulombmeter"));
  WatchedSource watched(file);
  ScanSettings settings;
  settings.chunk_bytes = 256 << 10;  // the method's 4 MiB take more than three
  int asked = 0;
  auto stop_at_the_third = [&] { return ++asked == 3; };
  settings.interrupt = Interrupt(stop_at_the_third);
  const auto stopped = status_log_labels(watched, settings);
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().kind, Error::Kind::kInterrupted);
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(watched.bytes, 2 * settings.chunk_bytes);
  EXPECT_EQ(watched.misplaced, 0u);

  asked = 0;
  EXPECT_FALSE(error_logs(file, settings));
  asked = 0;
  EXPECT_FALSE(instrument_method(file, settings));
  auto never = [] { return false; };
  settings.interrupt = Interrupt(never);
  EXPECT_EQ(status_log_labels(file, settings).value(), std::vector<std::string>{"Coulombmeter"});
}

TEST(TextScans, StopWhereverTheyAreInterrupted) {
  // A label run longer than the part kept in memory is decoded by reads of
  // its own; an interrupt there, as anywhere, ends the reading at once.
  constexpr uint64_t kSize = 64ull << 20;
  SparseSource file(kSize, 0, utf16("Coulombmeter" + std::string(32768, 'A')));
  ScanSettings settings;
  settings.chunk_bytes = 4096;
  settings.retained_run_bytes = 8;
  int asked = 0;
  auto count = [&] { return ++asked == 0; };
  settings.interrupt = Interrupt(count);
  ASSERT_TRUE(status_log_labels(file, settings));
  const int requests = asked;
  for (int stop_at : {1, 2, 3, 5, 8, 12, 16, 17, 18, 20, 25, 30, 40, requests / 2, requests}) {
    WatchedSource watched(file);
    asked = 0;
    uint64_t read_when_asked = 0;
    auto stop = [&] {
      read_when_asked = watched.bytes;
      return ++asked == stop_at;
    };
    settings.interrupt = Interrupt(stop);
    EXPECT_FALSE(status_log_labels(watched, settings)) << stop_at;
    EXPECT_EQ(asked, stop_at);
    EXPECT_EQ(watched.bytes, read_when_asked) << stop_at;
  }
}

TEST(TextScans, ChunkSizesChangeNothingButTheReads) {
  // Anchors, runs and a method straddling the boundaries of small chunks,
  // and a run longer than the part kept in memory.
  std::vector<uint8_t> data = utf16(std::string("Possible spray instability") + '\0' + "Oops" + '\0' +
                                    std::string(300, 'x') + '\0' + "Oops");
  const auto labels = utf16(std::string("Coulombmeter") + '\0' + "Temp" + '\0' + "T" + '\0' + "More");
  data.insert(data.end(), 7, 0);
  data.insert(data.end(), labels.begin(), labels.end());
  const std::string method = "<?xml<a/></CmData>";
  data.insert(data.end(), method.begin(), method.end());
  for (uint64_t offset : {0, 1, 2, 37, 4094}) {
    SparseSource file(offset + data.size() + 10, offset, data);
    const auto labels_whole = status_log_labels(file).value();
    const auto messages_whole = error_logs(file).value();
    const auto method_whole = instrument_method(file).value();
    for (size_t chunk : {1, 2, 3, 6, 24, 100, 4096}) {
      ScanSettings small;
      small.chunk_bytes = chunk;
      small.retained_run_bytes = chunk % 3 == 0 ? 8 : 1 << 20;
      EXPECT_EQ(status_log_labels(file, small).value(), labels_whole) << offset << " " << chunk;
      EXPECT_EQ(error_logs(file, small).value(), messages_whole) << offset << " " << chunk;
      EXPECT_EQ(instrument_method(file, small).value(), method_whole) << offset << " " << chunk;
    }
  }
}

TEST(CreationDate, SaturatesBefore1970) {
  EXPECT_EQ(creation_date(0), "0");
  EXPECT_EQ(creation_date(133000000000000000ull), "1655526400");
  EXPECT_EQ(creation_date(UINT64_MAX), "1833029933770");
}

}  // namespace
}  // namespace velmaro
