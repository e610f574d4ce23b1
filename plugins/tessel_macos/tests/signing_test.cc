// Signing over the channel: finding the identity, the key and every error
// the token manager reports.
#include <functional>

#include "sha1.h"
#include "tessel_test_support.h"

namespace vellumark::tessel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace status = platform::status;

const Bytes kDigest(32, 0xD1);
const Bytes kKeyId{0x11, 0x22};
constexpr char kDirectQuery[] = "label=1122 ref one";
constexpr char kScanQuery[] = "ref attrs all";

struct SigningEnv : PluginHarness {
  SigningEnv() {
    success("initialize");
    identity = addIdentity("T1", certificateDer(1, kNonRepudiation), kKeyId);
  }
  ChannelValue signDataArgs(const Bytes& digest = kDigest) {
    return args({{"data", ChannelValue::bytes(digest)}, {"keyId", ChannelValue::bytes(kKeyId)}});
  }
  fakes::FakeKey& key() { return *identity->privateKey; }

  std::shared_ptr<FakeIdentity> identity;
};

class SigningTest : public ::testing::Test, public SigningEnv {};

TEST_F(SigningTest, SignsTheDigestUnchangedWithTheDirectlyFoundKey) {
  const Bytes odd{1, 2, 3};  // not 32 bytes: the platform decides, not the plugin
  EXPECT_EQ(success("signData", signDataArgs(odd)),
            ChannelValue::bytes(fakes::FakeKey::signatureOf(odd)));
  EXPECT_THAT(key().signedDigests, ElementsAre(odd));
  EXPECT_THAT(store->queryDescriptions(), ElementsAre(kDirectQuery));
}

TEST_F(SigningTest, ScanFindsWhatTheDirectQueryMisses) {
  // By the hash of a certificate's public key, before a later label match.
  const Bytes publicKey{0x30, 0x05};
  const auto hash = sha1(publicKey);
  const Bytes hashId(hash.begin(), hash.end());
  auto byHash = fakes::makeIdentity(certificateDer(2, kNonRepudiation), publicKey);
  auto byLabel = fakes::makeIdentity(certificateDer(3, kNonRepudiation), std::nullopt);
  store->addKeychainItem({byHash, Bytes{0x99}});
  store->addKeychainItem({byLabel, hashId});
  store->scriptStatus(Kind::Direct, status::kItemNotFound);
  success("signData",
          args({{"data", ChannelValue::bytes(kDigest)}, {"keyId", ChannelValue::bytes(hashId)}}));
  EXPECT_EQ(byHash->privateKey->signedDigests.size(), 1u);
  EXPECT_THAT(byLabel->privateKey->signedDigests, IsEmpty());

  // By label, also when the identity's certificate cannot be had.
  identity->certificateStatus = status::kItemNotFound;
  success("signData", signDataArgs());
  EXPECT_EQ(key().signedDigests.size(), 1u);
}

TEST_F(SigningTest, CertDerChoosesByCertificateAndSkipsTheDirectQuery) {
  // `identity` carries the label; `other` carries the certificate asked for.
  auto other = addIdentity("T2", certificateDer(2, kNonRepudiation), Bytes{0x77});
  const ChannelValue arguments = args({{"keyId", ChannelValue::bytes(kKeyId)},
                                       {"hash", ChannelValue::bytes(kDigest)},
                                       {"certDer", ChannelValue::bytes(other->certificate->der)}});
  EXPECT_EQ(success("signBytes", arguments),
            ChannelValue::bytes(fakes::FakeKey::signatureOf(kDigest)));
  EXPECT_EQ(other->privateKey->signedDigests.size(), 1u);
  EXPECT_THAT(key().signedDigests, IsEmpty());
  EXPECT_THAT(store->queryDescriptions(), ElementsAre(kScanQuery));

  // A certificate nobody has: not found, though the label matches.
  const ChannelValue unknown = args({{"keyId", ChannelValue::bytes(kKeyId)},
                                     {"hash", ChannelValue::bytes(kDigest)},
                                     {"certDer", ChannelValue::bytes(certificateDer(9, 0x40))}});
  EXPECT_EQ(failure("signBytes", unknown).code, "KEY_NOT_FOUND");
}

