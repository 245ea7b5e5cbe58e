#include "metadata/text.hpp"

#include <algorithm>
#include <cstring>

#include "base/bytes.hpp"

namespace velmaro {

namespace {

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// The code point of a valid sequence starting at p, of n bytes.
char32_t code_point(const unsigned char* p, size_t n) {
  if (n == 1) return p[0];
  char32_t c = p[0] & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) c = (c << 6) | (p[k] & 0x3F);
  return c;
}

size_t sequence_length(uint8_t lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Whether the N bytes at p are all ASCII: their 16-byte vectors folded by
// OR, which every x86-64 and aarch64 machine does in registers.
template <size_t N>
bool ascii_block(const uint8_t* p) {
  using Vector = uint8_t __attribute__((vector_size(16)));
  Vector any{};
  for (size_t k = 0; k < N; k += 16) {
    Vector v;
    std::memcpy(&v, p + k, 16);
    any |= v;
  }
  uint64_t halves[2];
  std::memcpy(halves, &any, 16);
  return ((halves[0] | halves[1]) & kHighBits) == 0;
}

}  // namespace

bool valid_utf8(std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  const uint8_t* const end = p + bytes.size();
  while (p < end) {
    // ASCII, four cache lines at a time: a method text is mostly that.  The
    // lines are folded before the test, as a search does, so that its branch
    // waits on no single load.
    if (end - p >= 256 && ascii_block<256>(p)) {
      p += 256;
      continue;
    }
    // A block with something else in it is gone through in steps of 64
    // bytes, 8 bytes or one sequence, and only then tested whole again, so
    // that a text of few ASCII characters pays one failed test a block.
    const uint8_t* const block_end = p + std::min<ptrdiff_t>(end - p, 256);
    while (p < block_end) {
      if (end - p >= 64 && ascii_block<64>(p)) {
        p += 64;
        continue;
      }
      if (end - p >= 8 && (load_le<uint64_t>(p) & kHighBits) == 0) {
        p += 8;
        continue;
      }
      const uint8_t lead = *p;
      if (lead < 0x80) {
        ++p;
        continue;
      }
      // The second byte's range depends on the lead byte; that is what rules
      // out overlong forms, surrogates and code points past U+10FFFF.
      size_t n;
      uint8_t low = 0x80, high = 0xBF;
      if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
      } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
      } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
      } else {
        return false;
      }
      // A step may end past the block, not past the bytes.
      if (static_cast<size_t>(end - p) < n) return false;
      if (p[1] < low || p[1] > high) return false;
      for (size_t k = 2; k < n; ++k) {
        if (!is_continuation(p[k])) return false;
      }
      p += n;
    }
  }
  return true;
}

std::string_view trim_white_space(std::string_view utf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  size_t begin = 0, end = utf8.size();
  while (begin < end) {
    const size_t n = sequence_length(p[begin]);
    if (!is_white_space(code_point(p + begin, n))) break;
    begin += n;
  }
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && is_continuation(p[start])) --start;
    if (!is_white_space(code_point(p + start, end - start))) break;
    end = start;
  }
  return {utf8.data() + begin, end - begin};  // not substr, which can throw
}

void Utf16Decoder::feed(std::span<const uint8_t> units_le) {
  for (size_t k = 0; k + 1 < units_le.size() && pairing_.ok(); k += 2) {
    const auto u = static_cast<uint16_t>(units_le[k] | units_le[k + 1] << 8);
    if (u < 0x80 && high_ == 0) {  // ASCII needs no pairing check
      out_.push_back(static_cast<char>(u));
      continue;
    }
    if (!pairing_.feed(u)) break;
    if (is_high_surrogate(u)) {
      high_ = u;
    } else if (high_ != 0) {
      append_utf8(out_, 0x10000 + ((high_ - 0xD800) << 10) + (u - 0xDC00));
      high_ = 0;
    } else {
      append_utf8(out_, u);
    }
  }
}

}  // namespace velmaro
