// Encode and decode speed of the standard codecs on the host's typical
// payloads, against a baseline built like the engine's C++ client wrapper
// (baseline_codec.h), plus a plain memcpy of 1 MiB as the floor.
#include <benchmark/benchmark.h>

#include <cstring>

#include "baseline_codec.h"
#include "embedding/codec.h"

namespace {

using vellumark::Bytes;
using vellumark::ChannelList;
using vellumark::ChannelMap;
using vellumark::ChannelValue;

constexpr size_t kOneMiB = 1 << 20;

Bytes pattern(size_t n, size_t mul, size_t mod) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * mul) % mod);
  return b;
}

// ---- The payloads, in both value models -----------------------------------------

ChannelValue certificate() {
  ChannelMap m;
  m.set(ChannelValue("keyId"), ChannelValue::bytes(pattern(20, 1, 256)));
  m.set(ChannelValue("subjectCN"), ChannelValue("Jan Kowalski Qualified Signature"));
  m.set(ChannelValue("issuerCN"), ChannelValue("Qualified Issuing CA 2024"));
  m.set(ChannelValue("serialNumber"), ChannelValue("0A1B2C3D4E5F60718293A4B5C6D7E8F9"));
  m.set(ChannelValue("notBefore"), ChannelValue(int64_t{1700000000000}));
  m.set(ChannelValue("notAfter"), ChannelValue(int64_t{1763072000000}));
  m.set(ChannelValue("derData"), ChannelValue::bytes(pattern(1500, 7, 256)));
  return ChannelValue(std::move(m));
}

ChannelValue certificateList() { return ChannelValue(ChannelList(10, certificate())); }

ChannelValue bigBytes() { return ChannelValue::bytes(pattern(kOneMiB, 1, 251)); }

ChannelValue hundredEntryMap() {
  ChannelMap m;
  char key[8];
  for (int32_t i = 0; i < 100; ++i) {
    std::snprintf(key, sizeof key, "key_%03d", i);
    m.append(ChannelValue(key), ChannelValue(i));
  }
  return ChannelValue(std::move(m));
}

vellumark::MethodCall signBytesCall() {
  ChannelMap args;
  args.set(ChannelValue("keyId"), ChannelValue::bytes(pattern(20, 1, 256)));
  args.set(ChannelValue("hash"), ChannelValue::bytes(pattern(32, 3, 256)));
  args.set(ChannelValue("certDer"), ChannelValue::bytes(pattern(1500, 7, 256)));
  return {"signBytes", ChannelValue(std::move(args))};
}

baseline::Value baseCertificate() {
  baseline::Map m;
  m[std::string("keyId")] = pattern(20, 1, 256);
  m[std::string("subjectCN")] = std::string("Jan Kowalski Qualified Signature");
  m[std::string("issuerCN")] = std::string("Qualified Issuing CA 2024");
  m[std::string("serialNumber")] = std::string("0A1B2C3D4E5F60718293A4B5C6D7E8F9");
  m[std::string("notBefore")] = int64_t{1700000000000};
  m[std::string("notAfter")] = int64_t{1763072000000};
  m[std::string("derData")] = pattern(1500, 7, 256);
  return baseline::Value(std::move(m));
}

baseline::Value baseCertificateList() {
  return baseline::Value(baseline::List(10, baseCertificate()));
}

baseline::Value baseBigBytes() { return baseline::Value(pattern(kOneMiB, 1, 251)); }

baseline::Value baseHundredEntryMap() {
  baseline::Map m;
  char key[8];
  for (int32_t i = 0; i < 100; ++i) {
    std::snprintf(key, sizeof key, "key_%03d", i);
    m[std::string(key)] = i;
  }
  return baseline::Value(std::move(m));
}

baseline::MethodCall baseSignBytesCall() {
  baseline::Map args;
  args[std::string("keyId")] = pattern(20, 1, 256);
  args[std::string("hash")] = pattern(32, 3, 256);
  args[std::string("certDer")] = pattern(1500, 7, 256);
  return {"signBytes", baseline::Value(std::move(args))};
}

// Held once, as a channel holds its codec.
const vellumark::StandardMessageCodec& messages() {
  static const auto codec = vellumark::StandardMessageCodec::sharedInstance();
  return *codec;
}
const vellumark::StandardMethodCodec& methods() {
  static const auto codec = vellumark::StandardMethodCodec::sharedInstance();
  return *codec;
}

// ---- Rows -------------------------------------------------------------------------

template <ChannelValue (*Make)()>
void BM_EncodeMessage(benchmark::State& state) {
  const ChannelValue value = Make();
  for (auto _ : state) benchmark::DoNotOptimize(messages().encodeMessage(value));
}

template <ChannelValue (*Make)()>
void BM_DecodeMessage(benchmark::State& state) {
  const Bytes bytes = messages().encodeMessage(Make());
  for (auto _ : state) benchmark::DoNotOptimize(messages().decodeMessage(bytes));
}

template <baseline::Value (*Make)()>
void BM_BaselineEncodeMessage(benchmark::State& state) {
  const baseline::Value value = Make();
  for (auto _ : state) benchmark::DoNotOptimize(baseline::encodeMessage(value));
}

