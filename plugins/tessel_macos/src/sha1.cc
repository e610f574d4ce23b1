#include "sha1.h"

#include <bit>

namespace vellumark::tessel {

namespace {

class Sha1 {
 public:
  void update(std::span<const uint8_t> data) {
    for (uint8_t byte : data) {
      block_[used_++] = byte;
      if (used_ == block_.size()) {
        compress();
        used_ = 0;
      }
    }
    length_ += data.size();
  }

  std::array<uint8_t, kSha1Length> finish() {
    const uint64_t bits = length_ * 8;
    const uint8_t pad = 0x80;
    update({&pad, 1});
    const uint8_t zero = 0;
    while (used_ != 56) update({&zero, 1});
    for (int shift = 56; shift >= 0; shift -= 8) {
      const auto b = static_cast<uint8_t>(bits >> shift);
      update({&b, 1});
    }
    std::array<uint8_t, kSha1Length> out{};
    for (size_t i = 0; i < out.size(); ++i) {
      out[i] = static_cast<uint8_t>(h_[i / 4] >> (24 - 8 * (i % 4)));
    }
    return out;
  }

 private:
  void compress() {
    std::array<uint32_t, 80> w{};
    for (size_t t = 0; t < 16; ++t) {
      w[t] = static_cast<uint32_t>(block_[4 * t]) << 24 |
             static_cast<uint32_t>(block_[4 * t + 1]) << 16 |
             static_cast<uint32_t>(block_[4 * t + 2]) << 8 |
             static_cast<uint32_t>(block_[4 * t + 3]);
    }
    for (size_t t = 16; t < 80; ++t) {
      w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    }
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
    for (size_t t = 0; t < 80; ++t) {
      uint32_t f = 0;
      uint32_t k = 0;
      if (t < 20) {
        f = (b & c) | (~b & d);
        k = 0x5A827999;
      } else if (t < 40) {
        f = b ^ c ^ d;
        k = 0x6ED9EBA1;
      } else if (t < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6;
      }
      const uint32_t temp = std::rotl(a, 5) + f + e + k + w[t];
      e = d;
      d = c;
      c = std::rotl(b, 30);
      b = a;
      a = temp;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
  }

  std::array<uint32_t, 5> h_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  std::array<uint8_t, 64> block_{};
  size_t used_ = 0;
  uint64_t length_ = 0;
};

}  // namespace

std::array<uint8_t, kSha1Length> sha1(std::span<const uint8_t> data) {
  Sha1 state;
  state.update(data);
  return state.finish();
}

}  // namespace vellumark::tessel
