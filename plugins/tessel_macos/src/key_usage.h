// The key-usage test behind a certificate record's isForSigning, read from
// the certificate's parsed keyUsage extension. A byte scan is not enough: a
// subject name can carry the bytes of an extension.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace vellumark::tessel {

// The key-usage bits (the BIT STRING's content after its unused-bits byte) of
// the certificate's keyUsage extension, critical or not. nullopt when the
// certificate has none, asserts no bit, holds the extension twice, or is not
// a well-formed DER certificate. The span points into `der` and is never
// empty. Bounds-checked and allocation-free: safe on arbitrary bytes.
std::optional<std::span<const uint8_t>> findKeyUsageBits(std::span<const uint8_t> der);

// True when the key usage asserts non-repudiation (content commitment).
// Digital signature alone does not count.
bool keyUsageAssertsNonRepudiation(std::span<const uint8_t> der);

}  // namespace vellumark::tessel
