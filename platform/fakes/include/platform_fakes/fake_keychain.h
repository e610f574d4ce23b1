// An in-memory keychain with the real store's matching rules, a stand-in
// for the enclave's keys and AES-GCM (not real cryptography: it only
// keeps the framing and refuses what does not authenticate), and scripted
// protected-data availability. Any thread, one call at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/enclave.h"
#include "platform/keychain.h"
#include "platform/protected_data.h"

namespace vellumark::platform::fakes {

class FakeKeychain : public Keychain {
 public:
  enum class Operation { CopyMatching, Add, Update, Remove, CreateKey };
  struct StoredItem {
    uint64_t id = 0;
    KeychainQuery attributes;
    Bytes data;
  };

  int32_t copyMatching(const KeychainQuery& query, std::vector<KeychainItem>* result) override;
  int32_t add(const KeychainQuery& query) override;
  int32_t update(const KeychainQuery& query, const KeychainQuery& changes) override;
  int32_t remove(const KeychainQuery& query) override;
  KeyCreation createRandomKey(const KeyAttributes& attributes) override;
  std::optional<std::string> copyErrorMessageString(int32_t status) override;

  // Scripting. The next call of `operation` answers `status` and does nothing.
  void failNext(Operation operation, int32_t status);
  // A locked store: lookups that may not show UI answer
  // kInteractionNotAllowed, others "prompt", which unlocks unless the
  // user is scripted to dismiss it (kUserCanceled).
  void setLocked(bool locked);
  void setPromptDismissed(bool dismissed);
  // Statuses then have no text.
  void setReportsTexts(bool reports);

  std::vector<StoredItem> items() const;
  // Replaces the data of the items with this account.
  void setData(const std::string& account, const Bytes& data);
  std::vector<Operation> calls() const;
  int prompts() const;

 private:
  int32_t enter(Operation operation, const KeychainQuery& query);
  std::vector<StoredItem*> find(const KeychainQuery& query);

  mutable std::mutex mutex_;
  std::vector<StoredItem> items_;
  uint64_t nextId_ = 1;
  std::map<Operation, int32_t> scripted_;
  std::vector<Operation> calls_;
  bool locked_ = false;
  bool promptDismissed_ = false;
  bool reportsTexts_ = true;
  int prompts_ = 0;
};

class FakeAesGcm : public AesGcm {
 public:
  std::optional<Bytes> randomBytes(size_t count) override;
  std::optional<SealedBox> seal(const Bytes& key, const Bytes& nonce,
                                const Bytes& plaintext) override;
  std::optional<Bytes> open(const Bytes& key, const Bytes& nonce, const Bytes& ciphertext,
                            const Bytes& tag) override;

 private:
  std::mutex mutex_;
  uint64_t counter_ = 0x9E3779B97F4A7C15u;
};

class FakeProtectedData : public ProtectedData {
 public:
  bool isProtectedDataAvailable() override;
  void watch(Listener listener) override;
  // Tells the listener only when the state changes, as the real one does.
  void setAvailable(bool available);
  int watchCalls() const;

 private:
  mutable std::mutex mutex_;
  bool available_ = true;
  Listener listener_;
  int watchCalls_ = 0;
};

// A keychain, cipher and availability of the memory kind, wired together.
struct FakeKeychainServices {
  std::shared_ptr<FakeKeychain> keychain = std::make_shared<FakeKeychain>();
  std::shared_ptr<FakeAesGcm> aesGcm = std::make_shared<FakeAesGcm>();
  std::shared_ptr<FakeProtectedData> protectedData = std::make_shared<FakeProtectedData>();
  std::shared_ptr<KeychainServices> services() const {
    return std::make_shared<KeychainServices>(KeychainServices{keychain, aesGcm, protectedData});
  }
};

}  // namespace vellumark::platform::fakes
