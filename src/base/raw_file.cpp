#include "base/raw_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace velmaro {

namespace {
// Taken at load time: a function-local static would need the C++ runtime's
// guard, which ties the module to a newer C library.
const size_t g_page_bytes = [] {
  const long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<size_t>(size) : size_t{4096};
}();
}  // namespace

size_t page_bytes() { return g_page_bytes; }

size_t streaming_read_bytes() {
  static const size_t bytes = [] {
#if defined(__x86_64__)
    __builtin_cpu_init();  // may run before libgcc's own constructor has
    if (__builtin_cpu_is("amd")) return size_t{2} << 20;
#endif
    return size_t{256} << 10;
  }();
  return bytes;
}

PageBuffer::PageBuffer(size_t size) : size_(size) {
  if (size == 0) return;
  if (size > SIZE_MAX - g_page_bytes || (block_ = std::malloc(size + g_page_bytes - 1)) == nullptr) {
    throw std::bad_alloc();
  }
  const auto address = reinterpret_cast<uintptr_t>(block_);
  data_ = static_cast<uint8_t*>(block_) + (g_page_bytes - address % g_page_bytes) % g_page_bytes;
}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept {
  if (this != &other) {
    std::free(block_);
    block_ = std::exchange(other.block_, nullptr);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

PageBuffer::~PageBuffer() { std::free(block_); }

namespace {

// The system call itself: glibc 2.33 gave fstat a new symbol version, and
// binding to it would keep the module from older systems.  On x86-64 and
// aarch64 the kernel's struct stat is glibc's (the generic layout on
// aarch64); elsewhere it may not be, and the library call is used.
int stat_of(int fd, struct stat& st) {
#if defined(__x86_64__) && defined(__LP64__)
  static_assert(sizeof(struct stat) == 144);
  return static_cast<int>(::syscall(SYS_fstat, fd, &st));
#elif defined(__aarch64__) && defined(__LP64__)
  static_assert(sizeof(struct stat) == 128);
  return static_cast<int>(::syscall(SYS_fstat, fd, &st));
#else
  return ::fstat(fd, &st);
#endif
}

}  // namespace

Expected<RawFile> RawFile::open(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return Error::io(kNulInPath);
  // The terminated copy the system call needs, on the stack for any path the
  // kernel takes; a longer one is copied to the heap, for the kernel to refuse.
  char local[PATH_MAX];
  std::string long_path;
  const char* c_path = local;
  if (path.size() < sizeof local) {
    std::memcpy(local, path.data(), path.size());
    // cppcheck-suppress unreadVariable ; read through c_path
    local[path.size()] = '\0';
  } else {
    long_path.assign(path);
    c_path = long_path.c_str();
  }
  int fd;
  do {
    // O_NONBLOCK: opening a FIFO with no writer must not hang the caller.  It
    // stays set: it changes nothing for regular files, and a device that
    // would block reports EAGAIN instead.
    fd = ::open(c_path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::os(errno);
  struct stat st {};
  if (stat_of(fd, st) != 0) {
    const int error = errno;
    ::close(fd);
    return Error::os(error);
  }
  const bool regular = S_ISREG(st.st_mode);
  return RawFile(fd, regular && st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0, regular);
}

RawFile::RawFile(RawFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), length_(other.length_), regular_(other.regular_) {}

RawFile& RawFile::operator=(RawFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    length_ = other.length_;
    regular_ = other.regular_;
  }
  return *this;
}

RawFile::~RawFile() {
  if (fd_ >= 0) ::close(fd_);
}

Expected<void> RawFile::read_at(uint64_t offset, std::span<uint8_t> out) const {
  constexpr auto kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
  size_t done = 0;
  while (done < out.size()) {
    if (offset > kMaxOffset - done) return Error::io(kUnexpectedEof);
    const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::os(errno);
    }
    if (n == 0) return Error::io(kUnexpectedEof);
    done += static_cast<size_t>(n);
  }
  return {};
}

Expected<RawFile> open_regular(std::string_view path) {
  auto file = RawFile::open(path);
  if (file && !file->is_regular()) return Error::os(EINVAL);
  return file;
}

Expected<PageBuffer> read_ranges(const ByteSource& source, std::span<const Range> ranges,
                                 std::span<WindowView> views) {
  // Each range starts at its file offset's place in a page of its own.
  const uint64_t length = source.length();
  auto size_of = [length](const Range& range) {
    const uint64_t end = std::min(range.end, length);
    return range.begin < end ? static_cast<size_t>(end - range.begin) : size_t{0};
  };
  // The whole pages a range takes from the start of its first.
  auto pages_of = [&size_of](const Range& range) {
    const size_t page = page_bytes();
    return (page_offset(range.begin) + size_of(range) + page - 1) / page * page;
  };
  size_t total = 0;
  for (const Range& range : ranges) total += pages_of(range);
  PageBuffer buffer(total);
  size_t at = 0;
  for (size_t k = 0; k < ranges.size(); ++k) {
    const size_t size = size_of(ranges[k]);
    uint8_t* first = buffer.data() + at + page_offset(ranges[k].begin);
    views[k] = WindowView(ranges[k].begin, size, first);
    if (size != 0) {
      if (auto filled = source.read_at(ranges[k].begin, {first, size}); !filled) return filled.error();
    }
    at += pages_of(ranges[k]);
  }
  return buffer;
}

Expected<Window> Window::read(const ByteSource& source, uint64_t begin, uint64_t end,
                              std::span<const uint8_t> held) {
  Window window;
  end = std::min(end, source.length());
  if (begin >= end) {
    static_cast<WindowView&>(window) = WindowView(begin, 0, nullptr);
    return window;
  }
  const size_t size = static_cast<size_t>(end - begin);
  const size_t lead = page_offset(begin);
  window.buffer_ = PageBuffer(lead + size);
  auto* first = window.buffer_.data() + lead;
  static_cast<WindowView&>(window) = WindowView(begin, size, first);
  const size_t have = std::min(held.size(), size);
  if (have != 0) std::memcpy(first, held.data(), have);
  if (have < size) {
    if (auto filled = source.read_at(begin + have, {first + have, size - have}); !filled) return filled.error();
  }
  return window;
}

}  // namespace velmaro
