#include "flutter_secure_storage.h"

#include <utility>
#include <vector>

namespace vellumark::secure_storage {

namespace {

namespace sec = platform::sec;
namespace st = platform::keychain_status;
using Response = FlutterSecureStorageResponse;
using platform::KeychainQuery;

constexpr std::string_view kWrappedPrefix = "fss.wrapped.";
constexpr std::string_view kEnclaveTagPrefix = "fss.enclave.";
constexpr std::string_view kDefaultEnclaveService = "flutter_secure_storage_service";
constexpr int64_t kEnclaveKeyBits = 256;
constexpr auto kEcies = platform::SecKeyAlgorithm::ECIESEncryptionCofactorX963SHA256AESGCM;
constexpr char kMessageNoEncryption[] = "ECIES not supported for encryption";
constexpr char kMessageNoDecryption[] = "ECIES not supported for decryption";

using platform::AesGcm;

std::string wrappedName(const std::string& key) { return std::string(kWrappedPrefix) + key; }

Bytes enclaveKeyTag(const std::optional<std::string>& service) {
  const std::string tag =
      std::string(kEnclaveTagPrefix) + service.value_or(std::string(kDefaultEnclaveService));
  return Bytes(tag.begin(), tag.end());
}

Bytes utf8Bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Response::Value textOf(const std::optional<Bytes>& data) {
  if (!data || !isValidUtf8(*data)) return std::monostate{};
  return std::string(data->begin(), data->end());
}

KeychainQuery withData(KeychainQuery query, const Bytes& data) {
  query.insert_or_assign(std::string(sec::kValueData), data);
  return query;
}

}  // namespace

bool isValidUtf8(const Bytes& bytes) {
  return platform::isValidUtf8(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

FlutterSecureStorage::FlutterSecureStorage(platform::Lazy<platform::KeychainServices> services)
    : services_(std::move(services)) {}

std::shared_ptr<platform::KeychainServices> FlutterSecureStorage::services() {
  return services_.get();
}

const platform::KeychainServices& FlutterSecureStorage::require() {
  auto services = services_.get();
  if (!services || !services->keychain || !services->aesGcm) {
    throw OSSecError{st::kNotAvailable, std::nullopt};
  }
  keychain_ = services->keychain.get();
  aesGcm_ = services->aesGcm.get();
  // The Lazy keeps them alive for the process's life.
  return *services;
}

bool FlutterSecureStorage::containsKey(const KeychainQueryParameters& p) {
  KeychainQueryParameters copy = p;
  copy.shouldReturnData = false;
  checkQueryParameters(copy);
  require();
  return lookUp(p);
}

bool FlutterSecureStorage::lookUp(const KeychainQueryParameters& p) {
  KeychainQueryParameters copy = p;
  copy.shouldReturnData = false;
  copy.isSynchronizable = true;
  int32_t status = keychain_->copyMatching(baseQuery(copy), nullptr);
  if (status == st::kSuccess) return true;
  if (status != st::kItemNotFound) throw OSSecError{status, std::nullopt};
  copy.isSynchronizable = false;
  status = keychain_->copyMatching(baseQuery(copy), nullptr);
  if (status == st::kSuccess) return true;
  if (status == st::kItemNotFound) return false;
  throw OSSecError{status, std::nullopt};
}

bool FlutterSecureStorage::existsForWrite(const KeychainQueryParameters& p) {
  try {
    return lookUp(p);
  } catch (const OSSecError&) {
    return false;
  }
}

int32_t FlutterSecureStorage::deleteItems(const KeychainQueryParameters& p, bool allItems) {
  KeychainQueryParameters copy = p;
  if (allItems) copy.key.reset();
  copy.accessibilityLevel.reset();
  copy.accessControlFlags.reset();
  copy.isSynchronizable = true;
  const int32_t first = keychain_->remove(baseQuery(copy));
  copy.isSynchronizable = false;
  const int32_t second = keychain_->remove(baseQuery(copy));
  if (first == st::kSuccess) return st::kSuccess;
  if (first == st::kItemNotFound) {
    return second == st::kSuccess || second == st::kItemNotFound ? st::kSuccess : second;
  }
  return second == st::kSuccess ? st::kSuccess : first;
}

Response FlutterSecureStorage::remove(const KeychainQueryParameters& p) {
  checkQueryParameters(p);
  require();
  const int32_t status = deleteItems(p, false);
  if (status != st::kSuccess) return {status, {}};
  if (p.enclaveMode() && p.key) {
    KeychainQueryParameters wrapped = p;
    wrapped.key = wrappedName(*p.key);
    return {deleteItems(wrapped, false), {}};
  }
  return {};
}

Response FlutterSecureStorage::deleteAll(const KeychainQueryParameters& p) {
  checkQueryParameters(p);
  require();
  const int32_t status = deleteItems(p, true);
  if (p.enclaveMode()) deleteEnclaveKey(p.service);
  return {status, {}};
}

Response FlutterSecureStorage::read(const KeychainQueryParameters& p) {
  checkQueryParameters(p);
  require();
  return p.enclaveMode() ? readEnclave(p) : readPlain(p);
}

Response FlutterSecureStorage::readPlain(const KeychainQueryParameters& p) {
  std::vector<platform::KeychainItem> items;
  const int32_t status = keychain_->copyMatching(baseQuery(p), &items);
  if (status == st::kItemNotFound) return {};
  if (status != st::kSuccess) return {status, {}};
  return {st::kSuccess, items.empty() ? Response::Value{} : textOf(items.front().data)};
}

Response FlutterSecureStorage::readEnclave(const KeychainQueryParameters& p) {
  if (!p.key) return {st::kParam, {}};
  // Both items, each absent meaning "no value".
  std::vector<platform::KeychainItem> items;
  int32_t status = keychain_->copyMatching(wrappedKeyQuery(p, true), &items);
  if (status == st::kItemNotFound) return {};
  if (status != st::kSuccess) return {status, {}};
  if (items.empty() || !items.front().data) return {};
  const Bytes wrapped = *items.front().data;

  KeychainQueryParameters valueParameters = p;
  valueParameters.shouldReturnData = true;
  items.clear();
  status = keychain_->copyMatching(baseQuery(valueParameters), &items);
  if (status == st::kItemNotFound) return {};
  if (status != st::kSuccess) return {status, {}};
  if (items.empty() || !items.front().data) return {};
  const Bytes stored = *items.front().data;

  auto fallBack = [this, &p] {
    KeychainQueryParameters plain = p;
    plain.useSecureEnclave = false;
    return readPlain(plain);
  };
  Bytes key;
  try {
    auto privateKey = getOrCreateEnclaveKey(p.service);
    key = unwrapKey(wrapped, *privateKey);
  } catch (const OSSecError&) {
    return fallBack();
  }
  if (stored.size() <= AesGcm::kNonceSize) return {st::kDecode, {}};
  if (stored.size() < AesGcm::kNonceSize + AesGcm::kTagSize) return fallBack();
  const auto tagStart = stored.end() - static_cast<std::ptrdiff_t>(AesGcm::kTagSize);
  const Bytes nonce(stored.begin(), stored.begin() + AesGcm::kNonceSize);
  const Bytes ciphertext(stored.begin() + AesGcm::kNonceSize, tagStart);
  const Bytes tag(tagStart, stored.end());
  auto opened = aesGcm_->open(key, nonce, ciphertext, tag);
  if (!opened) return fallBack();
  return {st::kSuccess, textOf(opened)};
}

Response FlutterSecureStorage::write(const KeychainQueryParameters& p, const std::string& value) {
  // Enclave mode never asks for data back, so only its copies are checked.
  KeychainQueryParameters first = p;
  if (p.enclaveMode()) first.shouldReturnData = false;
  checkQueryParameters(first);
  require();
  return p.enclaveMode() ? writeEnclave(p, utf8Bytes(value)) : writePlain(p, utf8Bytes(value));
}

Response FlutterSecureStorage::writePlain(const KeychainQueryParameters& p, const Bytes& data) {
  if (existsForWrite(p)) {
    const int32_t status = keychain_->update(baseQuery(p), {{std::string(sec::kValueData), data}});
    if (status == st::kSuccess) return {};
    deleteItems(p, false);
  }
  return {keychain_->add(withData(baseQuery(p), data)), {}};
}

Response FlutterSecureStorage::writeEnclave(const KeychainQueryParameters& p, const Bytes& data) {
  if (!p.key) return {st::kParam, {}};
  std::shared_ptr<platform::SecKey> publicKey;
  try {
    publicKey = getOrCreateEnclaveKey(p.service)->copyPublicKey();
  } catch (const OSSecError&) {
    return {st::kParam, {}};
  }
  if (!publicKey) return {st::kParam, {}};

  auto key = aesGcm_->randomBytes(AesGcm::kKeySize);
  auto nonce = aesGcm_->randomBytes(AesGcm::kNonceSize);
  if (!key || !nonce) return {st::kParam, {}};
  auto sealed = aesGcm_->seal(*key, *nonce, data);
  if (!sealed) return {st::kParam, {}};
  Bytes stored = *nonce;
  stored.insert(stored.end(), sealed->ciphertext.begin(), sealed->ciphertext.end());
  stored.insert(stored.end(), sealed->tag.begin(), sealed->tag.end());
  Bytes wrapped;
  try {
    wrapped = wrapKey(*key, *publicKey);
  } catch (const OSSecError&) {
    return {st::kParam, {}};
  }

  KeychainQueryParameters wrappedParameters = p;
  wrappedParameters.key = wrappedName(*p.key);
  wrappedParameters.shouldReturnData = false;
  wrappedParameters.isSynchronizable = false;
  const int32_t status = updateOrAdd(wrappedParameters, wrapped);
  if (status != st::kSuccess) return {status, {}};
  KeychainQueryParameters valueParameters = p;
  valueParameters.shouldReturnData = false;
  return {updateOrAdd(valueParameters, stored), {}};
}

int32_t FlutterSecureStorage::updateOrAdd(const KeychainQueryParameters& p, const Bytes& data) {
  const KeychainQuery addQuery = withData(baseQuery(p), data);
  if (existsForWrite(p)) return keychain_->update(addQuery, {{std::string(sec::kValueData), data}});
  return keychain_->add(addQuery);
}

Response FlutterSecureStorage::readAll(const KeychainQueryParameters& p) {
  checkQueryParameters(p);
  require();
  KeychainQuery query = baseQuery(p);
  query.insert_or_assign(std::string(sec::kMatchLimit), std::string(sec::kMatchLimitAll));
  query.insert_or_assign(std::string(sec::kReturnAttributes), true);
  query.insert_or_assign(std::string(sec::kReturnData), true);
  std::vector<platform::KeychainItem> items;
  const int32_t status = keychain_->copyMatching(query, &items);
  if (status == st::kItemNotFound) return {};
  if (status != st::kSuccess) return {status, {}};

  std::map<std::string, std::string> values;
  for (const auto& item : items) {
    const std::string* account =
        platform::queryValue<std::string>(item.attributes, sec::kAttrAccount);
    if (account == nullptr || account->starts_with(kWrappedPrefix)) continue;
    Response::Value value;
    if (p.enclaveMode()) {
      KeychainQueryParameters one = p;
      one.key = *account;
      Response read = readEnclave(one);
      if (read.status == st::kSuccess) value = std::move(read.value);
    } else {
      value = textOf(item.data);
    }
    if (auto* text = std::get_if<std::string>(&value)) values[*account] = std::move(*text);
  }
  return {st::kSuccess, std::move(values)};
}

KeychainQuery FlutterSecureStorage::wrappedKeyQuery(const KeychainQueryParameters& p,
                                                    bool returnData) {
  KeychainQueryParameters copy = p;
  copy.shouldReturnData = returnData;
  copy.isSynchronizable = false;
  KeychainQuery query = baseQuery(copy);
  query.insert_or_assign(std::string(sec::kAttrAccount), wrappedName(p.key.value_or("")));
  return query;
}

std::shared_ptr<platform::SecKey> FlutterSecureStorage::getOrCreateEnclaveKey(
    const std::optional<std::string>& service) {
  const Bytes tag = enclaveKeyTag(service);
  const KeychainQuery query{
      {std::string(sec::kClass), std::string(sec::kClassKey)},
      {std::string(sec::kAttrKeyType), std::string(sec::kAttrKeyTypeECSECPrimeRandom)},
      {std::string(sec::kAttrApplicationTag), tag},
      {std::string(sec::kReturnRef), true},
  };
  std::vector<platform::KeychainItem> items;
  if (keychain_->copyMatching(query, &items) == st::kSuccess && !items.empty() &&
      items.front().ref) {
    return items.front().ref;
  }
  platform::KeyAttributes attributes;
  attributes.keyType = sec::kAttrKeyTypeECSECPrimeRandom;
  attributes.keySizeInBits = kEnclaveKeyBits;
  attributes.tokenID = sec::kAttrTokenIDSecureEnclave;
  attributes.isPermanent = true;
  attributes.applicationTag = tag;
  std::string ignored;
  attributes.accessControl =
      platform::createAccessControlWithFlags(sec::kAttrAccessibleWhenUnlockedThisDeviceOnly,
                                             platform::access_control::kPrivateKeyUsage, &ignored);
  platform::KeyCreation made = keychain_->createRandomKey(attributes);
  if (!made.key) throw OSSecError{st::kParam, made.error};
  return made.key;
}

void FlutterSecureStorage::deleteEnclaveKey(const std::optional<std::string>& service) {
  keychain_->remove({
      {std::string(sec::kClass), std::string(sec::kClassKey)},
      {std::string(sec::kAttrKeyType), std::string(sec::kAttrKeyTypeECSECPrimeRandom)},
      {std::string(sec::kAttrApplicationTag), enclaveKeyTag(service)},
  });
}

Bytes FlutterSecureStorage::wrapKey(const Bytes& key, platform::SecKey& publicKey) {
  if (!publicKey.isAlgorithmSupported(platform::KeyOperationType::Encrypt, kEcies)) {
    throw OSSecError{st::kUnimplemented, kMessageNoEncryption};
  }
  auto result = publicKey.createEncryptedData(kEcies, key);
  if (!result.data) throw OSSecError{st::kParam, result.error};
  return std::move(*result.data);
}

Bytes FlutterSecureStorage::unwrapKey(const Bytes& wrapped, platform::SecKey& privateKey) {
  if (!privateKey.isAlgorithmSupported(platform::KeyOperationType::Decrypt, kEcies)) {
    throw OSSecError{st::kUnimplemented, kMessageNoDecryption};
  }
  auto result = privateKey.createDecryptedData(kEcies, wrapped);
  if (!result.data) throw OSSecError{st::kAuthFailed, result.error};
  return std::move(*result.data);
}

}  // namespace vellumark::secure_storage
