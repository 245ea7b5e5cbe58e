// src/base: what every file of the core uses, and nothing of Python or of
// the file format: the failure and result types (error.hpp,
// source_location.hpp), little-endian loads (bytes.hpp) and, here, file
// access.
//
// File access for every operation of the reader: a file is opened by path at
// each use and only the byte ranges an algorithm inspects are read, with
// positional reads.  The algorithms see a ByteSource, so that tests and fuzz
// targets can run them on bytes in memory.
//
// Reads land where the kernel copies fastest: a byte of file offset o is
// placed at an address that is o modulo the page size, so that a read from a
// page-aligned offset fills a page-aligned destination.  Into a buffer 16
// bytes off a page the same copy runs several times slower.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "base/error.hpp"

namespace velmaro {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t length() const = 0;
  // Fills `out` from `offset`; a short read is an error (kUnexpectedEof).
  virtual Expected<void> read_at(uint64_t offset, std::span<uint8_t> out) const = 0;
};

class RawFile final : public ByteSource {
 public:
  // Opens read-only without blocking on a FIFO, and takes the length from
  // the open handle.
  static Expected<RawFile> open(std::string_view path);

  RawFile(RawFile&& other) noexcept;
  RawFile& operator=(RawFile&& other) noexcept;
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;
  ~RawFile();

  // Only a regular file has a length worth trusting; FIFOs and devices
  // would never end or never hold still.
  bool is_regular() const { return regular_; }
  uint64_t length() const override { return length_; }
  Expected<void> read_at(uint64_t offset, std::span<uint8_t> out) const override;

 private:
  RawFile(int fd, uint64_t length, bool regular) : fd_(fd), length_(length), regular_(regular) {}
  int fd_ = -1;
  uint64_t length_ = 0;
  bool regular_ = false;
};

// Opens a file whose contents an algorithm treats as a whole: anything but a
// regular file counts as unreadable.
Expected<RawFile> open_regular(std::string_view path);

// The page size of this machine, and `offset`'s place within its page.
size_t page_bytes();
inline size_t page_offset(uint64_t offset) { return static_cast<size_t>(offset % page_bytes()); }

// The read size at which a long file streams from the page cache fastest
// here, as measured on the x86-64 VMs the module is developed on: 2 MiB on
// AMD's CPUs, where the kernel's copy costs more the more calls it is split
// into (256 KiB reads streamed 256 MiB 45% slower than 2 MiB ones), and
// 256 KiB on the others (Intel's), where 1 MiB reads streamed an 8 MiB file
// 18% slower.
size_t streaming_read_bytes();

// Memory that starts on a page, freed when the owner goes; its bytes are not
// zeroed first.  malloc and free, not the aligned operator new, whose symbols
// would tie the module to a newer C++ runtime, nor posix_memalign: glibc
// raises its mmap threshold to the size of a large block freed, but asks
// posix_memalign's next block of that size for a page more, so every call
// would map, fault in and unmap its buffer anew.
class PageBuffer {
 public:
  PageBuffer() = default;
  // Throws std::bad_alloc, as new does, when the memory cannot be had.
  explicit PageBuffer(size_t size);
  PageBuffer(PageBuffer&& other) noexcept
      : block_(std::exchange(other.block_, nullptr)),
        data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)) {}
  PageBuffer& operator=(PageBuffer&& other) noexcept;
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
  ~PageBuffer();

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  void* block_ = nullptr;  // what malloc gave
  uint8_t* data_ = nullptr;  // its first page boundary
  size_t size_ = 0;
};

// Where the bytes [begin, end()) of a source lie in memory, addressed by
// absolute file offset.
class WindowView {
 public:
  WindowView() = default;
  WindowView(uint64_t begin, uint64_t size, const uint8_t* first) : begin_(begin), size_(size), first_(first) {}

  uint64_t begin() const { return begin_; }
  uint64_t end() const { return begin_ + size_; }
  bool holds(uint64_t offset, uint64_t width) const {
    return offset >= begin_ && offset <= end() && width <= end() - offset;
  }
  // Only for an offset the window holds.
  const uint8_t* at(uint64_t offset) const { return first_ + (offset - begin_); }
  std::span<const uint8_t> bytes() const { return {first_, static_cast<size_t>(size_)}; }

 private:
  uint64_t begin_ = 0;
  uint64_t size_ = 0;
  const uint8_t* first_ = nullptr;  // the byte at begin_
};

// The bytes [begin, min(end, source length)) of a source, read at once.
// `held` are bytes from `begin` on that are in memory already: they are
// copied, and only the rest is read.
class Window : public WindowView {
 public:
  static Expected<Window> read(const ByteSource& source, uint64_t begin, uint64_t end,
                               std::span<const uint8_t> held = {});

 private:
  PageBuffer buffer_;
};

// A byte range [begin, end) of a file.
struct Range {
  uint64_t begin, end;
};

// Several ranges of one source, each clipped to its length and read at
// once, all into one buffer: one allocation however many there are.
// views[k] shows ranges[k].
Expected<PageBuffer> read_ranges(const ByteSource& source, std::span<const Range> ranges,
                                 std::span<WindowView> views);

}  // namespace velmaro
