// The three text scans over a sparse file: mostly small ones, for speed, and
// some of up to 5 MiB, so that the data can straddle a chunk boundary and
// the end of the method's 4 MiB prefix.
#include "fuzz_input.hpp"
#include "metadata/text.hpp"
#include "metadata/metadata.hpp"
#include "sources.hpp"

using namespace velmaro;

namespace {
bool utf8(const std::string& text) {
  return valid_utf8({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput in(data, size);
  const bool large = (in.take<uint8_t>() & 7) == 7;  // one input in eight: they are slow
  const uint32_t length_word = in.take<uint32_t>();
  const uint64_t offset = in.take<uint32_t>() % (large ? 5u << 20 : 4096u);
  auto bytes = in.rest();
  const uint64_t length = large ? length_word % (5u << 20) : offset + bytes.size() + length_word % 64;
  testing::SparseSource file(length, offset, std::move(bytes));

  const auto labels = status_log_labels(file).value();
  fuzz::require(labels.size() <= 300);
  for (const auto& label : labels) fuzz::require(!label.empty() && utf8(label));

  const auto messages = error_logs(file).value();
  fuzz::require(messages.size() <= 100);
  for (size_t k = 0; k < messages.size(); ++k) {
    fuzz::require(!messages[k].empty() && utf8(messages[k]));
    for (size_t j = 0; j < k; ++j) fuzz::require(messages[j] != messages[k]);
  }

  const auto method = instrument_method(file).value();
  fuzz::require(method.empty() || (method.rfind("<?xml", 0) == 0 && method.size() <= 200000 && utf8(method)));
  return 0;
}
