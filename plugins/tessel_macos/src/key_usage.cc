#include "key_usage.h"

namespace vellumark::tessel {

namespace {
// Content bytes of the key-usage object identifier 2.5.29.15.
constexpr uint8_t kKeyUsageOid[] = {0x55, 0x1D, 0x0F};
constexpr uint8_t kBooleanTag = 0x01;
constexpr uint8_t kOctetStringTag = 0x04;
constexpr uint8_t kBitStringTag = 0x03;
constexpr uint8_t kNonRepudiationBit = 0x40;
}  // namespace

std::optional<std::span<const uint8_t>> findKeyUsageBits(std::span<const uint8_t> der) {
  const size_t n = der.size();
  // Start positions 0 .. n-9: the shortest extension the scan accepts (OID,
  // OCTET STRING header, BIT STRING header, unused-bits byte, one bits byte)
  // is 9 bytes.
  for (size_t i = 0; i + 8 < n; ++i) {
    if (der[i] != kKeyUsageOid[0] || der[i + 1] != kKeyUsageOid[1] ||
        der[i + 2] != kKeyUsageOid[2]) {
      continue;
    }
    size_t j = i + 3;
    if (j + 2 >= n) continue;
    // Skip the criticality flags (BOOLEAN, length 1).
    bool skipped = true;
    while (der[j] == kBooleanTag) {
      if (der[j + 1] != 0x01) {
        skipped = false;
        break;
      }
      j += 3;
      if (j + 2 >= n) {
        skipped = false;
        break;
      }
    }
    if (!skipped) continue;
    // OCTET STRING (its length byte is not trusted), then the BIT STRING.
    if (der[j] != kOctetStringTag || j + 4 >= n || der[j + 2] != kBitStringTag) continue;
    const size_t bitStringLength = der[j + 3];
    if (bitStringLength < 2) continue;
    const size_t end = j + 4 + bitStringLength;
    if (end > n) continue;
    return der.subspan(j + 5, end - (j + 5));
  }
  return std::nullopt;
}

bool keyUsageAssertsNonRepudiation(std::span<const uint8_t> der) {
  const auto bits = findKeyUsageBits(der);
  return bits && ((*bits)[0] & kNonRepudiationBit) != 0;
}

}  // namespace vellumark::tessel
