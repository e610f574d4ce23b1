// Token-held identities, certificates, keys and signatures: what the signing
// plugin asks of the system's token framework and security services.
// Statuses keep the platform's values. Calls may block (token I/O, the PIN
// dialog), so they are never made on the main thread: callers make them one
// at a time from one worker thread. Only cancelInteraction() may be called
// from any thread, at any time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vellumark::platform {

using Bytes = std::vector<uint8_t>;

namespace status {
inline constexpr int32_t kSuccess = 0;
inline constexpr int32_t kUserCanceled = -128;    // errSecUserCanceled
inline constexpr int32_t kParam = -50;            // errSecParam
inline constexpr int32_t kItemNotFound = -25300;  // errSecItemNotFound
inline constexpr int32_t kAuthFailed = -25293;    // errSecAuthFailed
inline constexpr int32_t kNotAvailable = -25291;  // errSecNotAvailable
inline constexpr int32_t kInteractionNotAllowed = -25308;
}  // namespace status

enum class KeyAlgorithm {
  // RSASSA-PKCS1-v1_5 over an already computed SHA-256 digest.
  RSASignatureDigestPKCS1v15SHA256,
};
enum class KeyOperation { Sign };

struct SignatureError {
  // Readable description; may be missing.
  std::optional<std::string> description;
};

struct SignatureResult {
  std::optional<Bytes> signature;
  std::optional<SignatureError> error;
};

class Key {
 public:
  virtual ~Key() = default;
  // The public key in the platform's external form (PKCS#1 RSAPublicKey for RSA).
  virtual std::optional<Bytes> copyExternalRepresentation() = 0;
  virtual bool isAlgorithmSupported(KeyOperation operation, KeyAlgorithm algorithm) = 0;
  // May ask for the PIN. Exactly one of signature or error is set on a
  // well-behaved platform; callers handle neither being set.
  virtual SignatureResult createSignature(KeyAlgorithm algorithm, const Bytes& digest) = 0;
};

class Certificate {
 public:
  virtual ~Certificate() = default;
  virtual Bytes copyData() = 0;  // DER
  virtual std::optional<std::string> copySubjectSummary() = 0;
  // The issuer's common name, when it has one.
  virtual std::optional<std::string> copyIssuerCommonName() = 0;
  // Content bytes of the serial number's INTEGER, leading zero byte kept.
  virtual std::optional<Bytes> copySerialNumberData() = 0;
  // Validity bounds in seconds since 1970-01-01T00:00:00Z.
  virtual std::optional<double> notValidBefore() = 0;
  virtual std::optional<double> notValidAfter() = 0;
  // The public key; null when it cannot be had.
  virtual std::shared_ptr<Key> copyKey() = 0;
};

class Identity {
 public:
  virtual ~Identity() = default;
  struct CertificateResult {
    int32_t status = status::kSuccess;
    std::shared_ptr<Certificate> certificate;
  };
  struct KeyResult {
    int32_t status = status::kSuccess;
    std::shared_ptr<Key> key;
  };
  virtual CertificateResult copyCertificate() = 0;
  // The private key handle; finding it may need the token's login.
  virtual KeyResult copyPrivateKey() = 0;
};

// One attribute map of a query result.
struct IdentityItem {
  // kSecValueRef; may be missing.
  std::shared_ptr<Identity> valueRef;
  // kSecAttrApplicationLabel: bytes normally, another type when a keychain
  // holds something odd, or absent.
  std::variant<std::monostate, Bytes, std::string> applicationLabel;
};

enum class MatchLimit { One, All };

// An identity query (kSecClass is always kSecClassIdentity).
struct IdentityQuery {
  std::optional<std::string> tokenID;     // kSecAttrTokenID
  std::optional<Bytes> applicationLabel;  // kSecAttrApplicationLabel
  bool returnRef = true;                  // kSecReturnRef
  bool returnAttributes = false;          // kSecReturnAttributes
  MatchLimit matchLimit = MatchLimit::One;
};

struct QueryResult {
  int32_t status = status::kItemNotFound;
  // MatchLimit::One with returnRef only: the identity itself.
  std::shared_ptr<Identity> item;
  // MatchLimit::All (or attributes asked for): the attribute maps. Missing
  // when the result is absent or not a list of maps.
  std::optional<std::vector<IdentityItem>> items;
};

class TokenService {
 public:
  virtual ~TokenService() = default;
  // TKTokenWatcher tokenIDs: the tokens present now, in a stable order.
  virtual std::vector<std::string> tokenIDs() = 0;
  // SecItemCopyMatching for identities.
  virtual QueryResult copyMatching(const IdentityQuery& query) = 0;
  // SecCopyErrorMessageString; nullopt when the status has no text.
  virtual std::optional<std::string> copyErrorMessageString(int32_t status) = 0;
  // Dismisses a PIN dialog that is open now (the call waiting on it fails as
  // cancelled by the user). Nothing happens when none is open. Any thread.
  virtual void cancelInteraction() {}
};

}  // namespace vellumark::platform
