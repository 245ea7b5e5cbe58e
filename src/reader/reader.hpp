// src/reader: the reader record, the header probe, the scan cache builder,
// and the file format's fixed places (layout.hpp).  The Python binding
// (src/lib) calls these; they know nothing of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "base/raw_file.hpp"
#include "reader/layout.hpp"

namespace velmaro {

inline constexpr std::string_view kUnwrapNone = "called `Option::unwrap()` on a `None` value";

// Memory for the six caches of one build, in one allocation rather than
// six: each cache's allocator may hand out its own slice of it once, and a
// cache that outgrows its slice, or a copy of one, uses the heap.  The slab
// lives while any allocator that refers to it does.  Its count is no atomic:
// a record's caches are made, copied and dropped under the interpreter lock
// (or on one thread, without Python), and a reader shared between threads
// only reads them.
class CacheSlab {
 public:
  static constexpr size_t kCaches = 6;

  // A slab for caches of n elements, held once (by the caller).  Throws
  // std::bad_alloc, as new does, when the memory cannot be had.
  static CacheSlab* make(size_t n) {
    void* memory = n <= (SIZE_MAX - sizeof(CacheSlab)) / (8 * kCaches)
                       ? std::malloc(sizeof(CacheSlab) + 8 * kCaches * n)
                       : nullptr;
    if (memory == nullptr) throw std::bad_alloc();
    return new (memory) CacheSlab(n);
  }
  void hold() { ++users_; }
  void release() {
    if (--users_ == 0) destroy(this);
  }

  // Slice k, or nullptr if it is taken or smaller than `bytes`.
  void* take(size_t k, size_t bytes) {
    if (taken_[k] || bytes > 8 * capacity_) return nullptr;
    taken_[k] = true;
    return slice(k);
  }
  // Whether p is slice k, which is then free again.
  bool give_back(size_t k, const void* p) {
    if (p != slice(k)) return false;
    taken_[k] = false;
    return true;
  }

 private:
  explicit CacheSlab(size_t capacity) : capacity_(capacity) {}
  // Out of line: where the free was inlined into a build, GCC 12 took the
  // next hold() of a live slab for a use after it (-Wuse-after-free).
  [[gnu::noinline]] static void destroy(CacheSlab* slab) {
    slab->~CacheSlab();
    std::free(slab);
  }
  unsigned char* slice(size_t k) { return reinterpret_cast<unsigned char*>(this + 1) + 8 * capacity_ * k; }

  size_t users_ = 1;
  size_t capacity_;  // 8-byte elements of each slice, which follow this header
  bool taken_[kCaches] = {};
};
static_assert(sizeof(CacheSlab) % 8 == 0);

template <class T>
class CacheAllocator {
 public:
  static_assert(sizeof(T) <= 8, "a slice holds 8-byte elements");
  static_assert(alignof(T) <= 8, "a slice is 8-byte aligned");
  using value_type = T;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;

  CacheAllocator() = default;
  CacheAllocator(CacheSlab* slab, size_t index) : slab_(slab), index_(index) { slab_->hold(); }
  CacheAllocator(const CacheAllocator& other) : slab_(other.slab_), index_(other.index_) {
    if (slab_ != nullptr) slab_->hold();
  }
  CacheAllocator(CacheAllocator&& other) noexcept
      : slab_(std::exchange(other.slab_, nullptr)), index_(other.index_) {}
  CacheAllocator& operator=(CacheAllocator other) noexcept {
    std::swap(slab_, other.slab_);
    index_ = other.index_;
    return *this;
  }
  ~CacheAllocator() {
    if (slab_ != nullptr) slab_->release();
  }

  T* allocate(size_t n) {
    if (slab_ != nullptr && n <= SIZE_MAX / sizeof(T)) {
      if (void* slice = slab_->take(index_, n * sizeof(T))) return static_cast<T*>(slice);
    }
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, size_t n) {
    if (slab_ == nullptr || !slab_->give_back(index_, p)) std::allocator<T>().deallocate(p, n);
  }
  // A copy of a cache has storage of its own.
  CacheAllocator select_on_container_copy_construction() const { return {}; }
  friend bool operator==(const CacheAllocator& a, const CacheAllocator& b) {
    return a.slab_ == b.slab_ && a.index_ == b.index_;
  }

 private:
  CacheSlab* slab_ = nullptr;
  size_t index_ = 0;
};

template <class T>
using Cache = std::vector<T, CacheAllocator<T>>;

// The state of one RawFileReader object: the path it was opened with, the
// header values and six per-scan caches, each num_scans long once built.
struct RawFileReader {
  std::string path;
  Cache<double> rt_cache;
  Cache<uint64_t> scan_offsets;
  Cache<double> injection_time_cache;
  Cache<int32_t> master_scan_cache;
  Cache<int32_t> charge_cache;
  Cache<double> mono_mz_cache;
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
template <class T, class A>
T cached_value(const std::vector<T, A>& cache, uint32_t scan_number) {
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