template <baseline::Value (*Make)()>
void BM_BaselineDecodeMessage(benchmark::State& state) {
  const std::vector<uint8_t> bytes = baseline::encodeMessage(Make());
  for (auto _ : state) {
    benchmark::DoNotOptimize(baseline::decodeMessage(bytes.data(), bytes.size()));
  }
}

void BM_EncodeSignBytesCall(benchmark::State& state) {
  const auto call = signBytesCall();
  for (auto _ : state) benchmark::DoNotOptimize(methods().encodeMethodCall(call));
}

void BM_DecodeSignBytesCall(benchmark::State& state) {
  const Bytes bytes = methods().encodeMethodCall(signBytesCall());
  for (auto _ : state) benchmark::DoNotOptimize(methods().decodeMethodCall(bytes));
}

void BM_BaselineEncodeSignBytesCall(benchmark::State& state) {
  const auto call = baseSignBytesCall();
  for (auto _ : state) benchmark::DoNotOptimize(baseline::encodeMethodCall(call));
}

void BM_BaselineDecodeSignBytesCall(benchmark::State& state) {
  const auto bytes = baseline::encodeMethodCall(baseSignBytesCall());
  for (auto _ : state) {
    benchmark::DoNotOptimize(baseline::decodeMethodCall(bytes.data(), bytes.size()));
  }
}

void BM_EncodeCertificateEnvelope(benchmark::State& state) {
  const ChannelValue value = certificateList();
  for (auto _ : state) benchmark::DoNotOptimize(methods().encodeSuccessEnvelope(value));
}

void BM_DecodeCertificateEnvelope(benchmark::State& state) {
  const Bytes bytes = methods().encodeSuccessEnvelope(certificateList());
  for (auto _ : state) benchmark::DoNotOptimize(methods().decodeEnvelope(bytes));
}

void BM_BaselineEncodeCertificateEnvelope(benchmark::State& state) {
  const baseline::Value value = baseCertificateList();
  for (auto _ : state) benchmark::DoNotOptimize(baseline::encodeSuccessEnvelope(value));
}

void BM_BaselineDecodeCertificateEnvelope(benchmark::State& state) {
  const auto bytes = baseline::encodeSuccessEnvelope(baseCertificateList());
  for (auto _ : state) {
    benchmark::DoNotOptimize(baseline::decodeSuccessEnvelope(bytes.data(), bytes.size()));
  }
}

void BM_Memcpy1MiB(benchmark::State& state) {
  const Bytes source = pattern(kOneMiB, 1, 251);
  Bytes target(kOneMiB);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), kOneMiB);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_EncodeMessage<certificateList>)->Name("Encode/CertificateList/vellumark");
BENCHMARK(BM_BaselineEncodeMessage<baseCertificateList>)->Name("Encode/CertificateList/baseline");
BENCHMARK(BM_DecodeMessage<certificateList>)->Name("Decode/CertificateList/vellumark");
BENCHMARK(BM_BaselineDecodeMessage<baseCertificateList>)->Name("Decode/CertificateList/baseline");
BENCHMARK(BM_EncodeMessage<bigBytes>)->Name("Encode/Bytes1MiB/vellumark");
BENCHMARK(BM_BaselineEncodeMessage<baseBigBytes>)->Name("Encode/Bytes1MiB/baseline");
BENCHMARK(BM_DecodeMessage<bigBytes>)->Name("Decode/Bytes1MiB/vellumark");
BENCHMARK(BM_BaselineDecodeMessage<baseBigBytes>)->Name("Decode/Bytes1MiB/baseline");
BENCHMARK(BM_Memcpy1MiB)->Name("Memcpy/Bytes1MiB");
BENCHMARK(BM_EncodeMessage<hundredEntryMap>)->Name("Encode/Map100/vellumark");
BENCHMARK(BM_BaselineEncodeMessage<baseHundredEntryMap>)->Name("Encode/Map100/baseline");
BENCHMARK(BM_DecodeMessage<hundredEntryMap>)->Name("Decode/Map100/vellumark");
BENCHMARK(BM_BaselineDecodeMessage<baseHundredEntryMap>)->Name("Decode/Map100/baseline");
BENCHMARK(BM_EncodeSignBytesCall)->Name("Encode/SignBytesCall/vellumark");
BENCHMARK(BM_BaselineEncodeSignBytesCall)->Name("Encode/SignBytesCall/baseline");
BENCHMARK(BM_DecodeSignBytesCall)->Name("Decode/SignBytesCall/vellumark");
BENCHMARK(BM_BaselineDecodeSignBytesCall)->Name("Decode/SignBytesCall/baseline");
BENCHMARK(BM_EncodeCertificateEnvelope)->Name("Encode/CertificateEnvelope/vellumark");
BENCHMARK(BM_BaselineEncodeCertificateEnvelope)->Name("Encode/CertificateEnvelope/baseline");
BENCHMARK(BM_DecodeCertificateEnvelope)->Name("Decode/CertificateEnvelope/vellumark");
BENCHMARK(BM_BaselineDecodeCertificateEnvelope)->Name("Decode/CertificateEnvelope/baseline");

}  // namespace

BENCHMARK_MAIN();
