#include "key_usage.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <random>

#include "sha1.h"
#include "tessel_test_support.h"

namespace vellumark::tessel {
namespace {

// The bytes of a key-usage extension asserting non-repudiation, as a subject
// attribute can carry them.
const Bytes kHostileOu{0x55, 0x1D, 0x0F, 0x04, 0x04, 0x03, 0x02, 0x06, 0x40};

std::optional<Bytes> bitsOf(const Bytes& der) {
  const auto bits = findKeyUsageBits(der);
  if (!bits) return std::nullopt;
  return Bytes(bits->begin(), bits->end());
}

TEST(KeyUsage, ReadsTheExtensionOfRealCertificates) {
  // Made with openssl req -x509 (see tests/data): P-256 keys, v3 extensions.
  const Bytes signing = certificateFile("signing.der");  // keyUsage nonRepudiation
  EXPECT_EQ(bitsOf(signing), Bytes{0x40});
  EXPECT_TRUE(keyUsageAssertsNonRepudiation(signing));

  // Authentication only (critical digitalSignature), with an OU made of the
  // bytes of a non-repudiation extension, placed before the real one.
  const Bytes hostile = certificateFile("hostile_auth.der");
  const auto ou = std::search(hostile.begin(), hostile.end(), kHostileOu.begin(), kHostileOu.end());
  ASSERT_NE(ou, hostile.end());
  EXPECT_EQ(bitsOf(hostile), Bytes{0x80});
  EXPECT_FALSE(keyUsageAssertsNonRepudiation(hostile));

  // The same OU and no keyUsage extension at all.
  const Bytes noKeyUsage = certificateFile("hostile_no_key_usage.der");
  EXPECT_EQ(bitsOf(noKeyUsage), std::nullopt);
  EXPECT_FALSE(keyUsageAssertsNonRepudiation(noKeyUsage));
}

struct WalkCase {
  const char* name;
  Bytes der;
  std::optional<Bytes> bits;  // expected key-usage bits
};

TEST(KeyUsage, WalksTheCertificateStrictly) {
  const Bytes basicConstraints = extension(kBasicConstraintsOid, true, sequence({}));
  // No version, and [1] and [2] between the key info and the extensions.
  const Bytes withUniqueIds = [] {
    const Bytes algorithm = sequence(tlv(0x06, {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02}));
    const Bytes tbs = concat({tlv(0x02, {1}), algorithm, sequence({}), sequence({}), sequence({}),
                              sequence({}), tlv(0x81, {0x00, 0x01}), tlv(0x82, {0x00, 0x02}),
                              tlv(0xA3, sequence(keyUsageExtension(0x40)))});
    return sequence(concat({sequence(tbs), algorithm, tlv(0x03, {0x00})}));
  }();
  auto withTail = [](Bytes der, Bytes tail) { return concat({der, tail}); };
  auto ku = [](const Bytes& value, std::optional<bool> critical = std::nullopt) {
    return extension(kKeyUsageOid, critical, value);
  };
  const WalkCase cases[] = {
      {"non-critical", certificateDer(1, 0xC0), Bytes{0xC0}},
      {"critical", certificateDer(1, 0x40, true), Bytes{0x40}},
      {"explicit FALSE", certificateWith(1, {ku(keyUsageBitString(0x40), false)}), Bytes{0x40}},
      {"after another extension", certificateWith(1, {basicConstraints, keyUsageExtension(0x40)}),
       Bytes{0x40}},
      {"two bits bytes", certificateWith(1, {ku(tlv(0x03, {0x07, 0x40, 0x80}))}),
       Bytes{0x40, 0x80}},
      {"unique ids before the extensions", withUniqueIds, Bytes{0x40}},
      {"no extensions", certificateWith(1, {}), std::nullopt},
      {"only other extensions", certificateWith(1, {basicConstraints}), std::nullopt},
      {"key-usage bytes in the subject only",
       certificateWith(1, {basicConstraints}, sequence(tlv(0x0C, kHostileOu))), std::nullopt},
      {"extension twice", certificateWith(1, {keyUsageExtension(0x40), keyUsageExtension(0x40)}),
       std::nullopt},
      {"empty bit string", certificateWith(1, {ku(tlv(0x03, {0x00}))}), std::nullopt},
      {"eight unused bits", certificateWith(1, {ku(tlv(0x03, {0x08, 0x40}))}), std::nullopt},
      {"bits but no unused-bits byte", certificateWith(1, {ku(tlv(0x03, {}))}), std::nullopt},
      {"octet string holds more",
       certificateWith(1, {ku(concat({keyUsageBitString(0x40), {0x05, 0x00}}))}), std::nullopt},
      {"not a bit string", certificateWith(1, {ku(tlv(0x04, {0x06, 0x40}))}), std::nullopt},
      {"criticality of length 2",
       certificateWith(1, {sequence(concat({tlv(0x06, kKeyUsageOid), tlv(0x01, {0xFF, 0xFF}),
                                            tlv(0x04, keyUsageBitString(0x40))}))}),
       std::nullopt},
      {"extension with a fourth field",
       certificateWith(1, {sequence(concat({tlv(0x06, kKeyUsageOid),
                                            tlv(0x04, keyUsageBitString(0x40)), tlv(0x05, {})}))}),
       std::nullopt},
      {"trailing bytes", withTail(certificateDer(1, 0x40), {0x00}), std::nullopt},
      {"not a sequence", tlv(0x31, {}), std::nullopt},
      {"empty", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(bitsOf(c.der), c.bits);
  }
}

TEST(KeyUsage, RejectsLengthsThatAreNotDer) {
  const Bytes good = certificateDer(1, 0x40);
  ASSERT_EQ(good[0], 0x30);
  const Bytes body(good.begin() + 2, good.end());
  ASSERT_LT(body.size(), 0x80u);
  const uint8_t n = static_cast<uint8_t>(body.size());
  EXPECT_EQ(bitsOf(concat({{0x30, n}, body})), Bytes{0x40});
  EXPECT_EQ(bitsOf(concat({{0x30, 0x81, n}, body})), std::nullopt);              // long for short
  EXPECT_EQ(bitsOf(concat({{0x30, 0x82, 0x00, n}, body})), std::nullopt);        // leading zero
  EXPECT_EQ(bitsOf(concat({{0x30, 0x80}, body, {0x00, 0x00}})), std::nullopt);   // indefinite
  EXPECT_EQ(bitsOf(concat({{0x30, 0x85, 0, 0, 0, 0, n}, body})), std::nullopt);  // too long
  EXPECT_EQ(bitsOf(concat({{0x30, static_cast<uint8_t>(n + 1)}, body})), std::nullopt);
}

TEST(KeyUsage, DamagedCertificatesAreSafe) {
  // Runs under AddressSanitizer: each variant is its own allocation, so any
  // read past the end is caught.
  for (const char* name : {"signing.der", "hostile_auth.der"}) {
    const Bytes full = certificateFile(name);
    for (size_t n = 0; n < full.size(); ++n) {
      const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
      EXPECT_EQ(findKeyUsageBits(prefix), std::nullopt) << name << " prefix " << n;
      for (int flip : {0x01, 0x80, 0xFF}) {
        Bytes damaged = full;
        damaged[n] = static_cast<uint8_t>(damaged[n] ^ flip);
        const auto bits = findKeyUsageBits(damaged);
        if (bits) {
          EXPECT_FALSE(bits->empty());
          EXPECT_GE(bits->data(), damaged.data());
          EXPECT_LE(bits->data() + bits->size(), damaged.data() + damaged.size());
        }
      }
    }
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
