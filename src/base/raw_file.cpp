#include "base/raw_file.hpp"

#include <fcntl.h>
#include <string.h>  // GNU strerror_r
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

namespace velmaro {

std::string IoError::text() const {
  if (errnum == 0) return message;
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* description = strerror_r(errnum, buf, sizeof buf);
  return std::string(description) + " (os error " + std::to_string(errnum) + ")";
}

Expected<RawFile, IoError> RawFile::open(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return Unexpected{IoError::kind(std::string(kNulInPath))};
  const std::string c_path(path);
  int fd;
  do {
    // O_NONBLOCK: opening a FIFO with no writer must not hang the caller.  It
    // stays set: it changes nothing for regular files, and a device that
    // would block reports EAGAIN instead.
    fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Unexpected{IoError::os(errno)};
  // The system call itself: glibc 2.33 gave fstat a new symbol version, and
  // binding to it would keep the module from older systems.  On x86-64 the
  // kernel's struct stat is glibc's.
  struct stat st {};
  if (::syscall(SYS_fstat, fd, &st) != 0) {
    IoError error = IoError::os(errno);
    ::close(fd);
    return Unexpected{std::move(error)};
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

std::optional<IoError> RawFile::read_at(uint64_t offset, std::span<uint8_t> out) const {
  constexpr auto kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
  size_t done = 0;
  while (done < out.size()) {
    if (offset > kMaxOffset - done) return IoError::kind(std::string(kUnexpectedEof));
    const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return IoError::os(errno);
    }
    if (n == 0) return IoError::kind(std::string(kUnexpectedEof));
    done += static_cast<size_t>(n);
  }
  return std::nullopt;
}

Expected<RawFile, IoError> open_regular(std::string_view path) {
  auto file = RawFile::open(path);
  if (file && !file->is_regular()) return Unexpected{IoError::os(EINVAL)};
  return file;
}

Expected<Window, IoError> Window::read(const ByteSource& source, uint64_t begin, uint64_t end) {
  Window window;
  window.begin_ = begin;
  const uint64_t length = source.length();
  if (end > length) end = length;
  if (begin < end) {
    window.size_ = end - begin;
    window.bytes_ = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(window.size_));
    if (auto error = source.read_at(begin, {window.bytes_.get(), static_cast<size_t>(window.size_)})) {
      return Unexpected{std::move(*error)};
    }
  }
  return window;
}

}  // namespace velmaro
