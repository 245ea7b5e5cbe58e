// The file-level texts: the status-log labels and the error-log messages,
// found as UTF-16 runs after an anchor word, and the instrument method, found
// as XML after its declaration.  Each scans the file forward once, in bounded
// chunks, and a failed read anywhere gives the empty result.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "reader/raw_file.hpp"

namespace velmaro {

std::vector<std::string> status_log_labels(const ByteSource& file);
std::vector<std::string> error_logs(const ByteSource& file);
std::string instrument_method(const ByteSource& file);

// The same on the regular file at `path`; anything else reads as empty.
std::vector<std::string> status_log_labels(std::string_view path);
std::vector<std::string> error_logs(std::string_view path);
std::string instrument_method(std::string_view path);

}  // namespace velmaro
