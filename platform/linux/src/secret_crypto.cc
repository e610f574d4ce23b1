#include "secret_crypto.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <utility>

namespace vellumark::linux_platform {

namespace {

using platform::Bytes;
using platform::KeyCryptResult;

constexpr char kCurve[] = "P-256";
constexpr size_t kPointSize = 65;  // uncompressed P-256 point
constexpr size_t kKeySize = 32;
constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;
constexpr int kMaxLength = 1 << 30;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using Kdf = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF, EVP_KDF_free>>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;

// The failed call and OpenSSL's reason, and the error queue cleared.
std::string openSslError(const char* call) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  char reason[256] = "unknown reason";
  if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
  return std::string(call) + ": " + reason;
}

unsigned char* data(Bytes& bytes) { return bytes.data(); }
const unsigned char* data(const Bytes& bytes) { return bytes.data(); }
int length(const Bytes& bytes) { return static_cast<int>(bytes.size()); }

// AES-256-GCM; `tag` is written when sealing and checked when opening.
std::optional<Bytes> gcm(bool seal, const Bytes& key, const Bytes& nonce, const Bytes& input,
                         Bytes& tag) {
  if (key.size() != kKeySize || nonce.size() != kNonceSize || tag.size() != kTagSize ||
      input.size() > size_t{kMaxLength}) {
    return std::nullopt;
  }
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return std::nullopt;
  auto init = seal ? EVP_EncryptInit_ex : EVP_DecryptInit_ex;
  if (init(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, int{kNonceSize}, nullptr) != 1 ||
      init(ctx.get(), nullptr, nullptr, data(key), data(nonce)) != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  Bytes output(input.size() + kTagSize);
  int written = 0;
  int finalWritten = 0;
  bool ok = false;
  if (seal) {
    ok = EVP_EncryptUpdate(ctx.get(), output.data(), &written, data(input), length(input)) == 1 &&
         EVP_EncryptFinal_ex(ctx.get(), output.data() + written, &finalWritten) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, int{kTagSize}, data(tag)) == 1;
  } else {
    ok = EVP_DecryptUpdate(ctx.get(), output.data(), &written, data(input), length(input)) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, int{kTagSize}, data(tag)) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), output.data() + written, &finalWritten) == 1;
  }
  ERR_clear_error();
  if (!ok) return std::nullopt;
  output.resize(static_cast<size_t>(written + finalWritten));
  return output;
}

std::optional<Bytes> encodedPoint(EVP_PKEY* key) {
  unsigned char* raw = nullptr;
  const size_t size = EVP_PKEY_get1_encoded_public_key(key, &raw);
  if (size == 0) return std::nullopt;
  Bytes point(raw, raw + size);
  OPENSSL_free(raw);
  return point;
}

// A public key on the same curve as `like`, from its encoded point.
Pkey publicFromPoint(EVP_PKEY* like, const Bytes& point) {
  Pkey key(EVP_PKEY_new());
  if (!key || EVP_PKEY_copy_parameters(key.get(), like) != 1 ||
      EVP_PKEY_set1_encoded_public_key(key.get(), data(point), point.size()) != 1) {
    return nullptr;
  }
  return key;
}

// Cofactor ECDH, then X9.63 SHA-256 over the shared secret with the
// ephemeral point as shared info: an AES-256 key and a GCM nonce.
std::optional<std::pair<Bytes, Bytes>> agree(EVP_PKEY* own, EVP_PKEY* peer,
                                             const Bytes& ephemeralPoint, std::string* error) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own, nullptr));
  size_t secretSize = 0;
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_ecdh_cofactor_mode(ctx.get(), 1) != 1 ||
      EVP_PKEY_derive_set_peer(ctx.get(), peer) != 1 ||
      EVP_PKEY_derive(ctx.get(), nullptr, &secretSize) != 1) {
    *error = openSslError("EVP_PKEY_derive");
    return std::nullopt;
  }
  Bytes secret(secretSize);
  if (EVP_PKEY_derive(ctx.get(), secret.data(), &secretSize) != 1) {
    *error = openSslError("EVP_PKEY_derive");
    return std::nullopt;
  }
  Kdf kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_X963KDF, nullptr));
  KdfCtx kctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
  char digest[] = "SHA256";
  Bytes info = ephemeralPoint;
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, secret.data(), secret.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.data(), info.size()),
      OSSL_PARAM_construct_end(),
  };
  Bytes derived(kKeySize + kNonceSize);
  const bool ok = kctx && EVP_KDF_derive(kctx.get(), derived.data(), derived.size(), params) == 1;
  OPENSSL_cleanse(secret.data(), secret.size());
  if (!ok) {
    *error = openSslError("EVP_KDF_derive");
    return std::nullopt;
  }
  Bytes key(derived.begin(), derived.begin() + kKeySize);
  Bytes nonce(derived.begin() + kKeySize, derived.end());
  OPENSSL_cleanse(derived.data(), derived.size());
  return std::make_pair(std::move(key), std::move(nonce));
}

