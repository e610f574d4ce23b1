// The enclave's stand-in on OpenSSL 3: P-256 keys whose private half is
// kept only as the secret of a keychain item, ECIES (cofactor ECDH, the
// X9.63 SHA-256 KDF, AES-256-GCM) and AES-256-GCM. Any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/enclave.h"

namespace vellumark::linux_platform {

class OpenSslAesGcm : public platform::AesGcm {
 public:
  std::optional<platform::Bytes> randomBytes(size_t count) override;
  std::optional<SealedBox> seal(const platform::Bytes& key, const platform::Bytes& nonce,
                                const platform::Bytes& plaintext) override;
  std::optional<platform::Bytes> open(const platform::Bytes& key, const platform::Bytes& nonce,
                                      const platform::Bytes& ciphertext,
                                      const platform::Bytes& tag) override;
};

// A new P-256 private key, its DER form (what the keychain item keeps), and
// the key again from that form. Null / nullopt with `error` set on failure.
std::shared_ptr<platform::SecKey> generateEcKey(platform::Bytes* der, std::string* error);
std::shared_ptr<platform::SecKey> ecKeyFromDer(const platform::Bytes& der, std::string* error);

}  // namespace vellumark::linux_platform
