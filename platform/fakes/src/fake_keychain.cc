#include "platform_fakes/fake_keychain.h"

#include <algorithm>
#include <utility>

#include "platform/keychain_rules.h"

namespace vellumark::platform::fakes {

namespace {

namespace rules = keychain_rules;
namespace st = keychain_status;

// A keyed stream and checksum: enough to frame, tell keys apart and notice
// tampering; nothing here is secret.
uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDu;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53u;
  return x ^ (x >> 33);
}

uint64_t digest(uint64_t seed, const Bytes& a, const Bytes& b = {}, const Bytes& c = {}) {
  uint64_t h = mix(seed);
  for (const Bytes* part : {&a, &b, &c}) {
    for (uint8_t byte : *part) h = mix(h ^ byte);
    h = mix(h ^ part->size());
  }
  return h;
}

Bytes stream(const Bytes& key, const Bytes& nonce, const Bytes& data) {
  Bytes out(data.size());
  for (size_t i = 0; i < data.size(); ++i) {
    out[i] = static_cast<uint8_t>(data[i] ^ (digest(i / 8, key, nonce) >> (8 * (i % 8))));
  }
  return out;
}

Bytes tagOf(const Bytes& key, const Bytes& nonce, const Bytes& ciphertext) {
  Bytes tag(AesGcm::kTagSize);
  for (size_t i = 0; i < tag.size(); ++i) {
    tag[i] = static_cast<uint8_t>(digest(1000 + i / 8, key, nonce, ciphertext) >> (8 * (i % 8)));
  }
  return tag;
}

constexpr size_t kFakePublicSize = 65;

// A fake enclave key: the private and public halves share one secret.
class FakeSecKey : public SecKey, public std::enable_shared_from_this<FakeSecKey> {
 public:
  FakeSecKey(Bytes secret, bool isPrivate) : secret_(std::move(secret)), private_(isPrivate) {}
  std::shared_ptr<SecKey> copyPublicKey() override {
    return std::make_shared<FakeSecKey>(secret_, false);
  }
  bool isAlgorithmSupported(KeyOperationType operation, SecKeyAlgorithm) override {
    return private_ == (operation == KeyOperationType::Decrypt);
  }
  KeyCryptResult createEncryptedData(SecKeyAlgorithm, const Bytes& plaintext) override {
    Bytes ephemeral(kFakePublicSize);
    for (size_t i = 0; i < ephemeral.size(); ++i) {
      ephemeral[i] = static_cast<uint8_t>(mix(++counter_ ^ i));
    }
    Bytes out = ephemeral;
    Bytes sealed = stream(secret_, ephemeral, plaintext);
    Bytes tag = tagOf(secret_, ephemeral, sealed);
    out.insert(out.end(), sealed.begin(), sealed.end());
    out.insert(out.end(), tag.begin(), tag.end());
    return {out, std::nullopt};
  }
  KeyCryptResult createDecryptedData(SecKeyAlgorithm, const Bytes& ciphertext) override {
    if (ciphertext.size() < kFakePublicSize + AesGcm::kTagSize) return {std::nullopt, "too short"};
    const Bytes ephemeral(ciphertext.begin(), ciphertext.begin() + kFakePublicSize);
    const auto tagStart = ciphertext.end() - AesGcm::kTagSize;
    const Bytes sealed(ciphertext.begin() + kFakePublicSize, tagStart);
    if (tagOf(secret_, ephemeral, sealed) != Bytes(tagStart, ciphertext.end())) {
      return {std::nullopt, "the data does not authenticate"};
    }
    return {stream(secret_, ephemeral, sealed), std::nullopt};
  }

 private:
  Bytes secret_;
  bool private_;
  uint64_t counter_ = 0;
};

}  // namespace

