// Byte sources for tests and fuzz targets: a large, mostly empty file held
// as one piece of data at an offset, and wrappers that count or fail reads.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/raw_file.hpp"

namespace velmaro::testing {

// `length` bytes of zeros with `data` at `offset`.
class SparseSource final : public ByteSource {
 public:
  SparseSource(uint64_t length, uint64_t offset, std::vector<uint8_t> data)
      : length_(length), offset_(offset), data_(std::move(data)) {}
  uint64_t length() const override { return length_; }
  std::optional<IoError> read_at(uint64_t offset, std::span<uint8_t> out) const override {
    if (offset > length_ || out.size() > length_ - offset) return IoError::kind(std::string(kUnexpectedEof));
    std::fill(out.begin(), out.end(), uint8_t{0});
    const uint64_t begin = std::max(offset, offset_);
    const uint64_t end = std::min(offset + out.size(), offset_ + data_.size());
    if (begin < end) std::memcpy(out.data() + (begin - offset), data_.data() + (begin - offset_), end - begin);
    return std::nullopt;
  }

 private:
  uint64_t length_, offset_;
  std::vector<uint8_t> data_;
};

// Counts what is read through it, and can fail every read after a budget of
// bytes, as a file that shrinks under the reader would.
class WatchedSource final : public ByteSource {
 public:
  explicit WatchedSource(const ByteSource& inner, uint64_t budget = UINT64_MAX) : inner_(inner), budget_(budget) {}
  uint64_t length() const override { return inner_.length(); }
  std::optional<IoError> read_at(uint64_t offset, std::span<uint8_t> out) const override {
    ++reads;
    if (out.size() > budget_ - bytes) return IoError::os(EIO);
    bytes += out.size();
    highest = std::max(highest, offset + out.size());
    return inner_.read_at(offset, out);
  }
  mutable uint64_t reads = 0, bytes = 0, highest = 0;

 private:
  const ByteSource& inner_;
  uint64_t budget_;
};

}  // namespace velmaro::testing
