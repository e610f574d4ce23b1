// Keys for wrapping values and authenticated encryption: what the secure
// storage plugin's enclave mode asks of the system (SecKey, ECIES, AES-GCM).
// On Linux there is no enclave hardware: the P-256 key lives in the keychain
// as a key item and never leaves it in the clear. Like the keychain, these
// are called from one worker thread, never the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/keychain.h"

namespace vellumark::platform {

enum class KeyOperationType { Encrypt, Decrypt };
enum class SecKeyAlgorithm {
  // kSecKeyAlgorithmECIESEncryptionCofactorX963SHA256AESGCM
  ECIESEncryptionCofactorX963SHA256AESGCM,
};

struct KeyCryptResult {
  std::optional<Bytes> data;
  std::optional<std::string> error;  // readable, when there is no data
};

class SecKey {
 public:
  virtual ~SecKey() = default;
  // SecKeyCopyPublicKey; null when there is none.
  virtual std::shared_ptr<SecKey> copyPublicKey() = 0;
  virtual bool isAlgorithmSupported(KeyOperationType operation, SecKeyAlgorithm algorithm) = 0;
  // SecKeyCreateEncryptedData (public key) and SecKeyCreateDecryptedData
  // (private key).
  virtual KeyCryptResult createEncryptedData(SecKeyAlgorithm algorithm, const Bytes& plaintext) = 0;
  virtual KeyCryptResult createDecryptedData(SecKeyAlgorithm algorithm,
                                             const Bytes& ciphertext) = 0;
};

// AES-GCM with 256-bit keys, 12-byte nonces and 16-byte tags.
class AesGcm {
 public:
  static constexpr size_t kKeySize = 32;
  static constexpr size_t kNonceSize = 12;
  static constexpr size_t kTagSize = 16;
  struct SealedBox {
    Bytes ciphertext;
    Bytes tag;
  };

  virtual ~AesGcm() = default;
  // Bytes from the system's secure random source; nullopt when it fails.
  virtual std::optional<Bytes> randomBytes(size_t count) = 0;
  // nullopt for a key or nonce of the wrong size.
  virtual std::optional<SealedBox> seal(const Bytes& key, const Bytes& nonce,
                                        const Bytes& plaintext) = 0;
  // nullopt when the sizes are wrong or the box does not authenticate.
  virtual std::optional<Bytes> open(const Bytes& key, const Bytes& nonce, const Bytes& ciphertext,
                                    const Bytes& tag) = 0;
};

}  // namespace vellumark::platform
