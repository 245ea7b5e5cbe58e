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

inline bool is_high_surrogate(uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool is_low_surrogate(uint16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Strict UTF-16, one code unit at a time: every high surrogate is followed
// by a low one, and every low one follows a high one.
class Utf16Pairing {
 public:
  // False from the first unit that no continuation can make valid.
  bool feed(uint16_t unit) {
    if (pending_high_ ? !is_low_surrogate(unit) : is_low_surrogate(unit)) ok_ = false;
    pending_high_ = is_high_surrogate(unit);
    return ok_;
  }
  bool ok() const { return ok_; }
  // True if the units fed so far form valid UTF-16 on their own.
  bool complete() const { return ok_ && !pending_high_; }

 private:
  bool pending_high_ = false;
  bool ok_ = true;
};

// Decodes little-endian UTF-16 fed in pieces (a surrogate pair may straddle
// two pieces) and appends it to `out` as UTF-8.  An unpaired surrogate makes
// the whole text invalid.
class Utf16Decoder {
 public:
  explicit Utf16Decoder(std::string& out) : out_(out) {}
  void feed(std::span<const uint8_t> units_le);
  // True if everything fed so far forms valid UTF-16.
  bool finish() const { return pairing_.complete(); }

 private:
  std::string& out_;
  Utf16Pairing pairing_;
  char32_t high_ = 0;
};

}  // namespace velmaro
