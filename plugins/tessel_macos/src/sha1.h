// SHA-1, the digest that turns a certificate's public key into a key label.
// Portable so the plugin needs no crypto library.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vellumark::tessel {

inline constexpr size_t kSha1Length = 20;

std::array<uint8_t, kSha1Length> sha1(std::span<const uint8_t> data);

}  // namespace vellumark::tessel
