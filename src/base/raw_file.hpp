// src/base: what every file of the core uses, and nothing of Python or of
// the file format: the result type (expected.hpp), the internal failure
// (failure.hpp, source_location.hpp), little-endian loads (bytes.hpp) and,
// here, file access.
//
// File access for every operation of the reader: a file is opened by path at
// each use and only the byte ranges an algorithm inspects are read, with
// positional reads.  The algorithms see a ByteSource, so that tests and fuzz
// targets can run them on bytes in memory.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/expected.hpp"

namespace velmaro {

// A failed file operation: an operating-system error number, or (errnum 0)
// an error kind that carries only its message.
struct IoError {
  int errnum = 0;
  std::string message;

  static IoError os(int errnum) { return IoError{errnum, {}}; }
  static IoError kind(std::string message) { return IoError{0, std::move(message)}; }

  // "No such file or directory (os error 2)", or the kind's message.
  std::string text() const;
};

inline constexpr std::string_view kUnexpectedEof = "failed to fill whole buffer";
inline constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t length() const = 0;
  // Fills `out` from `offset`; a short read is an error (kUnexpectedEof).
  virtual std::optional<IoError> read_at(uint64_t offset, std::span<uint8_t> out) const = 0;
};

class RawFile final : public ByteSource {
 public:
  // Opens read-only without blocking on a FIFO, and takes the length from
  // the open handle.
  static Expected<RawFile, IoError> open(std::string_view path);

  RawFile(RawFile&& other) noexcept;
  RawFile& operator=(RawFile&& other) noexcept;
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;
  ~RawFile();

  // Only a regular file has a length worth trusting; FIFOs and devices
  // would never end or never hold still.
  bool is_regular() const { return regular_; }
  uint64_t length() const override { return length_; }
  std::optional<IoError> read_at(uint64_t offset, std::span<uint8_t> out) const override;

 private:
  RawFile(int fd, uint64_t length, bool regular) : fd_(fd), length_(length), regular_(regular) {}
  int fd_ = -1;
  uint64_t length_ = 0;
  bool regular_ = false;
};

// Opens a file whose contents an algorithm treats as a whole: anything but a
// regular file counts as unreadable.
Expected<RawFile, IoError> open_regular(std::string_view path);

// The bytes [begin, min(end, source length)) of a source, read at once, and
// addressed by absolute file offset.
class Window {
 public:
  static Expected<Window, IoError> read(const ByteSource& source, uint64_t begin, uint64_t end);

  uint64_t begin() const { return begin_; }
  uint64_t end() const { return begin_ + size_; }
  bool holds(uint64_t offset, uint64_t width) const {
    return offset >= begin_ && offset <= end() && width <= end() - offset;
  }
  const uint8_t* at(uint64_t offset) const { return bytes_.get() + (offset - begin_); }
  std::span<const uint8_t> bytes() const { return {bytes_.get(), static_cast<size_t>(size_)}; }

 private:
  uint64_t begin_ = 0;
  uint64_t size_ = 0;
  std::unique_ptr<uint8_t[]> bytes_;  // not zeroed first: the read fills it
};

}  // namespace velmaro
