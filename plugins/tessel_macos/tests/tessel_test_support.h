// A plugin registered on an in-process messenger over a fake token store,
// and hand-written certificate bytes (the plugin reads key usage by a byte
// scan, so only the extension's bytes matter; the fake gives the rest).
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <variant>

#include "embedding/engine.h"
#include "embedding/testing.h"
#include "platform_fakes/fake_tokens.h"
#include "tessel_macos/tessel_macos_plugin.h"

namespace vellumark::tessel {

namespace fakes = platform::fakes;
using fakes::FakeIdentity;
using fakes::FakeTokenStore;
using Kind = FakeTokenStore::QueryKind;

inline constexpr uint8_t kNonRepudiation = 0x40;
inline constexpr uint8_t kDigitalSignature = 0x80;

// A certificate whose key-usage extension carries `usage`; `tag` tells
// certificates apart.
inline Bytes certificateDer(uint8_t tag, uint8_t usage, bool critical = false) {
  Bytes der{0x30, 0x82, 0x01, tag, 0x06, 0x03, 0x55, 0x1D, 0x0F};
  if (critical) der.insert(der.end(), {0x01, 0x01, 0xFF});
  der.insert(der.end(), {0x04, 0x04, 0x03, 0x02, 0x06, usage, 0x30, 0x00});
  return der;
}

// Usable on its own where a table test needs a fresh plugin per row. A null
// store leaves the plugin without a token service.
class PluginHarness {
 public:
  explicit PluginHarness(
      std::shared_ptr<FakeTokenStore> tokens = std::make_shared<FakeTokenStore>())
      : store(tokens),
        registry(messenger, nullptr, platform::Services{nullptr, std::move(tokens), nullptr}) {
    TesselMacosPlugin::registerWithRegistrar(registry.registrarForPlugin("TesselMacosPlugin"));
  }

  // Answers synchronously, exactly once.
  MethodResponse call(const std::string& method, const ChannelValue& arguments = {}) {
    auto response = ui.call("tessel_macos", method, arguments);
    EXPECT_TRUE(response.has_value()) << method << " was not answered synchronously";
    return response.value_or(MethodResponse{FlutterMethodNotImplemented});
  }
  ChannelValue success(const std::string& method, const ChannelValue& arguments = {}) {
    auto response = call(method, arguments);
    if (auto* error = std::get_if<ChannelError>(&response)) {
      ADD_FAILURE() << method << " failed: " << error->code << " " << error->message.value_or("");
    }
    auto* value = std::get_if<ChannelValue>(&response);
    return value != nullptr ? *value : ChannelValue{};
  }
  ChannelError failure(const std::string& method, const ChannelValue& arguments = {}) {
    auto response = call(method, arguments);
    auto* error = std::get_if<ChannelError>(&response);
    if (error == nullptr) {
      ADD_FAILURE() << method << " did not fail";
      return {};
    }
    EXPECT_TRUE(error->details.isNull());
    return *error;
  }

  // An identity with its label set to `keyId` on `tokenID`.
  std::shared_ptr<FakeIdentity> addIdentity(const std::string& tokenID, const Bytes& der,
                                            const Bytes& keyId) {
    auto identity = fakes::makeIdentity(der, Bytes{0x30, der[3]});
    store->addItem(tokenID, {identity, keyId});
    return identity;
  }

  std::shared_ptr<FakeTokenStore> store;
  EngineMessenger messenger;
  PluginRegistry registry;
  testing::TestUi ui{messenger};
};

class TesselPluginTest : public ::testing::Test, public PluginHarness {};

inline ChannelValue args(ChannelMap map) { return ChannelValue(std::move(map)); }

// An entry of a map value; null when absent.
inline ChannelValue field(const ChannelValue& map, std::string_view key) {
  const ChannelValue* value = map.asMap() != nullptr ? map.asMap()->find(key) : nullptr;
  return value != nullptr ? *value : ChannelValue{};
}

}  // namespace vellumark::tessel
