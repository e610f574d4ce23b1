// The channel's behaviour, run against every keychain backend: the memory
// fake in the unit tests, the Secret Service in the integration tests. A
// backend type gives `services()` (made once per test) and `name()`.
// Each test keeps to a service (account name) of its own.
#pragma once

#include <unistd.h>

#include <atomic>

#include "platform/lazy.h"
#include "storage_test_support.h"

namespace vellumark::secure_storage::testing {

namespace sec = platform::sec;
using Options = std::vector<std::pair<std::string, std::string>>;

template <typename Backend>
class StorageSuite : public ::testing::Test {
 protected:
  StorageSuite()
      : services(backend.services()),
        harness(platform::Lazy<platform::KeychainServices>::of(services), false) {
    static std::atomic<int> counter{0};
    service = "fss-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  }
  ~StorageSuite() override {
    harness.call("deleteAll", arguments(std::nullopt, std::nullopt, plain()));
    harness.call("deleteAll", arguments(std::nullopt, std::nullopt, enclave()));
  }

  Options plain(Options extra = {}) {
    extra.emplace_back("accountName", service);
    return extra;
  }
  Options enclave(Options extra = {}) {
    extra.emplace_back("useSecureEnclave", "true");
    return plain(std::move(extra));
  }
  ChannelValue with(const std::string& key, const Options& options) {
    return arguments(key, std::nullopt, options);
  }
  ChannelValue with(const std::string& key, const std::string& value, const Options& options) {
    return arguments(key, value, options);
  }
  ChannelValue all(const Options& options) {
    return arguments(std::nullopt, std::nullopt, options);
  }
  bool hasEnclaveKey() {
    const std::string tag = "fss.enclave." + service;
    return services->keychain->copyMatching(
               {{std::string(sec::kClass), std::string(sec::kClassKey)},
                {std::string(sec::kAttrKeyType), std::string(sec::kAttrKeyTypeECSECPrimeRandom)},
                {std::string(sec::kAttrApplicationTag), Bytes(tag.begin(), tag.end())}},
               nullptr) == platform::keychain_status::kSuccess;
  }

  Backend backend;
  std::shared_ptr<platform::KeychainServices> services;
  StorageHarness harness;
  std::string service;
};

TYPED_TEST_SUITE_P(StorageSuite);

TYPED_TEST_P(StorageSuite, PlainValuesLiveAndDieWithTheirKey) {
  auto& h = this->harness;
  const auto opts = this->plain();
  // Not finding an item is never an error.
  EXPECT_EQ(h.success("read", this->with("k", opts)), ChannelValue());
  EXPECT_EQ(h.success("containsKey", this->with("k", opts)), ChannelValue(false));
  EXPECT_EQ(h.success("delete", this->with("k", opts)), ChannelValue());

  EXPECT_EQ(h.success("write", this->with("k", "first ünïcode ✓", opts)), ChannelValue());
  EXPECT_EQ(h.success("read", this->with("k", opts)), ChannelValue("first ünïcode ✓"));
  EXPECT_EQ(h.success("containsKey", this->with("k", opts)), ChannelValue(true));
  EXPECT_EQ(h.success("write", this->with("k", "", opts)), ChannelValue());
  EXPECT_EQ(h.success("read", this->with("k", opts)), ChannelValue(""));

  EXPECT_EQ(h.success("delete", this->with("k", opts)), ChannelValue());
  EXPECT_EQ(h.success("read", this->with("k", opts)), ChannelValue());
  EXPECT_EQ(h.success("containsKey", this->with("k", opts)), ChannelValue(false));
}

TYPED_TEST_P(StorageSuite, ReadAllAndDeleteAllCoverTheService) {
  auto& h = this->harness;
  const auto opts = this->plain();
  EXPECT_EQ(h.success("readAll", this->all(opts)), ChannelValue());
  EXPECT_EQ(h.success("deleteAll", this->all(opts)), ChannelValue());
  h.success("write", this->with("a", "1", opts));
  h.success("write", this->with("b", "2", opts));
  EXPECT_EQ(h.success("readAll", this->all(opts)),
            ChannelValue(stringMap({{"a", "1"}, {"b", "2"}})));
  EXPECT_EQ(h.success("deleteAll", this->all(opts)), ChannelValue());
  EXPECT_EQ(h.success("readAll", this->all(opts)), ChannelValue());
}

TYPED_TEST_P(StorageSuite, EnclaveValuesAreSealedAndTheirKeysHidden) {
  auto& h = this->harness;
  const auto opts = this->enclave();
  EXPECT_EQ(h.success("read", this->with("k", opts)), ChannelValue());
  EXPECT_EQ(h.success("write", this->with("k", "sealed value", opts)), ChannelValue());
  EXPECT_EQ(h.success("write", this->with("j", "other", opts)), ChannelValue());
  EXPECT_TRUE(this->hasEnclaveKey());
  EXPECT_EQ(h.success("read", this->with("k", opts)), ChannelValue("sealed value"));
  // Over an existing value: both items are updated.
  EXPECT_EQ(h.success("write", this->with("k", "sealed again", opts)), ChannelValue());
  EXPECT_EQ(h.success("read", this->with("k", opts)), ChannelValue("sealed again"));
  EXPECT_EQ(h.success("readAll", this->all(opts)),
            ChannelValue(stringMap({{"j", "other"}, {"k", "sealed again"}})));
  // Stored bytes are nonce, ciphertext and tag: not the value.
  auto plainView = h.success("readAll", this->all(this->plain()));
  ASSERT_NE(plainView.asMap(), nullptr);
  for (const auto& [key, value] : *plainView.asMap()) {
    EXPECT_NE(value, ChannelValue("sealed again")) << *key.asString();
    EXPECT_FALSE(key.asString()->starts_with("fss.wrapped.")) << *key.asString();
  }

  EXPECT_EQ(h.success("delete", this->with("k", opts)), ChannelValue());
  EXPECT_EQ(h.success("containsKey", this->with("k", opts)), ChannelValue(false));
  EXPECT_EQ(h.success("containsKey", this->with("fss.wrapped.k", opts)), ChannelValue(false));
  EXPECT_EQ(h.success("containsKey", this->with("fss.wrapped.j", opts)), ChannelValue(true));
}

TYPED_TEST_P(StorageSuite, DeleteAllInEnclaveModeRemovesTheEnclaveKey) {
  auto& h = this->harness;
  const auto opts = this->enclave();
  h.success("write", this->with("k", "v", opts));
  ASSERT_TRUE(this->hasEnclaveKey());
  EXPECT_EQ(h.success("deleteAll", this->all(opts)), ChannelValue());
  EXPECT_FALSE(this->hasEnclaveKey());
  EXPECT_EQ(h.success("readAll", this->all(opts)), ChannelValue());
  // A later write makes a new key and reads back.
  h.success("write", this->with("k", "again", opts));
  EXPECT_TRUE(this->hasEnclaveKey());
  EXPECT_EQ(h.success("read", this->with("k", opts)), ChannelValue("again"));
}

TYPED_TEST_P(StorageSuite, PlainWritesOverEnclaveValues) {
  auto& h = this->harness;
  h.success("write", this->with("k", "enclave", this->enclave()));
  const std::string longValue = "a plain value longer than a nonce and a tag";
  EXPECT_EQ(h.success("write", this->with("k", longValue, this->plain())), ChannelValue());
  EXPECT_EQ(h.success("read", this->with("k", this->plain())), ChannelValue(longValue));
  // It does not open as a sealed box, so enclave mode reads it plainly.
  EXPECT_EQ(h.success("read", this->with("k", this->enclave())), ChannelValue(longValue));
  // Twelve bytes cannot even hold a nonce and a ciphertext.
  h.success("write", this->with("k", "twelve bytes", this->plain()));
  ChannelError error = h.failure("read", this->with("k", this->enclave()));
  EXPECT_EQ(error.code, "Unexpected security result code");
  EXPECT_EQ(error.message, "Code: -26275, Message: Unable to decode the provided data.");
  EXPECT_EQ(error.details, ChannelValue(int32_t{-26275}));
}

TYPED_TEST_P(StorageSuite, KeychainStatusesReachTheUiWithTheirText) {
  auto& h = this->harness;
  h.success("write", this->with("k", "v", this->plain({{"label", "one"}})));
  // Another label is another item, but the same primary key.
  ChannelError duplicate =
      h.failure("write", this->with("k", "w", this->plain({{"label", "two"}})));
  EXPECT_EQ(duplicate.code, "Unexpected security result code");
  EXPECT_EQ(duplicate.message,
            "Code: -25299, Message: The specified item already exists in the keychain.");
  EXPECT_EQ(duplicate.details, ChannelValue(int32_t{-25299}));
  EXPECT_EQ(h.success("read", this->with("k", this->plain())), ChannelValue("v"));

  // Queries the keychain would refuse are answered before it is asked.
  ChannelError both = h.failure(
      "write",
      this->with("h", "v", this->plain({{"isHidden", "true"}, {"isPlaceholder", "true"}})));
  EXPECT_EQ(both.message,
            "Code: -50, Message: Cannot use both kSecAttrIsInvisible and kSecAttrIsNegative "
            "together.");
  EXPECT_EQ(both.details, ChannelValue(int32_t{-50}));
  const auto reference = this->plain({{"persistentReference", "true"}});
  EXPECT_EQ(h.failure("read", this->with("k", reference)).message,
            "Code: -50, Message: Cannot use kSecReturnPersistentRef and kSecReturnData together.");
  // A lookup that asks for no data carries the reference request and passes.
  EXPECT_EQ(h.success("containsKey", this->with("k", reference)), ChannelValue(true));
  EXPECT_EQ(h.success("readAll", this->all(this->plain())), ChannelValue(stringMap({{"k", "v"}})));
}

TYPED_TEST_P(StorageSuite, SynchronizableItemsAreSeparate) {
  auto& h = this->harness;
  const auto synced = this->plain({{"synchronizable", "true"}});
  h.success("write", this->with("k", "synced", synced));
  // Lookups without the option see only local items; containsKey asks for both.
  EXPECT_EQ(h.success("read", this->with("k", this->plain())), ChannelValue());
  EXPECT_EQ(h.success("containsKey", this->with("k", this->plain())), ChannelValue(true));
  EXPECT_EQ(h.success("read", this->with("k", synced)), ChannelValue("synced"));
  h.success("write", this->with("k", "local", this->plain({{"synchronizable", "false"}})));
  EXPECT_EQ(h.success("read", this->with("k", this->plain())), ChannelValue("local"));
  // Delete removes both.
  h.success("delete", this->with("k", this->plain()));
  EXPECT_EQ(h.success("read", this->with("k", synced)), ChannelValue());
  EXPECT_EQ(h.success("containsKey", this->with("k", this->plain())), ChannelValue(false));
}

TYPED_TEST_P(StorageSuite, AttributesAndAccessOptionsAreKept) {
  auto& h = this->harness;
  const auto opts = this->plain({{"label", "L"},
                                 {"description", "D"},
                                 {"comment", "C"},
                                 {"accessibility", "first_unlock"},
                                 {"accessControlFlags", "[userPresence, or, devicePasscode]"}});
  h.success("write", this->with("k", "v", opts));
  EXPECT_EQ(h.success("read", this->with("k", opts)), ChannelValue("v"));
  std::vector<platform::KeychainItem> items;
  ASSERT_EQ(this->services->keychain->copyMatching(
                {{std::string(sec::kClass), std::string(sec::kClassGenericPassword)},
                 {std::string(sec::kAttrService), this->service},
                 {std::string(sec::kReturnAttributes), true}},
                &items),
            0);
  ASSERT_EQ(items.size(), 1u);
  const auto& attributes = items[0].attributes;
  EXPECT_EQ(*platform::queryValue<std::string>(attributes, sec::kAttrLabel), "L");
  EXPECT_EQ(*platform::queryValue<std::string>(attributes, sec::kAttrComment), "C");
  const auto* control =
      platform::queryValue<platform::AccessControl>(attributes, sec::kAttrAccessControl);
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(*control,
            (platform::AccessControl{std::string(sec::kAttrAccessibleAfterFirstUnlock), 0x4011}));
}

TYPED_TEST_P(StorageSuite, MissingParametersAreAnsweredBeforeAnyWork) {
  auto& h = this->harness;
  const auto opts = this->plain();
  struct Row {
    const char* method;
    ChannelValue arguments;
    const char* message;
  };
  ChannelMap numberValue = *arguments("k", std::nullopt, opts).asMap();
  numberValue.append(ChannelValue("value"), ChannelValue(int32_t{5}));
  const std::vector<Row> rows{
      {"read", this->all(opts), "read requires key parameter"},
      {"write", this->all(opts), "write requires key and value parameters"},
      {"write", this->with("k", opts), "write requires key and value parameters"},
      {"write", ChannelValue(numberValue), "write requires key and value parameters"},
      {"delete", ChannelValue(), "delete requires key parameter"},
      {"containsKey", ChannelValue(int32_t{3}), "containsKey requires key parameter"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.method);
    ChannelError error = h.failure(row.method, row.arguments);
    EXPECT_EQ(error.code, "Missing Parameter");
    EXPECT_EQ(error.message, row.message);
    EXPECT_TRUE(error.details.isNull());
  }
  EXPECT_EQ(h.success("readAll", this->all(opts)), ChannelValue());
  EXPECT_EQ(h.call("readValue", this->with("k", opts)),
            MethodResponse(FlutterMethodNotImplemented));
}

TYPED_TEST_P(StorageSuite, ABurstOfCallsIsAnsweredInOrderWithNothingLost) {
  // The real queue, as registered in the host.
  StorageHarness h(platform::Lazy<platform::KeychainServices>::of(this->services), true);
  constexpr int kPairs = 100;
  const auto opts = this->plain();
  for (int i = 0; i < kPairs; ++i) {
    const std::string key = "k" + std::to_string(i % 10);
    h.send("write", this->with(key, "v" + std::to_string(i), opts));
    h.send("read", this->with(key, opts));
  }
  h.mainQueue->runUntil([&] { return h.answers.size() == 2 * kPairs; });
  for (int i = 0; i < kPairs; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(h.answeredMethods[2 * size_t(i)], "write");
    EXPECT_EQ(h.answers[2 * size_t(i)].response, MethodResponse(ChannelValue()));
    EXPECT_EQ(h.answers[2 * size_t(i) + 1].response,
              MethodResponse(ChannelValue("v" + std::to_string(i))));
    EXPECT_EQ(h.answers[2 * size_t(i)].thread, std::this_thread::get_id());
  }
}

REGISTER_TYPED_TEST_SUITE_P(StorageSuite, PlainValuesLiveAndDieWithTheirKey,
                            ReadAllAndDeleteAllCoverTheService,
                            EnclaveValuesAreSealedAndTheirKeysHidden,
                            DeleteAllInEnclaveModeRemovesTheEnclaveKey,
                            PlainWritesOverEnclaveValues, KeychainStatusesReachTheUiWithTheirText,
                            SynchronizableItemsAreSeparate, AttributesAndAccessOptionsAreKept,
                            MissingParametersAreAnsweredBeforeAnyWork,
                            ABurstOfCallsIsAnsweredInOrderWithNothingLost);

}  // namespace vellumark::secure_storage::testing
