// Arbitrary bytes through the key-usage reader: it must never read outside
// the input, and the bits it finds must lie inside it and not be empty.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "key_usage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> der(data, size);
  const auto bits = vellumark::tessel::findKeyUsageBits(der);
  if (bits) {
    if (bits->empty() || bits->data() < der.data() ||
        bits->data() + bits->size() > der.data() + der.size()) {
      std::abort();
    }
  }
  if (vellumark::tessel::keyUsageAssertsNonRepudiation(der) != (bits && ((*bits)[0] & 0x40))) {
    std::abort();
  }
  return 0;
}
