// Feeds arbitrary bytes to the frame reader in chunks chosen by the input
// itself; every frame that comes out must encode back to the bytes it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "embedding/bridge_protocol.h"

using vellumark::Bytes;
using vellumark::bridge::encodeFrame;
using vellumark::bridge::FrameReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the chunk size, so splits inside headers are covered.
  const size_t chunk = static_cast<size_t>(data[0] % 16) + 1;
  std::span<const uint8_t> input(data + 1, size - 1);
  // A small limit keeps the fuzzer from buffering megabytes per input.
  FrameReader reader(4096);
  Bytes consumed;
  size_t pos = 0;
  while (pos < input.size() && !reader.failed()) {
    const size_t n = std::min(chunk, input.size() - pos);
    reader.feed(input.subspan(pos, n));
    pos += n;
    while (auto frame = reader.next()) {
      Bytes again = encodeFrame(*frame);
      consumed.insert(consumed.end(), again.begin(), again.end());
    }
  }
  if (!reader.failed()) {
    // What came out plus what is still buffered is exactly what went in.
    if (consumed.size() + reader.buffered() != input.size()) std::abort();
    for (size_t i = 0; i < consumed.size(); ++i) {
      if (consumed[i] != input[i]) std::abort();
    }
  }
  return 0;
}
