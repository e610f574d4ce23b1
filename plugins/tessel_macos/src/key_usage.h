// The key-usage test behind a certificate record's isForSigning: a byte scan
// of the DER for the key-usage extension, not a full DER parse.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace vellumark::tessel {

// The key-usage bits (the BIT STRING's content after its unused-bits byte) of
// the first well-formed key-usage extension found, or nullopt. The span
// points into `der` and is never empty. Safe on arbitrary bytes.
std::optional<std::span<const uint8_t>> findKeyUsageBits(std::span<const uint8_t> der);

// True when the key usage asserts non-repudiation (content commitment).
// Digital signature alone does not count.
bool keyUsageAssertsNonRepudiation(std::span<const uint8_t> der);

}  // namespace vellumark::tessel