int32_t FakeKeychain::enter(Operation operation, const KeychainQuery& query) {
  calls_.push_back(operation);
  if (auto it = scripted_.find(operation); it != scripted_.end()) {
    const int32_t status = it->second;
    scripted_.erase(it);
    return status;
  }
  if (!locked_) return st::kSuccess;
  switch (rules::authenticationUI(query)) {
    case rules::AuthenticationUI::Fail:
      return st::kInteractionNotAllowed;
    case rules::AuthenticationUI::Skip:
      return st::kItemNotFound;
    case rules::AuthenticationUI::Allow:
      ++prompts_;
      if (promptDismissed_) return st::kUserCanceled;
      locked_ = false;
      return st::kSuccess;
  }
  return st::kSuccess;
}

std::vector<FakeKeychain::StoredItem*> FakeKeychain::find(const KeychainQuery& query) {
  const KeychainQuery attributes = rules::searchAttributes(query);
  std::vector<StoredItem*> found;
  for (auto& item : items_) {
    if (rules::matches(item.attributes, attributes)) found.push_back(&item);
  }
  return found;
}

int32_t FakeKeychain::copyMatching(const KeychainQuery& query, std::vector<KeychainItem>* result) {
  std::lock_guard lock(mutex_);
  if (int32_t status = rules::check(query, rules::Use::Search)) return status;
  if (int32_t status = enter(Operation::CopyMatching, query)) return status;
  auto found = find(query);
  if (found.empty()) return st::kItemNotFound;
  if (!rules::limitAll(query)) found.resize(1);
  if (result == nullptr) return st::kSuccess;
  const bool isKey = *queryValue<std::string>(query, sec::kClass) == sec::kClassKey;
  for (const StoredItem* stored : found) {
    KeychainItem item;
    if (rules::flag(query, sec::kReturnData)) item.data = stored->data;
    if (rules::flag(query, sec::kReturnAttributes)) item.attributes = stored->attributes;
    if (rules::flag(query, sec::kReturnPersistentRef)) {
      item.persistentRef = Bytes{static_cast<uint8_t>(stored->id), 0xF5};
    }
    if (isKey && rules::flag(query, sec::kReturnRef)) {
      item.ref = std::make_shared<FakeSecKey>(stored->data, true);
    }
    result->push_back(std::move(item));
  }
  return st::kSuccess;
}

int32_t FakeKeychain::add(const KeychainQuery& query) {
  std::lock_guard lock(mutex_);
  if (int32_t status = rules::check(query, rules::Use::Add)) return status;
  if (int32_t status = enter(Operation::Add, query)) return status;
  KeychainQuery attributes = rules::itemAttributes(query);
  const KeychainQuery key = rules::primaryKey(attributes);
  for (const auto& item : items_) {
    if (rules::primaryKey(item.attributes) == key) return st::kDuplicateItem;
  }
  const Bytes* data = queryValue<Bytes>(query, sec::kValueData);
  items_.push_back({nextId_++, std::move(attributes), data != nullptr ? *data : Bytes{}});
  return st::kSuccess;
}

int32_t FakeKeychain::update(const KeychainQuery& query, const KeychainQuery& changes) {
  std::lock_guard lock(mutex_);
  if (int32_t status = rules::check(query, rules::Use::Search)) return status;
  if (int32_t status = rules::check(changes, rules::Use::Changes)) return status;
  if (int32_t status = enter(Operation::Update, query)) return status;
  auto found = find(query);
  if (found.empty()) return st::kItemNotFound;
  for (StoredItem* item : found) {
    for (const auto& [name, value] : changes) {
      if (name == sec::kValueData) {
        item->data = std::get<Bytes>(value);
      } else {
        item->attributes.insert_or_assign(name, value);
      }
    }
  }
  return st::kSuccess;
}

int32_t FakeKeychain::remove(const KeychainQuery& query) {
  std::lock_guard lock(mutex_);
  if (int32_t status = rules::check(query, rules::Use::Search)) return status;
  if (int32_t status = enter(Operation::Remove, query)) return status;
  const KeychainQuery attributes = rules::searchAttributes(query);
  const auto removed = std::erase_if(
      items_, [&](const StoredItem& item) { return rules::matches(item.attributes, attributes); });
  return removed == 0 ? st::kItemNotFound : st::kSuccess;
}

