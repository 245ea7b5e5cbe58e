// Text as the file stores it: UTF-8 and UTF-16 validated strictly, never
// repaired, since a damaged field is better absent than guessed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velmaro {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF,
// no sequence cut short.
bool valid_utf8(std::span<const uint8_t> bytes);

// Valid UTF-8 without the characters of the Unicode White_Space property at
// either end; NUL and the other control characters stay.
std::string_view trim_white_space(std::string_view utf8);

// Decodes little-endian UTF-16 fed in pieces (a surrogate pair may straddle
// two pieces) and appends it to `out` as UTF-8.  An unpaired surrogate makes
// the whole text invalid.
class Utf16Decoder {
 public:
  explicit Utf16Decoder(std::string& out) : out_(out) {}
  void feed(std::span<const uint8_t> units_le);
  // True if everything fed so far forms valid UTF-16.
  bool finish() const { return ok_ && high_ == 0; }

 private:
  std::string& out_;
  char32_t high_ = 0;
  bool ok_ = true;
};

}  // namespace velmaro
