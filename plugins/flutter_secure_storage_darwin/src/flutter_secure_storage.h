// The secure storage engine: the six operations of the channel as sequences
// of keychain calls, and the enclave mode, where a value is sealed with a
// fresh AES key that is itself wrapped by the service's enclave key.
//
// It keeps no state of its own; the keychain holds everything. It is called
// only from the plugin's serial queue, one operation at a time, so its
// check-then-write sequences never interleave within the process.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>

#include "keychain_query_parameters.h"
#include "platform/enclave.h"
#include "platform/keychain.h"
#include "platform/lazy.h"

namespace vellumark::secure_storage {

struct FlutterSecureStorageResponse {
  using Value = std::variant<std::monostate, std::string, std::map<std::string, std::string>>;
  int32_t status = platform::keychain_status::kSuccess;
  Value value;
};

// Serial queue only, except construction.
class FlutterSecureStorage {
 public:
  // The services are made on the first operation; without them every
  // operation fails with "no keychain is available".
  explicit FlutterSecureStorage(platform::Lazy<platform::KeychainServices> services);

  // Each throws OSSecError when the parameters cannot make a valid query,
  // before any keychain call, or when there is no keychain at all.
  FlutterSecureStorageResponse read(const KeychainQueryParameters& p);
  FlutterSecureStorageResponse write(const KeychainQueryParameters& p, const std::string& value);
  FlutterSecureStorageResponse remove(const KeychainQueryParameters& p);
  FlutterSecureStorageResponse deleteAll(const KeychainQueryParameters& p);
  FlutterSecureStorageResponse readAll(const KeychainQueryParameters& p);
  // Throws OSSecError with the keychain's status on failure.
  bool containsKey(const KeychainQueryParameters& p);

  // Null when there is no keychain.
  std::shared_ptr<platform::KeychainServices> services();

 private:
  const platform::KeychainServices& require();
  bool lookUp(const KeychainQueryParameters& p);
  // lookUp, a failed look-up counting as absent: the add that follows reports it.
  bool existsForWrite(const KeychainQueryParameters& p);
  int32_t deleteItems(const KeychainQueryParameters& p, bool allItems);
  FlutterSecureStorageResponse readPlain(const KeychainQueryParameters& p);
  FlutterSecureStorageResponse readEnclave(const KeychainQueryParameters& p);
  FlutterSecureStorageResponse writePlain(const KeychainQueryParameters& p, const Bytes& data);
  FlutterSecureStorageResponse writeEnclave(const KeychainQueryParameters& p, const Bytes& data);
  // Update when the item exists, else add.
  int32_t updateOrAdd(const KeychainQueryParameters& p, const Bytes& data);
  platform::KeychainQuery wrappedKeyQuery(const KeychainQueryParameters& p, bool returnData);
  std::shared_ptr<platform::SecKey> getOrCreateEnclaveKey(
      const std::optional<std::string>& service);
  void deleteEnclaveKey(const std::optional<std::string>& service);
  Bytes wrapKey(const Bytes& key, platform::SecKey& publicKey);
  Bytes unwrapKey(const Bytes& wrapped, platform::SecKey& privateKey);

  platform::Lazy<platform::KeychainServices> services_;
  platform::Keychain* keychain_ = nullptr;  // of the current operation
  platform::AesGcm* aesGcm_ = nullptr;
};

// Whether the bytes are well-formed UTF-8.
bool isValidUtf8(const Bytes& bytes);

}  // namespace vellumark::secure_storage
