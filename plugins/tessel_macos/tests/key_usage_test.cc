#include "key_usage.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <random>

#include "sha1.h"
#include "tessel_test_support.h"

namespace vellumark::tessel {
namespace {

struct ScanCase {
  const char* name;
  Bytes der;
  std::optional<Bytes> bits;  // expected key-usage bits
};

TEST(KeyUsageScan, FindsTheBitsOrNothing) {
  const ScanCase cases[] = {
      {"shortest match, 9 bytes",
       {0x55, 0x1D, 0x0F, 0x04, 0x04, 0x03, 0x02, 0x07, 0x40},
       Bytes{0x40}},
      {"8 bytes never match", {0x55, 0x1D, 0x0F, 0x04, 0x04, 0x03, 0x02, 0x40}, std::nullopt},
      {"last start position n-9",
       {0x00, 0x55, 0x1D, 0x0F, 0x04, 0x04, 0x03, 0x02, 0x07, 0x40},
       Bytes{0x40}},
      {"one byte short of the bits",
       {0x00, 0x55, 0x1D, 0x0F, 0x04, 0x04, 0x03, 0x02, 0x07},
       std::nullopt},
      {"non-critical", certificateDer(1, 0xC0), Bytes{0xC0}},
      {"critical", certificateDer(1, 0x40, true), Bytes{0x40}},
      {"two flags",
       {0x55, 0x1D, 0x0F, 0x01, 0x01, 0xFF, 0x01, 0x01, 0x00, 0x04, 0x04, 0x03, 0x02, 0x06, 0x40},
       Bytes{0x40}},
      {"flag of length 2",
       {0x55, 0x1D, 0x0F, 0x01, 0x02, 0xFF, 0x04, 0x04, 0x03, 0x02, 0x06, 0x40},
       std::nullopt},
      {"flags run past the end",
       {0x55, 0x1D, 0x0F, 0x01, 0x01, 0xFF, 0x01, 0x01, 0xFF},
       std::nullopt},
      {"bit string past the end",
       {0x55, 0x1D, 0x0F, 0x01, 0x01, 0xFF, 0x04, 0x04, 0x03, 0x02, 0x01},
       std::nullopt},
      {"two bits bytes",
       {0x55, 0x1D, 0x0F, 0x04, 0x05, 0x03, 0x03, 0x07, 0x80, 0x80},
       Bytes{0x80, 0x80}},
      {"bit string too short",
       {0x55, 0x1D, 0x0F, 0x04, 0x03, 0x03, 0x01, 0x00, 0x40, 0x40},
       std::nullopt},
      {"truncated bit string",
       {0x55, 0x1D, 0x0F, 0x04, 0x04, 0x03, 0x05, 0x07, 0x40},
       std::nullopt},
      {"no OCTET STRING", {0x55, 0x1D, 0x0F, 0x05, 0x04, 0x03, 0x02, 0x07, 0x40}, std::nullopt},
      {"no BIT STRING", {0x55, 0x1D, 0x0F, 0x04, 0x04, 0x04, 0x02, 0x07, 0x40}, std::nullopt},
      {"malformed first, good second",
       {0x55, 0x1D, 0x0F, 0x05, 0x55, 0x1D, 0x0F, 0x04, 0x04, 0x03, 0x02, 0x07, 0x40},
       Bytes{0x40}},
      {"first well-formed one wins",
       {0x55, 0x1D, 0x0F, 0x04, 0x04, 0x03, 0x02, 0x07, 0x80, 0x55, 0x1D, 0x0F, 0x04, 0x04, 0x03,
        0x02, 0x07, 0x40},
       Bytes{0x80}},
      {"empty", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto bits = findKeyUsageBits(c.der);
    ASSERT_EQ(bits.has_value(), c.bits.has_value());
    if (bits) {
      EXPECT_EQ(Bytes(bits->begin(), bits->end()), *c.bits);
    }
  }
}

TEST(KeyUsageScan, OnlyNonRepudiationMarksSigning) {
  EXPECT_TRUE(keyUsageAssertsNonRepudiation(certificateDer(1, kNonRepudiation)));
  EXPECT_TRUE(keyUsageAssertsNonRepudiation(certificateDer(1, 0xC0, true)));
  EXPECT_FALSE(keyUsageAssertsNonRepudiation(certificateDer(1, kDigitalSignature)));
  EXPECT_FALSE(keyUsageAssertsNonRepudiation(certificateDer(1, kDigitalSignature, true)));
  EXPECT_FALSE(keyUsageAssertsNonRepudiation(Bytes{0x30, 0x03, 0x02, 0x01, 0x40}));
}

TEST(KeyUsageScan, EveryPrefixOfAnExtensionIsSafe) {
  // Runs under AddressSanitizer: each prefix is its own allocation, so any
  // read past the end is caught.
  const Bytes full = certificateDer(1, kNonRepudiation, true);
  for (size_t n = 0; n <= full.size(); ++n) {
    const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    const auto bits = findKeyUsageBits(prefix);
    EXPECT_EQ(bits.has_value(), n >= 18u) << n;
  }
}

TEST(Sha1, MatchesOpenSsl) {
  std::mt19937 random(7);
  // Lengths across the 55/56/64-byte padding edges and several blocks.
  for (size_t length = 0; length < 200; ++length) {
    Bytes data(length);
    for (auto& b : data) b = static_cast<uint8_t>(random());
    uint8_t expected[SHA_DIGEST_LENGTH];
    SHA1(data.data(), data.size(), expected);
    const auto actual = sha1(data);
    EXPECT_TRUE(std::equal(actual.begin(), actual.end(), expected)) << length;
  }
}

}  // namespace
}  // namespace vellumark::tessel