KeyCreation FakeKeychain::createRandomKey(const KeyAttributes& attributes) {
  std::lock_guard lock(mutex_);
  if (int32_t status = enter(Operation::CreateKey, {})) {
    return {nullptr, keychainStatusText(status).value_or("failed")};
  }
  if (attributes.keyType != sec::kAttrKeyTypeECSECPrimeRandom || attributes.keySizeInBits != 256) {
    return {nullptr, "Unsupported key type or size."};
  }
  Bytes secret(32);
  for (size_t i = 0; i < secret.size(); ++i) {
    secret[i] = static_cast<uint8_t>(mix(nextId_ * 131 + i));
  }
  if (attributes.isPermanent) {
    items_.push_back({nextId_, rules::keyItem(attributes), secret});
  }
  ++nextId_;
  return {std::make_shared<FakeSecKey>(secret, true), std::nullopt};
}

std::optional<std::string> FakeKeychain::copyErrorMessageString(int32_t status) {
  std::lock_guard lock(mutex_);
  return reportsTexts_ ? keychainStatusText(status) : std::nullopt;
}

void FakeKeychain::failNext(Operation operation, int32_t status) {
  std::lock_guard lock(mutex_);
  scripted_[operation] = status;
}

void FakeKeychain::setLocked(bool locked) {
  std::lock_guard lock(mutex_);
  locked_ = locked;
}

void FakeKeychain::setPromptDismissed(bool dismissed) {
  std::lock_guard lock(mutex_);
  promptDismissed_ = dismissed;
}

void FakeKeychain::setReportsTexts(bool reports) {
  std::lock_guard lock(mutex_);
  reportsTexts_ = reports;
}

std::vector<FakeKeychain::StoredItem> FakeKeychain::items() const {
  std::lock_guard lock(mutex_);
  return items_;
}

void FakeKeychain::setData(const std::string& account, const Bytes& data) {
  std::lock_guard lock(mutex_);
  for (auto& item : items_) {
    const auto* name = queryValue<std::string>(item.attributes, sec::kAttrAccount);
    if (name != nullptr && *name == account) item.data = data;
  }
}

std::vector<FakeKeychain::Operation> FakeKeychain::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

int FakeKeychain::prompts() const {
  std::lock_guard lock(mutex_);
  return prompts_;
}

std::optional<Bytes> FakeAesGcm::randomBytes(size_t count) {
  std::lock_guard lock(mutex_);
  Bytes out(count);
  for (auto& byte : out) byte = static_cast<uint8_t>(mix(++counter_));
  return out;
}

std::optional<AesGcm::SealedBox> FakeAesGcm::seal(const Bytes& key, const Bytes& nonce,
                                                  const Bytes& plaintext) {
  if (key.size() != kKeySize || nonce.size() != kNonceSize) return std::nullopt;
  Bytes ciphertext = stream(key, nonce, plaintext);
  Bytes tag = tagOf(key, nonce, ciphertext);
  return SealedBox{std::move(ciphertext), std::move(tag)};
}

std::optional<Bytes> FakeAesGcm::open(const Bytes& key, const Bytes& nonce, const Bytes& ciphertext,
                                      const Bytes& tag) {
  if (key.size() != kKeySize || nonce.size() != kNonceSize || tag.size() != kTagSize) {
    return std::nullopt;
  }
  if (tagOf(key, nonce, ciphertext) != tag) return std::nullopt;
  return stream(key, nonce, ciphertext);
}

bool FakeProtectedData::isProtectedDataAvailable() {
  std::lock_guard lock(mutex_);
  return available_;
}

void FakeProtectedData::watch(Listener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
  ++watchCalls_;
}

void FakeProtectedData::setAvailable(bool available) {
  Listener listener;
  {
    std::lock_guard lock(mutex_);
    if (available_ == available) return;
    available_ = available;
    listener = listener_;
  }
  if (listener) listener(available);
}

int FakeProtectedData::watchCalls() const {
  std::lock_guard lock(mutex_);
  return watchCalls_;
}

}  // namespace vellumark::platform::fakes
