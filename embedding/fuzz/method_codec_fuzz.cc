// libFuzzer target: the standard method codec's call and envelope decoders on
// arbitrary bytes. Whatever decodes must survive an encode/decode round trip.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "embedding/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto& codec = *vellumark::StandardMethodCodec::sharedInstance();
  const std::span<const uint8_t> input(data, size);
  try {
    const vellumark::MethodCall call = codec.decodeMethodCall(input);
    const vellumark::Bytes encoded = codec.encodeMethodCall(call);
    const vellumark::MethodCall back = codec.decodeMethodCall(encoded);
    if (back.method != call.method || codec.encodeMethodCall(back) != encoded) std::abort();
  } catch (const vellumark::CodecError&) {
  }
  try {
    const vellumark::MethodEnvelope envelope = codec.decodeEnvelope(input);
    const vellumark::Bytes encoded =
        std::holds_alternative<vellumark::ChannelValue>(envelope)
            ? codec.encodeSuccessEnvelope(std::get<vellumark::ChannelValue>(envelope))
            : codec.encodeErrorEnvelope(std::get<vellumark::ChannelError>(envelope));
    const vellumark::MethodEnvelope back = codec.decodeEnvelope(encoded);
    if (back.index() != envelope.index()) std::abort();
    const vellumark::Bytes reencoded =
        std::holds_alternative<vellumark::ChannelValue>(back)
            ? codec.encodeSuccessEnvelope(std::get<vellumark::ChannelValue>(back))
            : codec.encodeErrorEnvelope(std::get<vellumark::ChannelError>(back));
    if (reencoded != encoded) std::abort();
  } catch (const vellumark::CodecError&) {
  }
  return 0;
}
