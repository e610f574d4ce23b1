// The keychain on the Secret Service (the private gnome-keyring of the test
// environment) against the memory fake: one suite of keychain rules runs on
// both, so the fake cannot drift; the plugin's behaviour suite runs on the
// Secret Service; and locking the collection reaches a listener once.
#include "../src/secret_keychain.h"

#include <gio/gio.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/enclave.h"
#include "platform/protected_data.h"
#include "platform_fakes/fake_keychain.h"
#include "storage_suite.h"

namespace vellumark::secure_storage::testing {

struct SecretServiceBackend {
  std::shared_ptr<platform::KeychainServices> services() {
    return linux_platform::createSecretKeychainServices();
  }
};
INSTANTIATE_TYPED_TEST_SUITE_P(SecretService, StorageSuite, SecretServiceBackend);

namespace {

namespace st = platform::keychain_status;
using platform::KeychainQuery;

struct MemoryBackend {
  platform::fakes::FakeKeychainServices fake;
  std::shared_ptr<platform::KeychainServices> services() { return fake.services(); }
};

template <typename Backend>
class KeychainRulesTest : public ::testing::Test {
 protected:
  KeychainRulesTest() : services(backend.services()), keychain(*services->keychain) {
    static int counter = 0;
    service = "rules-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  }
  ~KeychainRulesTest() override {
    keychain.remove(item({}));
    keychain.remove(item({{"sync", true}}));
  }
  // A password of this test's service with the entries given.
  KeychainQuery item(KeychainQuery entries) {
    entries.try_emplace("class", std::string(sec::kClassGenericPassword));
    entries.try_emplace("svce", service);
    return entries;
  }
  KeychainQuery withData(KeychainQuery entries, const std::string& data) {
    entries.insert_or_assign("v_Data", Bytes(data.begin(), data.end()));
    return item(std::move(entries));
  }
  std::vector<platform::KeychainItem> find(KeychainQuery entries) {
    std::vector<platform::KeychainItem> items;
    keychain.copyMatching(item(std::move(entries)), &items);
    return items;
  }

  Backend backend;
  std::shared_ptr<platform::KeychainServices> services;
  platform::Keychain& keychain;
  std::string service;
};

using Backends = ::testing::Types<MemoryBackend, SecretServiceBackend>;
TYPED_TEST_SUITE(KeychainRulesTest, Backends);

TYPED_TEST(KeychainRulesTest, ThePrimaryKeyIsClassAccountServiceAndSynchronizable) {
  auto& kc = this->keychain;
  EXPECT_EQ(kc.add(this->withData({{"acct", std::string("a")}, {"labl", std::string("x")}}, "1")),
            0);
  EXPECT_EQ(kc.add(this->withData({{"acct", std::string("a")}, {"labl", std::string("y")}}, "2")),
            st::kDuplicateItem);
  EXPECT_EQ(kc.add(this->withData({{"acct", std::string("a")}, {"sync", true}}, "3")), 0);
  EXPECT_EQ(kc.add(this->withData({{"acct", std::string("b")}}, "4")), 0);

  // Without a synchronizable entry only local items match.
  EXPECT_EQ(this->find({{"acct", std::string("a")}, {"m_Limit", std::string("m_LimitAll")}}).size(),
            1u);
  auto synced = this->find({{"acct", std::string("a")}, {"sync", true}, {"r_Data", true}});
  ASSERT_EQ(synced.size(), 1u);
  EXPECT_EQ(synced[0].data, Bytes({'3'}));
  EXPECT_EQ(this->find({{"m_Limit", std::string("m_LimitAll")}}).size(), 2u);
  EXPECT_EQ(this->find({}).size(), 1u);  // the limit is one unless all are asked for
  EXPECT_EQ(this->find({{"labl", std::string("y")}}).size(), 0u);
}

TYPED_TEST(KeychainRulesTest, AttributesComeBackAsStored) {
  const KeychainQuery stored{{"acct", std::string("ä")},
                             {"labl", std::string("L")},
                             {"desc", std::string("D")},
                             {"icmt", std::string("C")},
                             {"invi", true},
                             {"nega", false},
                             {"accc", platform::AccessControl{"ck", 0x4011}}};
  ASSERT_EQ(this->keychain.add(this->withData(stored, "v")), 0);
  auto found = this->find({{"acct", std::string("ä")},
                           {"r_Attributes", true},
                           {"r_Data", true},
                           {"r_PersistentRef", true}});
  ASSERT_EQ(found.size(), 1u);
  for (const auto& [name, value] : stored) {
    SCOPED_TRACE(name);
    auto it = found[0].attributes.find(name);
    ASSERT_NE(it, found[0].attributes.end());
    EXPECT_EQ(it->second, value);
  }
  EXPECT_EQ(*platform::queryValue<bool>(found[0].attributes, "sync"), false);
  EXPECT_EQ(found[0].data, Bytes({'v'}));
  EXPECT_TRUE(found[0].persistentRef && !found[0].persistentRef->empty());
}

TYPED_TEST(KeychainRulesTest, NothingFoundAndMalformedQueriesHaveTheirStatus) {
  auto& kc = this->keychain;
  const KeychainQuery missing = this->item({{"acct", std::string("none")}});
  EXPECT_EQ(kc.copyMatching(missing, nullptr), st::kItemNotFound);
  EXPECT_EQ(kc.update(missing, {{"v_Data", Bytes{1}}}), st::kItemNotFound);
  EXPECT_EQ(kc.remove(missing), st::kItemNotFound);

  const std::string invalidUtf8("\xC3\x28", 2);
  for (const KeychainQuery& bad : std::vector<KeychainQuery>{
           {{"acct", std::string("a")}},                    // no class
           this->item({{"acct", int64_t{1}}}),              // wrong type
           this->item({{"colour", std::string("red")}}),    // unknown name
           this->item({{"m_Limit", std::string("some")}}),  // unknown limit
           this->item({{"acct", invalidUtf8}}),             // not text
           {{"class", std::string("cert")}},                // unknown class
       }) {
    EXPECT_EQ(kc.copyMatching(bad, nullptr), st::kParam);
    EXPECT_EQ(kc.add(bad), st::kParam);
  }
  EXPECT_EQ(kc.update(this->item({}), {{"class", std::string("keys")}}), st::kParam);
  EXPECT_EQ(kc.update(this->item({}), {{"r_Data", true}}), st::kParam);
}

TYPED_TEST(KeychainRulesTest, UpdateChangesEveryMatchAndKeepsTheRest) {
  auto& kc = this->keychain;
  kc.add(this->withData({{"acct", std::string("a")}, {"labl", std::string("L")}}, "1"));
  kc.add(this->withData({{"acct", std::string("b")}}, "2"));
  EXPECT_EQ(kc.update(this->item({}), {{"v_Data", Bytes{'9'}}, {"icmt", std::string("c")}}), 0);
  auto all = this->find(
      {{"m_Limit", std::string("m_LimitAll")}, {"r_Data", true}, {"r_Attributes", true}});
  ASSERT_EQ(all.size(), 2u);
  for (const auto& item : all) {
    EXPECT_EQ(item.data, Bytes{'9'});
    EXPECT_EQ(*platform::queryValue<std::string>(item.attributes, "icmt"), "c");
  }
  EXPECT_EQ(this->find({{"labl", std::string("L")}, {"icmt", std::string("c")}}).size(), 1u);
}

// Another process (here a second connection) changes the items between two
// of our calls: ours see the change at once, a deleted item as not found,
// never as a failure or its old value.
TYPED_TEST(KeychainRulesTest, ChangesMadeElsewhereAreSeenAtOnce) {
  auto& kc = this->keychain;
  auto elsewhere = this->backend.services();
  platform::Keychain& other = *elsewhere->keychain;
  const KeychainQuery account = this->item({{"acct", std::string("shared")}});
  KeychainQuery withData = account;
  withData.insert_or_assign("r_Data", true);
  auto value = [&] {
    std::vector<platform::KeychainItem> items;
    const int32_t status = kc.copyMatching(withData, &items);
    if (status != st::kSuccess) return "status " + std::to_string(status);
    return items.empty() || !items.front().data
               ? std::string("no data")
               : std::string(items.front().data->begin(), items.front().data->end());
  };

  ASSERT_EQ(kc.add(this->withData({{"acct", std::string("shared")}}, "one")), st::kSuccess);
  EXPECT_EQ(value(), "one");
  ASSERT_EQ(other.update(account, {{"v_Data", Bytes{'t', 'w', 'o'}}}), st::kSuccess);
  EXPECT_EQ(value(), "two");
  ASSERT_EQ(other.remove(account), st::kSuccess);
  EXPECT_EQ(kc.copyMatching(withData, nullptr), st::kItemNotFound);
  EXPECT_EQ(value(), "status " + std::to_string(st::kItemNotFound));
  EXPECT_EQ(kc.update(account, {{"v_Data", Bytes{'x'}}}), st::kItemNotFound);
  ASSERT_EQ(other.add(this->withData({{"acct", std::string("shared")}}, "three")), st::kSuccess);
  EXPECT_EQ(value(), "three");
}

TYPED_TEST(KeychainRulesTest, EnclaveKeysAreKeptAndOnlyTheirOwnPrivateHalfOpens) {
  auto& kc = this->keychain;
  const std::string tagText = "fss.enclave." + this->service;
  const Bytes tag(tagText.begin(), tagText.end());
  platform::KeyAttributes attributes{std::string(sec::kAttrKeyTypeECSECPrimeRandom),
                                     256,
                                     std::string(sec::kAttrTokenIDSecureEnclave),
                                     true,
                                     tag,
                                     platform::AccessControl{"aku", 0x40000000}};
  auto made = kc.createRandomKey(attributes);
  ASSERT_TRUE(made.key) << made.error.value_or("");
  attributes.isPermanent = false;
  auto other = kc.createRandomKey(attributes);
  ASSERT_TRUE(other.key);

  const KeychainQuery lookup{
      {"class", std::string("keys")}, {"type", std::string("73")}, {"atag", tag}, {"r_Ref", true}};
  std::vector<platform::KeychainItem> found;
  ASSERT_EQ(kc.copyMatching(lookup, &found), 0);
  ASSERT_EQ(found.size(), 1u);
  ASSERT_TRUE(found[0].ref);

  using platform::KeyOperationType;
  constexpr auto kEcies = platform::SecKeyAlgorithm::ECIESEncryptionCofactorX963SHA256AESGCM;
  auto publicKey = made.key->copyPublicKey();
  ASSERT_TRUE(publicKey);
  EXPECT_TRUE(publicKey->isAlgorithmSupported(KeyOperationType::Encrypt, kEcies));
  EXPECT_FALSE(publicKey->isAlgorithmSupported(KeyOperationType::Decrypt, kEcies));
  const Bytes secret(32, 0x5A);
  auto wrapped = publicKey->createEncryptedData(kEcies, secret);
  ASSERT_TRUE(wrapped.data);
  EXPECT_EQ(found[0].ref->createDecryptedData(kEcies, *wrapped.data).data, secret);
  EXPECT_FALSE(other.key->createDecryptedData(kEcies, *wrapped.data).data);
  Bytes tampered = *wrapped.data;
  tampered[70] ^= 1;
  EXPECT_FALSE(found[0].ref->createDecryptedData(kEcies, tampered).data);

  EXPECT_EQ(kc.remove({{"class", std::string("keys")}, {"atag", tag}}), 0);
  EXPECT_EQ(kc.copyMatching(lookup, nullptr), st::kItemNotFound);
}

TYPED_TEST(KeychainRulesTest, SealedBoxesOpenOnlyUnchanged) {
  auto& aes = *this->services->aesGcm;
  auto key = aes.randomBytes(32);
  auto nonce = aes.randomBytes(12);
  ASSERT_TRUE(key && nonce);
  EXPECT_NE(aes.randomBytes(32), key);
  const Bytes text{'h', 'e', 'l', 'l', 'o'};
  auto box = aes.seal(*key, *nonce, text);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->ciphertext.size(), text.size());
  EXPECT_EQ(box->tag.size(), 16u);
  EXPECT_EQ(aes.open(*key, *nonce, box->ciphertext, box->tag), text);
  Bytes badTag = box->tag;
  badTag[0] ^= 1;
  EXPECT_FALSE(aes.open(*key, *nonce, box->ciphertext, badTag));
  EXPECT_FALSE(aes.open(*key, Bytes(11), box->ciphertext, box->tag));
  EXPECT_FALSE(aes.seal(Bytes(16), *nonce, text));
}

// --- Locking the real collection --------------------------------------------

constexpr char kCollection[] = "/org/freedesktop/secrets/collection/login";
constexpr char kPassword[] = "test-password";  // tests/env/with-test-env.sh

struct VariantFree {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantFree>;

Variant secretsCall(const char* interface, const char* method, GVariant* parameters) {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  GError* error = nullptr;
  Variant reply(g_dbus_connection_call_sync(
      bus, "org.freedesktop.secrets", "/org/freedesktop/secrets", interface, method, parameters,
      nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error));
  if (error != nullptr) {
    ADD_FAILURE() << method << ": " << error->message;
    g_error_free(error);
  }
  g_object_unref(bus);
  return reply;
}

void lockCollection() {
  const gchar* paths[] = {kCollection, nullptr};
  secretsCall("org.freedesktop.Secret.Service", "Lock", g_variant_new("(^ao)", paths));
}

// gnome-keyring's own unlock, which needs no prompt.
void unlockCollection() {
  Variant session = secretsCall("org.freedesktop.Secret.Service", "OpenSession",
                                g_variant_new("(sv)", "plain", g_variant_new_string("")));
  ASSERT_TRUE(session);
  const gchar* sessionPath = nullptr;
  GVariant* output = nullptr;
  g_variant_get(session.get(), "(v&o)", &output, &sessionPath);
  g_variant_unref(output);
  GVariant* secret = g_variant_new(
      "(o@ay@ays)", sessionPath, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, kPassword, sizeof kPassword - 1, 1),
      "text/plain");
  secretsCall("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
              "UnlockWithMasterPassword", g_variant_new("(o@(oayays))", kCollection, secret));
}

class SecretAvailabilityTest : public ::testing::Test {
 protected:
  SecretAvailabilityTest()
      : harness(platform::Lazy<platform::KeychainServices>::of(
                    linux_platform::createSecretKeychainServices()),
                false) {}
  ~SecretAvailabilityTest() override { unlockCollection(); }

