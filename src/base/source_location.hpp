// Where an internal failure was detected.  clang 14 cannot use libstdc++'s
// std::source_location, so the fuzz and sanitizer builds get a stand-in.
#pragma once

#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
namespace velmaro {
using SourceLocation = std::source_location;
}
#else
namespace velmaro {
class SourceLocation {
 public:
  static constexpr SourceLocation current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
                                          unsigned column = __builtin_COLUMN()) noexcept {
    SourceLocation where;
    where.file_ = file;
    where.line_ = line;
    where.column_ = column;
    return where;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr unsigned line() const noexcept { return line_; }
  constexpr unsigned column() const noexcept { return column_; }

 private:
  const char* file_ = "";
  unsigned line_ = 0;
  unsigned column_ = 0;
};
}  // namespace velmaro
#endif
