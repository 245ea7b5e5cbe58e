// Byte sources for tests and fuzz targets: a large, mostly empty file held
// as one piece of data at an offset, and wrappers that count or fail reads.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "base/raw_file.hpp"

namespace velmaro::testing {

// `length` bytes of zeros with `data` at `offset`.
class SparseSource final : public ByteSource {
 public:
  SparseSource(uint64_t length, uint64_t offset, std::vector<uint8_t> data)
      : length_(length), offset_(offset), data_(std::move(data)) {}
  uint64_t length() const override { return length_; }
  uint64_t offset() const { return offset_; }
  const std::vector<uint8_t>& data() const { return data_; }
  Expected<void> read_at(uint64_t offset, std::span<uint8_t> out) const override {
    if (offset > length_ || out.size() > length_ - offset) return Error::io(kUnexpectedEof);
    std::fill(out.begin(), out.end(), uint8_t{0});
    const uint64_t begin = std::max(offset, offset_);
    const uint64_t end = std::min(offset + out.size(), offset_ + data_.size());
    if (begin < end) std::memcpy(out.data() + (begin - offset), data_.data() + (begin - offset_), end - begin);
    return {};
  }

 private:
  uint64_t length_, offset_;
  std::vector<uint8_t> data_;
};

// A SparseSource's bytes laid out whole, as a reference that reads the
// whole file takes them.  The buffer stays zeroed between uses but for the
// data of the last one, so that a use costs the data's size, not the file's.
class WholeBuffer {
 public:
  std::span<const uint8_t> of(const SparseSource& source) {
    std::fill(bytes_.begin() + static_cast<ptrdiff_t>(dirty_begin_), bytes_.begin() + static_cast<ptrdiff_t>(dirty_end_),
              uint8_t{0});
    const uint64_t length = source.length();
    if (bytes_.size() < length) bytes_.resize(length);
    dirty_begin_ = std::min(source.offset(), length);
    dirty_end_ = std::max(dirty_begin_, std::min(source.offset() + source.data().size(), length));
    std::copy_n(source.data().begin(), dirty_end_ - dirty_begin_, bytes_.begin() + static_cast<ptrdiff_t>(dirty_begin_));
    return {bytes_.data(), static_cast<size_t>(length)};
  }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t dirty_begin_ = 0, dirty_end_ = 0;
};

// Counts what is read through it, and where it lands: a read whose
// destination is not at its offset's place in a page is misplaced.  It can
// fail every read after a budget of bytes, as a file that shrinks under the
// reader would.
class WatchedSource final : public ByteSource {
 public:
  explicit WatchedSource(const ByteSource& inner, uint64_t budget = UINT64_MAX) : inner_(inner), budget_(budget) {}
  uint64_t length() const override { return inner_.length(); }
  Expected<void> read_at(uint64_t offset, std::span<uint8_t> out) const override {
    ++reads;
    if (reinterpret_cast<uintptr_t>(out.data()) % page_bytes() != page_offset(offset)) ++misplaced;
    if (out.size() > budget_ - bytes) return Error::os(EIO);
    bytes += out.size();
    return inner_.read_at(offset, out);
  }
  mutable uint64_t reads = 0, bytes = 0, misplaced = 0;

 private:
  const ByteSource& inner_;
  uint64_t budget_;
};

}  // namespace velmaro::testing
