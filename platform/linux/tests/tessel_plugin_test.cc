// The signing plugin on the real token backend: SoftHSM2 tokens, an NSS
// database, the pinentry stand-in, all through the channel's codec.
#if __has_include("tessel_macos/tessel_macos_plugin.h")

#include "embedding/engine.h"
#include "embedding/registrar.h"
#include "embedding/testing.h"
#include "softhsm_fixture.h"
#include "tessel_macos/tessel_macos_plugin.h"

namespace vellumark::linux_platform::testing {
namespace {

constexpr const char* kChannel = "tessel_macos";

class TesselOnTokensTest : public TokenTest {
 protected:
  void attach(bool withNss = false) {
    start(withNss);
    registry = std::make_unique<PluginRegistry>(messenger, nullptr,
                                                platform::Services{nullptr, service, nullptr});
    TesselMacosPlugin::registerWithRegistrar(registry->registrarForPlugin("TesselMacosPlugin"));
    ui = std::make_unique<vellumark::testing::TestUi>(messenger);
    ASSERT_TRUE(value(call("initialize")).isNull());
  }

  void TearDown() override {
    ui.reset();
    registry.reset();
    TokenTest::TearDown();
  }

  MethodResponse call(const std::string& method, const ChannelValue& arguments = {}) {
    auto response = ui->call(kChannel, method, arguments);
    EXPECT_TRUE(response) << method << " unanswered";
    return response.value_or(MethodResponse{FlutterMethodNotImplemented});
  }

  static ChannelValue value(const MethodResponse& response) {
    if (auto* error = std::get_if<ChannelError>(&response)) {
      ADD_FAILURE() << error->code << ": " << error->message.value_or("");
    }
    auto* result = std::get_if<ChannelValue>(&response);
    return result ? *result : ChannelValue{};
  }

  static ChannelError error(const MethodResponse& response) {
    auto* failure = std::get_if<ChannelError>(&response);
    if (!failure) ADD_FAILURE() << "no error";
    return failure ? *failure : ChannelError{};
  }

  // The "subjectCN" of each listed record, in order.
  std::vector<std::string> listed(const ChannelValue& arguments) {
    std::vector<std::string> names;
    ChannelValue list = value(call("getCertificates", arguments));
    if (!list.asList()) return names;
    for (const ChannelValue& record : *list.asList()) {
      names.push_back(*record.asMap()->find("subjectCN")->asString());
    }
    return names;
  }

  ChannelValue record(const std::string& subject) {
    ChannelValue list = value(call("getCertificates", ChannelMap{{"onlyForSigning", false}}));
    for (const ChannelValue& entry : *list.asList()) {
      if (*entry.asMap()->find("subjectCN")->asString() == subject) return entry;
    }
    ADD_FAILURE() << subject << " not listed";
    return {};
  }

