// UTF-8 validation shared by the codec and typed JSON (private to embedding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vellumark::internal {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// Dart's decoder rejects exactly these, so we do too.
inline bool isValidUtf8(const uint8_t* s, size_t n) {
  // Nearly every string is ASCII: one branch-free pass (vectorised) decides.
  uint8_t any = 0;
  for (size_t k = 0; k < n; ++k) any = static_cast<uint8_t>(any | s[k]);
  if (any < 0x80) return true;
  size_t i = 0;
  while (i < n) {
    if (n - i >= 8) {
      uint64_t word;
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint8_t lo = 0x80;
    uint8_t hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

inline bool isValidUtf8(const char* s, size_t n) {
  return isValidUtf8(reinterpret_cast<const uint8_t*>(s), n);
}

}  // namespace vellumark::internal
