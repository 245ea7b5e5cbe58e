#include "base/error.hpp"

#include <string.h>  // GNU strerror_r

namespace velmaro {

std::string Error::text() const {
  if (kind != Kind::kIo || errnum == 0) return message;
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* description = strerror_r(errnum, buf, sizeof buf);
  return std::string(description) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace velmaro
