#include "metadata/metadata.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <utility>

#include "base/bytes.hpp"
#include "metadata/pair_search.hpp"
#include "metadata/text.hpp"

namespace velmaro {

namespace {

constexpr uint64_t kMethodPrefixBytes = 4194304;
constexpr uint64_t kMethodWindowBytes = 200000;
// The method's search reads at most this much at a time, whatever streams a
// whole file fastest: a chunk that stays in the second-level cache is
// searched at its speed, and over 4 MiB the extra reads cost less than that
// saves (on an AMD VM whose log scans stream fastest in 2 MiB reads, the
// search of the method took a twentieth less with 256 KiB chunks).
constexpr size_t kMethodChunkBytes = size_t{256} << 10;
constexpr std::string_view kXmlDeclaration = "<?xml";
constexpr std::string_view kMethodEnd = "</InstrumentMethod>";
constexpr std::string_view kCmDataEnd = "</CmData>";

// Compares `pattern` in full at every place in [p, last) whose offset,
// counted from file offset `origin` at `first`, is a multiple of `align` and
// whose first two elements (bytes, or code units for align 2) match.
const uint8_t* search_pairs(const uint8_t* first, const uint8_t* p, const uint8_t* last, uint64_t origin,
                            std::string_view pattern, uint64_t align, PairLoop loop) {
  if ((origin + (p - first)) % align != 0) ++p;
  if (p >= last) return nullptr;
  return find_by_pairs(p, last, pattern, align, loop);
}

// The first place in `bytes`, whose first byte is at file offset `origin`,
// where `pattern` starts at an offset that is a multiple of `align` (1 or 2).
// The settings choose only how it searches.
const uint8_t* search(std::span<const uint8_t> bytes, uint64_t origin, std::string_view pattern, uint64_t align,
                      const ScanSettings& settings) {
  const uint64_t pair_search_after = settings.pair_search_after;
  const uint8_t* const first = bytes.data();
  const uint8_t* const last = first + bytes.size();
  const auto lead = static_cast<uint8_t>(pattern[0]);
  // A code unit that the vector loop seeks alone costs no more than memchr
  // does on zeros, and far less in binary data, where memchr stops at every
  // byte equal to the unit's low half.
  if (align == 2 && pattern.size() >= 4 && seeks_first_units(settings.pair_loop)) {
    return search_pairs(first, first, last, origin, pattern, align, settings.pair_loop);
  }
  uint64_t misses = 0;
  for (const uint8_t* p = first; static_cast<size_t>(last - p) >= pattern.size(); ++p, ++misses) {
    // A search for the first byte is the fastest scan while candidates are rare,
    // as in binary data and zeros; where they crowd, the pairs test takes over.
    if (misses > pair_search_after && misses > static_cast<uint64_t>(p - first) / 1024 &&
        pattern.size() >= 2 * align) {
      return search_pairs(first, p, last, origin, pattern, align, settings.pair_loop);
    }
    p = find_byte(p, last - pattern.size() + 1, lead, settings.pair_loop);
    if (p == nullptr) return nullptr;
    if ((origin + (p - first)) % align == 0 && std::memcmp(p, pattern.data(), pattern.size()) == 0) return p;
  }
  return nullptr;
}

// Even, so that a chunk never splits a code unit.
size_t chunk_bytes(const ScanSettings& settings) { return std::max<size_t>(2, settings.chunk_bytes & ~size_t{1}); }

// The bytes [0, end) of a source, read forward in chunks so that each byte
// is read from disk once.  Bytes before the keep mark are dropped as reading
// moves on, so memory holds one chunk plus whatever the caller still keeps.
// Every byte sits at the page offset of its file offset, so that each chunk
// is read into a page-aligned destination wherever a kept overlap ends.
// Before each chunk it asks whether to stop; stopped, it reads no more, as
// after a failed read.
class ForwardBytes {
 public:
  ForwardBytes(const ByteSource& source, uint64_t end, const ScanSettings& settings)
      : source_(source), end_(end), settings_(settings), chunk_(chunk_bytes(settings)) {}

