// The "tessel_macos" channel: method matching, state, argument checks and
// replies, with the order in which they are checked.
#include "tessel_test_support.h"

namespace vellumark::tessel {
namespace {

using ::testing::IsEmpty;

const ChannelValue kDigest = ChannelValue::bytes(Bytes(32, 0xD1));
const ChannelValue kKeyId = ChannelValue::bytes({0x11});

class ChannelTest : public TesselPluginTest {
 protected:
  void expectError(const std::string& method, const ChannelValue& arguments,
                   const std::string& code, const std::string& message) {
    const ChannelError error = failure(method, arguments);
    EXPECT_EQ(error.code, code) << method;
    EXPECT_EQ(error.message, message) << method;
  }
};

TEST_F(ChannelTest, UnknownOrMiscasedMethodsAreNotImplemented) {
  success("initialize");
  for (const char* method : {"Initialize", "SIGNDATA", "getcertificates", "signbytes",
                             "isTokenAvailable ", "sign", ""}) {
    EXPECT_TRUE(std::holds_alternative<FlutterMethodNotImplementedT>(call(method))) << method;
  }
}

TEST_F(ChannelTest, StateIsCheckedBeforeArguments) {
  const ChannelValue bad = ChannelValue("not a map");
  for (const char* method : {"getCertificates", "signData", "signBytes"}) {
    expectError(method, bad, "NOT_INITIALIZED", "Plugin not initialized");
    expectError(method, {}, "NOT_INITIALIZED", "Plugin not initialized");
  }
  EXPECT_THAT(store->queries(), IsEmpty());

  EXPECT_EQ(success("initialize"), ChannelValue{});
  EXPECT_EQ(success("initialize"), ChannelValue{});  // again, without dispose
  EXPECT_EQ(success("getCertificates"), ChannelValue(ChannelList{}));
  EXPECT_EQ(success("dispose"), ChannelValue{});
  expectError("signData", args({{"data", kDigest}, {"keyId", kKeyId}}), "NOT_INITIALIZED",
              "Plugin not initialized");
}

TEST_F(ChannelTest, IsTokenAvailableNeedsNoInitialize) {
  EXPECT_EQ(success("isTokenAvailable"), ChannelValue(false));
  store->addToken("T1");
  EXPECT_EQ(success("isTokenAvailable"), ChannelValue(true));
  store->removeToken("T1");
  EXPECT_EQ(success("isTokenAvailable"), ChannelValue(false));
  EXPECT_EQ(store->tokenIDsCalls(), 3);
}

TEST_F(ChannelTest, SigningArgumentsMustBeTypedBytes) {
  success("initialize");
  const ChannelValue intList = ChannelList{int32_t{1}, int32_t{2}};
  const ChannelValue int32Data = ChannelValue(FlutterStandardTypedData::typedDataWithInt32({1, 2}));
  const ChannelValue badData[] = {
      ChannelValue{},
      ChannelValue(ChannelList{kDigest, kKeyId}),
      args({{"keyId", kKeyId}}),
      args({{"data", kDigest}}),
      args({{"data", intList}, {"keyId", kKeyId}}),
      args({{"data", kDigest}, {"keyId", "11"}}),
      args({{"data", int32Data}, {"keyId", kKeyId}}),
  };
  for (const auto& arguments : badData) {
    expectError("signData", arguments, "INVALID_ARGS", "Missing required arguments: data, keyId");
  }
  const ChannelValue badBytes[] = {
      ChannelValue{},
      args({{"keyId", kKeyId}, {"certDer", kDigest}}),
      args({{"hash", kDigest}}),
      args({{"keyId", kKeyId}, {"hash", intList}}),
      args({{"keyId", ChannelValue{}}, {"hash", kDigest}}),
  };
  for (const auto& arguments : badBytes) {
    expectError("signBytes", arguments, "INVALID_ARGS", "Missing required arguments: keyId, hash");
  }
  EXPECT_THAT(store->queries(), IsEmpty());
}

TEST_F(ChannelTest, OnlyForSigningDefaultsToTrue) {
  success("initialize");
  store->addToken("T1");
  for (const ChannelValue& arguments :
       {ChannelValue{}, ChannelValue(ChannelList{false}), args({{"onlyForSigning", "false"}}),
        args({{"onlyForSigning", int32_t{0}}}), args({{"onlyForSigning", true}})}) {
    success("getCertificates", arguments);
  }
  EXPECT_EQ(store->queries().size(), 5u);  // token queries only
  success("getCertificates", args({{"onlyForSigning", false}}));
  EXPECT_EQ(store->queryDescriptions().back(), "ref attrs all");
}

TEST_F(ChannelTest, MapsWithANonStringKeyCountAsEmpty) {
  success("initialize");
  store->addToken("T1");
  auto withIntegerKey = [](std::vector<ChannelMap::Entry> entries) {
    entries.insert(entries.begin(), {ChannelValue(int32_t{1}), ChannelValue("x")});
    return ChannelValue(ChannelMap(std::move(entries)));
  };
  // onlyForSigning false is not read: the token query alone runs.
  success("getCertificates", withIntegerKey({{"onlyForSigning", false}}));
  EXPECT_THAT(store->queryDescriptions(), ::testing::ElementsAre("token=T1 ref attrs all"));
  expectError("signData", withIntegerKey({{"data", kDigest}, {"keyId", kKeyId}}), "INVALID_ARGS",
              "Missing required arguments: data, keyId");
  expectError("signBytes", withIntegerKey({{"keyId", kKeyId}, {"hash", kDigest}}), "INVALID_ARGS",
              "Missing required arguments: keyId, hash");
  EXPECT_EQ(store->queries().size(), 1u);
}

class ThrowingStore : public FakeTokenStore {
 public:
  platform::QueryResult copyMatching(const platform::IdentityQuery&) override {
    throw std::runtime_error("token service lost");
  }
  std::vector<std::string> tokenIDs() override { throw std::runtime_error("watcher lost"); }
};

TEST(ChannelFailures, ServiceExceptionsAreAnsweredNotThrown) {
  PluginHarness h(std::make_shared<ThrowingStore>());
  h.success("initialize");
  EXPECT_EQ(h.success("isTokenAvailable"), ChannelValue(false));
  const ChannelError listing = h.failure("getCertificates");
  EXPECT_EQ(listing.code, "CERTIFICATES_ERROR");
  EXPECT_EQ(listing.message, "watcher lost");
  const ChannelError signing = h.failure("signData", args({{"data", kDigest}, {"keyId", kKeyId}}));
  EXPECT_EQ(signing.code, "SIGN_ERROR");
  EXPECT_EQ(signing.message, "token service lost");
}

TEST(ChannelFailures, WithoutATokenServiceNothingIsFound) {
  PluginHarness h(nullptr);
  EXPECT_EQ(h.success("isTokenAvailable"), ChannelValue(false));
  h.success("initialize");
  EXPECT_EQ(h.success("getCertificates", args({{"onlyForSigning", false}})),
            ChannelValue(ChannelList{}));
  EXPECT_EQ(h.failure("signBytes", args({{"keyId", kKeyId}, {"hash", kDigest}})),
            ChannelError::errorWithCode("OS_ERROR_-25291", "Token services are not available"));
}

}  // namespace
}  // namespace vellumark::tessel