TEST_F(SigningTest, CertDerOfAnotherTypeIsIgnored) {
  for (const ChannelValue& certDer :
       {ChannelValue{}, ChannelValue("30 82"), ChannelValue(ChannelList{int32_t{0x30}})}) {
    success("signBytes", args({{"keyId", ChannelValue::bytes(kKeyId)},
                               {"hash", ChannelValue::bytes(kDigest)},
                               {"certDer", certDer}}));
  }
  EXPECT_EQ(key().signedDigests.size(), 3u);
  EXPECT_THAT(store->queryDescriptions(), ElementsAre(kDirectQuery, kDirectQuery, kDirectQuery));
}

struct ErrorCase {
  const char* name;
  std::function<void(SigningEnv&)> setUp;
  std::string code;
  std::string message;
};

TEST(SigningErrors, EveryFailureHasItsCodeAndMessage) {
  auto direct = [](int32_t s) {
    return [s](SigningEnv& t) { t.store->scriptStatus(Kind::Direct, s); };
  };
  auto keyStatus = [](int32_t s) {
    return [s](SigningEnv& t) { t.identity->privateKeyStatus = s; };
  };
  const ErrorCase cases[] = {
      {"cancel on the direct query", direct(status::kUserCanceled), "USER_CANCELLED",
       "User cancelled PIN entry"},
      {"other status, with text", direct(status::kAuthFailed), "OS_ERROR_-25293",
       "Authentication failed"},
      {"other status, no text", direct(status::kParam), "OS_ERROR_-50", "Unknown error -50"},
      {"success without an item",
       [](SigningEnv& t) {
         t.store->scriptResult(Kind::Direct, {0, nullptr, std::nullopt});
       },
       "OS_ERROR_0", "Unknown error 0"},
      {"scan fails, even by cancel",
       [](SigningEnv& t) {
         t.store->scriptStatus(Kind::Direct, status::kItemNotFound);
         t.store->scriptStatus(Kind::All, status::kUserCanceled);
       },
       "KEY_NOT_FOUND", "Private key not found"},
      {"scan finds no match",
       [](SigningEnv& t) {
         t.store->removeToken("T1");
         t.store->addKeychainItem({nullptr, Bytes{0x44}});
         t.store->addKeychainItem(
             {fakes::makeIdentity(certificateDer(2, kNonRepudiation), Bytes{0x01}), Bytes{0x33}});
       },
       "KEY_NOT_FOUND", "Private key not found"},
      {"no identity at all", [](SigningEnv& t) { t.store->removeToken("T1"); }, "KEY_NOT_FOUND",
       "Private key not found"},
      {"cancel on the key request", keyStatus(status::kUserCanceled), "USER_CANCELLED",
       "User cancelled PIN entry"},
      {"key request fails", keyStatus(status::kInteractionNotAllowed), "OS_ERROR_-25308",
       "Unknown error -25308"},
      {"key request gives no key", [](SigningEnv& t) { t.identity->privateKey = nullptr; },
       "OS_ERROR_0", "Unknown error 0"},
      {"key cannot sign", [](SigningEnv& t) { t.key().supportsAlgorithm = false; },
       "SIGNING_FAILED", "Token does not support RSA PKCS#1 v1.5 SHA-256"},
      {"signature error with description",
       [](SigningEnv& t) { t.key().failSignature("The PIN dialog was cancelled"); },
       "SIGNING_FAILED", "The PIN dialog was cancelled"},
      {"signature error without description",
       [](SigningEnv& t) { t.key().failSignature(std::nullopt); }, "SIGNING_FAILED",
       "Unknown signing error"},
      {"neither signature nor error", [](SigningEnv& t) { t.key().answerNothing(); },
       "SIGNING_FAILED", "SecKeyCreateSignature returned nil"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SigningEnv t;
    t.store->errorMessages[status::kAuthFailed] = "Authentication failed";
    c.setUp(t);
    const ChannelError error = t.failure("signData", t.signDataArgs());
    EXPECT_EQ(error.code, c.code);
    EXPECT_EQ(error.message, c.message);
    if (t.identity->privateKey && (c.code != "SIGNING_FAILED" || c.message.starts_with("Token"))) {
      EXPECT_THAT(t.key().signedDigests, IsEmpty());
    }
  }
}

}  // namespace
}  // namespace vellumark::tessel
