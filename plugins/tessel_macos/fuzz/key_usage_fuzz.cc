// Arbitrary bytes through the key-usage scan: it must never read outside the
// input, and what it finds must lie inside it.
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
  vellumark::tessel::keyUsageAssertsNonRepudiation(der);
  return 0;
}
