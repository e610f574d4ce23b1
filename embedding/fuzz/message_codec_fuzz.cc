// libFuzzer target: the standard message codec on arbitrary bytes. A decoded
// value must encode and decode back to an equal value.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "embedding/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto& codec = *vellumark::StandardMessageCodec::sharedInstance();
  vellumark::ChannelValue value;
  try {
    value = codec.decodeMessage(std::span(data, size));
  } catch (const vellumark::CodecError&) {
    return 0;
  }
  // A peer's int64 that fits 32 bits comes back as int32, so compare after one
  // normalising pass: from then on bytes and values must be stable.
  const vellumark::Bytes encoded = codec.encodeMessage(value);
  const vellumark::ChannelValue again = codec.decodeMessage(encoded);
  const vellumark::Bytes reencoded = codec.encodeMessage(again);
  if (reencoded != encoded) std::abort();
  if (!(codec.decodeMessage(reencoded) == again)) std::abort();
  return 0;
}