  // Runs the main loop (where the collection's signals arrive) and the
  // plugin's queues until `count` events came, then a little longer, so a
  // repeated report would show.
  std::vector<ChannelValue> eventsAfterSettling(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto settleUntil = std::chrono::steady_clock::time_point::max();
    while (std::chrono::steady_clock::now() < std::min(deadline, settleUntil)) {
      while (g_main_context_iteration(nullptr, FALSE)) {
      }
      harness.drain();
      if (harness.events().size() >= count &&
          settleUntil == std::chrono::steady_clock::time_point::max()) {
        settleUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return harness.events();
  }

  StorageHarness harness;
};

TEST_F(SecretAvailabilityTest, LockingAndUnlockingIsHeardOnceEach) {
  using ::testing::ElementsAre;
  auto& ui = harness.eventUi();
  const auto opts = arguments("k", "v", {{"accountName", "availability"}});
  harness.success("write", opts);
  EXPECT_EQ(harness.success("isProtectedDataAvailable"), ChannelValue(true));
  ui.listen(kEvents);
  harness.drain();
  EXPECT_THAT(eventsAfterSettling(0), ::testing::IsEmpty());

  lockCollection();
  EXPECT_THAT(eventsAfterSettling(1), ElementsAre(ChannelValue(false)));
  EXPECT_EQ(harness.success("isProtectedDataAvailable"), ChannelValue(false));
  // A read that may not prompt is refused rather than shown as missing.
  ChannelError refused = harness.failure(
      "read",
      arguments("k", std::nullopt,
                {{"accountName", "availability"}, {"authenticationUIBehavior", "u_AuthUIF"}}));
  EXPECT_EQ(refused.details, ChannelValue(int32_t{-25308}));

  unlockCollection();
  EXPECT_THAT(eventsAfterSettling(2), ElementsAre(ChannelValue(false), ChannelValue(true)));
  EXPECT_EQ(
      harness.success("read", arguments("k", std::nullopt, {{"accountName", "availability"}})),
      ChannelValue("v"));

  // A later listener hears nothing until the next change.
  ui.cancel(kEvents);
  ui.clearReceived();
  ui.listen(kEvents);
  EXPECT_THAT(eventsAfterSettling(0), ::testing::IsEmpty());
  lockCollection();
  EXPECT_THAT(eventsAfterSettling(1), ElementsAre(ChannelValue(false)));
  unlockCollection();
  harness.success("delete", arguments("k", std::nullopt, {{"accountName", "availability"}}));
}

}  // namespace
}  // namespace vellumark::secure_storage::testing