  uint64_t end() const { return end_; }
  // What ended the reading early: a failed read, an interrupt or a broken
  // invariant; the first of them counts.
  const std::optional<Error>& stopped() const { return stopped_; }
  bool failed() const { return stopped_.has_value(); }
  void stop(Error why) {
    if (!stopped_) stopped_ = std::move(why);
  }

  // Whether the caller wants the scan stopped; once it does, nothing more is
  // read, as after a failed read.
  bool stop_requested() {
    if (!stopped_ && settings_.interrupt.requested()) stopped_ = Error::interrupted();
    return stopped_ && stopped_->kind == Error::Kind::kInterrupted;
  }

  // The bytes from `offset` to the end of those in memory, reading on if
  // `offset` is past them; empty at the end of the view or once stopped.
  std::span<const uint8_t> from(uint64_t offset) {
    if (offset < base_) stop(Error::internal("forward read went backwards"));
    while (offset >= loaded_end() && loaded_end() < end_ && !failed()) load_next(offset);
    if (failed() || offset >= loaded_end()) return {};
    return {data_.data() + head_ + (offset - base_), static_cast<size_t>(loaded_end() - offset)};
  }

  // The caller needs nothing before `offset` any more.
  void keep_from(uint64_t offset) { keep_ = offset; }

  // The bytes [offset, min(end, source length)) in one piece, for an offset
  // still in memory: what is missing is read on directly after the bytes
  // loaded, past the view's own end if need be, so that nothing held is
  // copied.  Empty if that read fails, or once stopped.
  std::span<const uint8_t> through(uint64_t offset, uint64_t end) {
    end = std::min(end, source_.length());
    if (failed() || offset < base_ || offset > loaded_end() || end <= offset) return {};
    if (end > loaded_end()) {
      const size_t more = static_cast<size_t>(end - loaded_end());
      if (head_ + size_ + more > data_.size()) regrow(page_offset(base_) + size_ + more);
      if (auto filled = source_.read_at(loaded_end(), {data_.data() + head_ + size_, more}); !filled) {
        stop(std::move(filled.error()));
        return {};
      }
      size_ += more;
    }
    return {data_.data() + head_ + (offset - base_), static_cast<size_t>(end - offset)};
  }

  // The first offset at or after `at`, a multiple of `align`, where `pattern`
  // lies wholly inside the view.
  std::optional<uint64_t> find(uint64_t at, std::string_view pattern, uint64_t align) {
    for (;;) {
      keep_from(at);
      const auto bytes = from(at);
      if (const uint8_t* match = search(bytes, at, pattern, align, settings_)) return at + (match - bytes.data());
      if (failed() || loaded_end() >= end_) return std::nullopt;
      // A match may still start in the last pattern.size() - 1 bytes and end
      // in the next chunk; they stay in memory rather than being read again.
      at = std::max(at, loaded_end() - std::min<uint64_t>(loaded_end(), pattern.size() - 1));
      keep_from(at);
      from(loaded_end());
    }
  }

 private:
  uint64_t loaded_end() const { return base_ + size_; }

  // A buffer of `capacity` bytes, with the bytes kept moved to their page
  // offset at its front.
  void regrow(size_t capacity) {
    const size_t front = page_offset(base_);
    PageBuffer grown(capacity);
    if (size_ != 0) std::memcpy(grown.data() + front, data_.data() + head_, size_);
    data_ = std::move(grown);
    head_ = front;
  }