  EngineMessenger messenger;
  std::unique_ptr<PluginRegistry> registry;
  std::unique_ptr<vellumark::testing::TestUi> ui;
};

TEST_F(TesselOnTokensTest, ListsSigningCertificatesOfAllTokensThenTheRest) {
  attach(true);
  EXPECT_EQ(value(call("isTokenAvailable")), ChannelValue(true));

  // Signing certificates only (the default): tokens in their order; the
  // digital-signature-only certificate and the NSS identity are left out,
  // and Bob Mismatch, whose certificate holds Bob Signer's key, shares its
  // keyId and comes second.
  auto forSigning = listed({});
  std::sort(forSigning.begin(), forSigning.end());
  EXPECT_EQ(forSigning,
            (std::vector<std::string>{"Alice Qualified", "Alice Signer", "Bob Signer"}));

  auto everything = listed(ChannelMap{{"onlyForSigning", false}});
  ASSERT_EQ(everything.size(), 5u);
  EXPECT_EQ(everything.back(), "Nora Software");
  EXPECT_NE(std::find(everything.begin(), everything.end(), "Alice Auth"), everything.end());

  // The record carries the certificate's own facts.
  ChannelValue alice = record("Alice Signer");
  const ChannelMap& map = *alice.asMap();
  EXPECT_EQ(*map.find("keyId")->asBytes(), keyIdOf("Alice Signer"));
  EXPECT_EQ(*map.find("derData")->asBytes(), Fixtures::get().certs["Alice Signer"]);
  EXPECT_EQ(*map.find("issuerCN")->asString(), "Vellumark Test CA");
  EXPECT_TRUE(map.find("serialNumber")->asString()->starts_with("009A0F"));
  int64_t notBefore = *map.find("notBefore")->asInteger();
  int64_t notAfter = *map.find("notAfter")->asInteger();
  EXPECT_EQ(notAfter - notBefore, int64_t{730} * 86400 * 1000);
  EXPECT_EQ(timesAsked(), 0);
}

TEST_F(TesselOnTokensTest, SignsByKeyIdAndByCertificate) {
  attach(true);
  script({"PIN:4321", "PIN:1234"});
  Bytes digest = sha256("a PDF's signed attributes");

  ChannelValue byKeyId =
      value(call("signBytes", ChannelMap{{"keyId", ChannelValue::bytes(keyIdOf("Bob Signer"))},
                                         {"hash", ChannelValue::bytes(digest)}}));
  ASSERT_TRUE(byKeyId.asBytes());
  EXPECT_TRUE(verifies(Fixtures::get().certs["Bob Signer"], digest, *byKeyId.asBytes()));

  // With "certDer" the certificate decides, whatever the keyId says.
  ChannelValue byCert = value(
      call("signBytes",
           ChannelMap{{"keyId", ChannelValue::bytes(fromHex("ff"))},
                      {"hash", ChannelValue::bytes(digest)},
                      {"certDer", ChannelValue::bytes(Fixtures::get().certs["Alice Signer"])}}));
  ASSERT_TRUE(byCert.asBytes());
  EXPECT_TRUE(verifies(Fixtures::get().certs["Alice Signer"], digest, *byCert.asBytes()));

  // The software identity signs without a dialog.
  ChannelValue bySoftware = value(
      call("signBytes", ChannelMap{{"keyId", ChannelValue::bytes({})},
                                   {"hash", ChannelValue::bytes(digest)},
                                   {"certDer", ChannelValue::bytes(Fixtures::get().nssCert)}}));
  ASSERT_TRUE(bySoftware.asBytes());
  EXPECT_TRUE(verifies(Fixtures::get().nssCert, digest, *bySoftware.asBytes()));
  EXPECT_EQ(timesAsked(), 2);
}

TEST_F(TesselOnTokensTest, FailuresReachTheUiWithTheirCodes) {
  attach();
  Bytes digest = sha256("x");
  auto signBob = [&](const Bytes& keyId, const Bytes& hash) {
    return call("signBytes", ChannelMap{{"keyId", ChannelValue::bytes(keyId)},
                                        {"hash", ChannelValue::bytes(hash)}});
  };
  const Bytes bob = keyIdOf("Bob Signer");

  script({"CANCEL"});
  ChannelError cancelled = error(signBob(bob, digest));
  EXPECT_EQ(cancelled.code, "USER_CANCELLED");
  EXPECT_EQ(cancelled.message, "User cancelled PIN entry");

  script({"PIN:4321"});
  ChannelError shortDigest = error(signBob(bob, Bytes(20, 1)));
  EXPECT_EQ(shortDigest.code, "SIGNING_FAILED");
  EXPECT_NE(shortDigest.message.value_or("").find("32"), std::string::npos);

  ChannelError mismatch = error(
      call("signBytes",
           ChannelMap{{"keyId", ChannelValue::bytes(bob)},
                      {"hash", ChannelValue::bytes(digest)},
                      {"certDer", ChannelValue::bytes(Fixtures::get().certs["Bob Mismatch"])}}));
  EXPECT_EQ(mismatch.code, "SIGNING_FAILED");
  EXPECT_EQ(mismatch.message, "Signature does not match the certificate");

  // A CKA_ID is no keyId.
  ChannelError unknown = error(signBob(fromHex("b1"), digest));
  EXPECT_EQ(unknown.code, "KEY_NOT_FOUND");
}

// Cards number their keys alike: the keyId must still tell them apart.
TEST_F(TesselOnTokensTest, TwoCardsWhoseKeysShareTheirCkaIdAreBothListedAndSign) {
  Fixtures& fixtures = Fixtures::get();
  std::map<std::string, Bytes> certs;
  for (const auto& [label, name] : {std::pair{"Gamma", "Gina Card"}, {"Delta", "Dan Card"}}) {
    run(std::string("softhsm2-util --init-token --free --label ") + label +
            " --pin 2222 --so-pin 99999999",
        fixtures.log);
    TokenWriter card(label, "2222");
    fs::path pem = fs::path(dir) / (std::string(label) + ".pub.pem");
    card.generate("01", name, pem);
    certs[name] = fixtures.issue(name, pem, "critical,nonRepudiation", "0x101", 30);
    card.store("01", name, certs[name]);
  }
  attach();
  auto forSigning = listed({});
  EXPECT_NE(std::find(forSigning.begin(), forSigning.end(), "Gina Card"), forSigning.end());
  EXPECT_NE(std::find(forSigning.begin(), forSigning.end(), "Dan Card"), forSigning.end());

  script({"PIN:2222", "PIN:2222"});
  Bytes digest = sha256("two cards");
  for (const auto& [name, der] : certs) {
    ChannelValue keyId = *record(name).asMap()->find("keyId");
    EXPECT_EQ(*keyId.asBytes(), keyIdOf(der));
    ChannelValue signature = value(
        call("signBytes", ChannelMap{{"keyId", keyId}, {"hash", ChannelValue::bytes(digest)}}));
    ASSERT_TRUE(signature.asBytes()) << name;
    EXPECT_TRUE(verifies(der, digest, *signature.asBytes())) << name;
  }
}

TEST_F(TesselOnTokensTest, IdentityDeletedByAnotherProgramIsNotFound) {
  attach();
  script({"PIN:1234"});
  const Bytes& alice = Fixtures::get().certs["Alice Signer"];
  auto sign = [&] {
    return call("signBytes", ChannelMap{{"keyId", ChannelValue::bytes(keyIdOf(alice))},
                                        {"hash", ChannelValue::bytes(sha256("x"))},
                                        {"certDer", ChannelValue::bytes(alice)}});
  };
  ASSERT_TRUE(value(sign()).asBytes());
  for (const char* type : {"cert", "privkey", "pubkey"}) {
    run(onToken("Alpha", "1234") + " --delete-object --type " + type + " --id a1",
        Fixtures::get().log);
  }
  EXPECT_EQ(error(sign()).code, "KEY_NOT_FOUND");
  EXPECT_EQ(error(sign()).code, "KEY_NOT_FOUND");
}

}  // namespace
}  // namespace vellumark::linux_platform::testing

#endif