class EcKey : public platform::SecKey {
 public:
  EcKey(Pkey key, bool isPrivate) : key_(std::move(key)), private_(isPrivate) {}

  std::shared_ptr<platform::SecKey> copyPublicKey() override {
    auto point = encodedPoint(key_.get());
    Pkey pub = point ? publicFromPoint(key_.get(), *point) : nullptr;
    ERR_clear_error();
    return pub ? std::make_shared<EcKey>(std::move(pub), false) : nullptr;
  }

  bool isAlgorithmSupported(platform::KeyOperationType operation,
                            platform::SecKeyAlgorithm) override {
    return private_ == (operation == platform::KeyOperationType::Decrypt);
  }

  KeyCryptResult createEncryptedData(platform::SecKeyAlgorithm, const Bytes& plaintext) override {
    if (private_) return {std::nullopt, "ECIES encryption needs the public key"};
    EVP_PKEY* raw = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", kCurve);
    Pkey ephemeral(raw);
    auto point = ephemeral ? encodedPoint(ephemeral.get()) : std::nullopt;
    if (!point || point->size() != kPointSize) {
      return {std::nullopt, openSslError("EVP_PKEY_Q_keygen")};
    }
    std::string error;
    auto agreed = agree(ephemeral.get(), key_.get(), *point, &error);
    if (!agreed) return {std::nullopt, error};
    Bytes tag(kTagSize);
    auto sealed = gcm(true, agreed->first, agreed->second, plaintext, tag);
    if (!sealed) return {std::nullopt, "AES-GCM seal failed"};
    Bytes out = std::move(*point);
    out.insert(out.end(), sealed->begin(), sealed->end());
    out.insert(out.end(), tag.begin(), tag.end());
    return {std::move(out), std::nullopt};
  }

  KeyCryptResult createDecryptedData(platform::SecKeyAlgorithm, const Bytes& ciphertext) override {
    if (!private_) return {std::nullopt, "ECIES decryption needs the private key"};
    if (ciphertext.size() < kPointSize + kTagSize) return {std::nullopt, "ECIES data too short"};
    const Bytes point(ciphertext.begin(), ciphertext.begin() + kPointSize);
    Pkey peer = publicFromPoint(key_.get(), point);
    if (!peer) return {std::nullopt, openSslError("EVP_PKEY_set1_encoded_public_key")};
    std::string error;
    auto agreed = agree(key_.get(), peer.get(), point, &error);
    if (!agreed) return {std::nullopt, error};
    const auto tagStart = ciphertext.end() - kTagSize;
    Bytes tag(tagStart, ciphertext.end());
    auto opened = gcm(false, agreed->first, agreed->second,
                      Bytes(ciphertext.begin() + kPointSize, tagStart), tag);
    if (!opened) return {std::nullopt, "ECIES data does not authenticate"};
    return {std::move(opened), std::nullopt};
  }

 private:
  Pkey key_;
  bool private_;
};

}  // namespace

std::optional<Bytes> OpenSslAesGcm::randomBytes(size_t count) {
  Bytes out(count);
  if (count > size_t{kMaxLength} || RAND_bytes(out.data(), static_cast<int>(count)) != 1) {
    ERR_clear_error();
    return std::nullopt;
  }
  return out;
}

std::optional<platform::AesGcm::SealedBox> OpenSslAesGcm::seal(const Bytes& key, const Bytes& nonce,
                                                               const Bytes& plaintext) {
  Bytes tag(kTagSize);
  auto ciphertext = gcm(true, key, nonce, plaintext, tag);
  if (!ciphertext) return std::nullopt;
  return SealedBox{std::move(*ciphertext), std::move(tag)};
}

std::optional<Bytes> OpenSslAesGcm::open(const Bytes& key, const Bytes& nonce,
                                         const Bytes& ciphertext, const Bytes& tag) {
  Bytes checked = tag;
  return gcm(false, key, nonce, ciphertext, checked);
}

std::shared_ptr<platform::SecKey> generateEcKey(Bytes* der, std::string* error) {
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", kCurve));
  if (!key) {
    *error = openSslError("EVP_PKEY_Q_keygen");
    return nullptr;
  }
  unsigned char* raw = nullptr;
  const int size = i2d_PrivateKey(key.get(), &raw);
  if (size <= 0) {
    *error = openSslError("i2d_PrivateKey");
    return nullptr;
  }
  der->assign(raw, raw + size);
  OPENSSL_clear_free(raw, static_cast<size_t>(size));
  return std::make_shared<EcKey>(std::move(key), true);
}

std::shared_ptr<platform::SecKey> ecKeyFromDer(const Bytes& der, std::string* error) {
  const unsigned char* cursor = der.data();
  Pkey key(d2i_PrivateKey(EVP_PKEY_EC, nullptr, &cursor, static_cast<long>(der.size())));
  if (!key) {
    *error = openSslError("d2i_PrivateKey");
    return nullptr;
  }
  return std::make_shared<EcKey>(std::move(key), true);
}

}  // namespace vellumark::linux_platform