  void load_next(uint64_t offset) {
    if (stop_requested()) return;
    const uint64_t drop_to = std::min({keep_, offset, loaded_end()});
    if (drop_to > base_) {
      head_ += drop_to - base_;
      size_ -= drop_to - base_;
      base_ = drop_to;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk_, end_ - loaded_end()));
    // The kept bytes as near the front as their page offset allows: then the
    // chunk after them starts where its file offset puts it in a page.
    const size_t front = page_offset(base_);
    if (front + size_ + n > data_.size()) {
      // Room for a chunk beside the longest run kept is reserved up front
      // (untouched pages cost nothing), so this grows only for larger keeps;
      // a file of one chunk needs no more than itself.
      const size_t room = end_ > chunk_ ? static_cast<size_t>(chunk_ + settings_.retained_run_bytes) + page_bytes() : 0;
      regrow(std::max(front + size_ + n, room));
    } else if (head_ != front && (size_ < chunk_ / 16 || head_ + size_ + n > data_.size())) {
      // A small remainder goes back to the front, so that a long scan keeps
      // touching the same pages; a long kept run moves only when it must.
      std::memmove(data_.data() + front, data_.data() + head_, size_);
      head_ = front;
    }
    if (auto filled = source_.read_at(loaded_end(), {data_.data() + head_ + size_, n}); !filled) {
      stop(std::move(filled.error()));
      return;
    }
    size_ += n;
  }

  const ByteSource& source_;
  const uint64_t end_;
  const ScanSettings& settings_;
  const size_t chunk_;
  PageBuffer data_;
  size_t head_ = 0;  // data_[head_] is the byte at offset base_, at its page offset
  size_t size_ = 0;
  uint64_t base_ = 0;
  uint64_t keep_ = 0;
  std::optional<Error> stopped_;
};

uint16_t unit_at(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

bool printable_ascii(uint16_t u) { return u >= 0x20 && u <= 0x7E; }

// The file as little-endian code units from offset 0: unit k is bytes 2k and
// 2k + 1, and a final odd byte is left out.
class CodeUnits {
 public:
  CodeUnits(const ByteSource& file, const ScanSettings& settings)
      : file_(file), settings_(settings), bytes_(file, file.length() & ~uint64_t{1}, settings) {}

  uint64_t size() const { return bytes_.end() / 2; }
  bool failed() const { return bytes_.failed(); }
  const std::optional<Error>& stopped() const { return bytes_.stopped(); }

  // The first position where the ASCII word, one unit per character, occurs.
  std::optional<uint64_t> find(std::string_view ascii) {
    std::string pattern;
    for (char c : ascii) pattern += {c, '\0'};
    const auto at = bytes_.find(0, pattern, 2);
    if (!at) return std::nullopt;
    return *at / 2;
  }

  // The unit at k, which a skip has just stopped on.
  uint16_t unit(uint64_t k) {
    const auto bytes = bytes_.from(2 * k);
    return bytes.size() >= 2 ? unit_at(bytes.data()) : 0;
  }

  struct Run {
    uint64_t begin, end;
    bool valid;
    bool in_memory;
  };

  // The run at q: the units from q on that are all at least 0x20.
  Run run(uint64_t q) {
    Run run{q, q, true, true};
    Utf16Pairing pairing;
    bytes_.keep_from(2 * q);
    for (;;) {
      const auto bytes = bytes_.from(2 * run.end);
      if (bytes.empty()) break;
      size_t i = 0;
      for (; i < bytes.size(); i += 2) {
        const uint16_t u = unit_at(bytes.data() + i);
        if (u < 0x20) break;
        // Only the validity is tracked here; the text is decoded once the
        // run is known to be valid, so an invalid run costs no memory.
        pairing.feed(u);
      }
      run.end += i / 2;
      if (i < bytes.size()) break;
      if (run.in_memory && 2 * (run.end - run.begin) > settings_.retained_run_bytes) run.in_memory = false;
      if (!run.in_memory) bytes_.keep_from(2 * run.end);
    }
    run.valid = pairing.complete();
    return run;
  }

  // The run's text as UTF-8; nothing if it is empty, does not decode, or
  // could not be read.
  std::optional<std::string> decode(const Run& run) {
    if (run.end == run.begin || !run.valid || failed()) return std::nullopt;
    const uint64_t byte_count = 2 * (run.end - run.begin);
    std::string text;
    text.reserve(static_cast<size_t>(byte_count / 2));  // exact for ASCII, a floor otherwise
    Utf16Decoder decoder(text);
    if (run.in_memory) {
      const auto held = bytes_.from(2 * run.begin);
      if (held.size() < byte_count) return std::nullopt;
      decoder.feed(held.first(static_cast<size_t>(byte_count)));
    } else {
      const size_t chunk = chunk_bytes(settings_);
      PageBuffer piece(chunk + page_bytes());
      for (uint64_t done = 0; done < byte_count;) {
        if (bytes_.stop_requested()) return std::nullopt;
        const uint64_t offset = 2 * run.begin + done;
        const std::span<uint8_t> part(piece.data() + page_offset(offset),
                                      static_cast<size_t>(std::min<uint64_t>(chunk, byte_count - done)));
        if (auto filled = file_.read_at(offset, part); !filled) {
          bytes_.stop(std::move(filled.error()));
          return std::nullopt;
        }
        decoder.feed(part);
        done += part.size();
      }
    }
    if (!decoder.finish()) return std::nullopt;
    return text;
  }

  // The first position at or after k whose unit `skipped` rejects, or size().
  template <class Skipped>
  uint64_t skip(uint64_t k, Skipped skipped) {
    for (;;) {
      bytes_.keep_from(2 * k);
      const auto bytes = bytes_.from(2 * k);
      if (bytes.empty()) return size();
      const uint8_t* p = bytes.data();
      const size_t n = bytes.size();
      size_t i = 0;
      while (i < n) {
        // Zero units are skipped by every rule, and a sparse file is mostly zeros.
        if (i + 8 <= n && load_le<uint64_t>(p + i) == 0) {
          i += 8;
          continue;
        }
        if (!skipped(unit_at(p + i))) return k + i / 2;
        i += 2;
      }
      k += n / 2;
    }
  }

 private:
  const ByteSource& file_;
  const ScanSettings& settings_;
  ForwardBytes bytes_;
};

// How the runs after an anchor make a list.
struct LogRules {
  std::string_view anchor;
  size_t max_runs;  // examined, whether they decode or not
  bool keep_duplicates;
  bool (*between_runs)(uint16_t unit);                        // passed over after a run
  bool (*ends_before)(uint16_t unit);                         // a run starting so is not taken
  bool (*complete)(const std::vector<std::string>& texts);  // nothing more is taken
};

// Labels: duplicates kept, anything but printable ASCII passed over, and a
// one-character label after the first ends the list.
constexpr LogRules kStatusLog{
    "Coulombmeter", 300, true, [](uint16_t u) { return !printable_ascii(u); }, [](uint16_t) { return false; },
    [](const std::vector<std::string>& labels) { return labels.size() >= 2 && labels.back().size() < 2; }};

// Messages: each kept once, only control units passed over, and a run
// starting above U+0100 ends the list.
constexpr LogRules kErrorLog{"Possible spray instability", 100, false, [](uint16_t u) { return u < 0x20; },
                             [](uint16_t u) { return u > 0x100; }, [](const std::vector<std::string>&) { return false; }};

// A template on the rules, so that the per-unit tests inline.
// The result of a scan that `bytes` stopped early: an interrupt or an
// internal failure as such, a failed read as the empty result.
template <class T>
Expected<T> stopped_scan(const std::optional<Error>& stopped) {
  if (stopped->kind != Error::Kind::kIo) return *stopped;
  return T{};
}

template <const LogRules& rules>
Expected<std::vector<std::string>> collect_runs(const ByteSource& file, const ScanSettings& settings) {
  CodeUnits units(file, settings);
  std::vector<std::string> texts;
  std::optional<uint64_t> q = units.find(rules.anchor);
  for (size_t examined = 0; q && examined < rules.max_runs; ++examined) {
    const auto run = units.run(*q);
    if (auto text = units.decode(run)) {
      if (rules.keep_duplicates || std::find(texts.begin(), texts.end(), *text) == texts.end()) {
        texts.push_back(std::move(*text));
      }
    }
    // A long run is decoded by reads of its own, which may fail or be
    // interrupted; nothing after that may read on.
    if (units.failed()) break;
    // Past the last run, or once the list is complete, the skip could change
    // nothing, and it may run to the end of the file.
    if (examined + 1 == rules.max_runs || rules.complete(texts)) break;
    const uint64_t next = units.skip(run.end + 1, rules.between_runs);
    q = next < units.size() && !rules.ends_before(units.unit(next)) ? std::optional(next) : std::nullopt;
  }
  // A failed read ends every step above early; it voids the whole result.
  if (units.failed()) return stopped_scan<std::vector<std::string>>(units.stopped());
  return texts;
}

Expected<std::string> read_instrument_method(const ByteSource& file, const ScanSettings& settings) {
  const uint64_t length = file.length();
  if (length < kXmlDeclaration.size()) return std::string();
  ScanSettings prefix_settings = settings;
  prefix_settings.chunk_bytes = std::min(settings.chunk_bytes, kMethodChunkBytes);
  ForwardBytes prefix(file, std::min(length, kMethodPrefixBytes), prefix_settings);
  const auto start = prefix.find(0, kXmlDeclaration, 1);
  if (prefix.failed()) return stopped_scan<std::string>(prefix.stopped());
  if (!start) return std::string();

  // What the search already holds of the window is not read again, nor
  // copied: the rest is read on after it.  A failed read gives no method.
  const auto bytes = prefix.through(*start, *start + kMethodWindowBytes);
  if (bytes.empty() || !valid_utf8(bytes)) return std::string();

  // memmem, not string_view::find: a method's tags put a '<' every few
  // bytes, and find compares the whole tag at each of them.
  auto end_of = [bytes](std::string_view tag) -> size_t {
    const void* at = ::memmem(bytes.data(), bytes.size(), tag.data(), tag.size());
    return at == nullptr ? 0 : static_cast<const uint8_t*>(at) - bytes.data() + tag.size();
  };
  size_t cut = end_of(kMethodEnd);
  if (cut == 0) cut = end_of(kCmDataEnd);
  if (cut == 0) cut = bytes.size();
  return std::string(reinterpret_cast<const char*>(bytes.data()), cut);
}

template <class T>
Expected<T> on_regular_file(std::string_view path, const ScanSettings& settings,
                            Expected<T> (*read)(const ByteSource&, const ScanSettings&)) {
  auto file = open_regular(path);
  if (!file) return T{};
  return read(*file, settings);
}

}  // namespace

Expected<std::vector<std::string>> status_log_labels(const ByteSource& file, const ScanSettings& settings) {
  return collect_runs<kStatusLog>(file, settings);
}
Expected<std::vector<std::string>> error_logs(const ByteSource& file, const ScanSettings& settings) {
  return collect_runs<kErrorLog>(file, settings);
}
Expected<std::string> instrument_method(const ByteSource& file, const ScanSettings& settings) {
  return read_instrument_method(file, settings);
}

Expected<std::vector<std::string>> status_log_labels(std::string_view path, const ScanSettings& settings) {
  return on_regular_file(path, settings, status_log_labels);
}
Expected<std::vector<std::string>> error_logs(std::string_view path, const ScanSettings& settings) {
  return on_regular_file(path, settings, error_logs);
}
Expected<std::string> instrument_method(std::string_view path, const ScanSettings& settings) {
  return on_regular_file(path, settings, instrument_method);
}

}  // namespace velmaro
