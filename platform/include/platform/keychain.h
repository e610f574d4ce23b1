// Keychain items and access control: what the secure storage plugin asks of
// the system's keychain (SecItemCopyMatching, SecItemAdd, SecItemUpdate,
// SecItemDelete, SecAccessControlCreateWithFlags, SecCopyErrorMessageString).
// Queries are dictionaries keyed by the attribute names below, as the
// keychain takes them. Calls may block (D-Bus, an unlock prompt), so they are
// never made on the main thread: callers make them one at a time from one
// worker thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vellumark::platform {

using Bytes = std::vector<uint8_t>;

namespace keychain_status {
inline constexpr int32_t kSuccess = 0;
inline constexpr int32_t kUnimplemented = -4;      // errSecUnimplemented
inline constexpr int32_t kParam = -50;             // errSecParam
inline constexpr int32_t kUserCanceled = -128;     // errSecUserCanceled
inline constexpr int32_t kNotAvailable = -25291;   // errSecNotAvailable
inline constexpr int32_t kAuthFailed = -25293;     // errSecAuthFailed
inline constexpr int32_t kDuplicateItem = -25299;  // errSecDuplicateItem
inline constexpr int32_t kItemNotFound = -25300;   // errSecItemNotFound
inline constexpr int32_t kInteractionNotAllowed = -25308;
inline constexpr int32_t kDecode = -26275;  // errSecDecode
}  // namespace keychain_status

// Attribute names and values.
namespace sec {
// Item class.
inline constexpr std::string_view kClass = "class";
inline constexpr std::string_view kClassGenericPassword = "genp";
inline constexpr std::string_view kClassKey = "keys";
// Attributes of generic passwords.
inline constexpr std::string_view kAttrAccount = "acct";
inline constexpr std::string_view kAttrService = "svce";
inline constexpr std::string_view kAttrLabel = "labl";
inline constexpr std::string_view kAttrDescription = "desc";
inline constexpr std::string_view kAttrComment = "icmt";
inline constexpr std::string_view kAttrIsInvisible = "invi";
inline constexpr std::string_view kAttrIsNegative = "nega";
inline constexpr std::string_view kAttrSynchronizable = "sync";
inline constexpr std::string_view kAttrAccessible = "pdmn";
inline constexpr std::string_view kAttrAccessControl = "accc";
// Attributes of keys.
inline constexpr std::string_view kAttrKeyType = "type";
inline constexpr std::string_view kAttrKeySizeInBits = "bsiz";
inline constexpr std::string_view kAttrApplicationTag = "atag";
inline constexpr std::string_view kAttrKeyTypeECSECPrimeRandom = "73";
inline constexpr std::string_view kAttrTokenIDSecureEnclave = "com.apple.setoken";
// Accessibility values.
inline constexpr std::string_view kAttrAccessibleWhenPasscodeSetThisDeviceOnly = "akpu";
inline constexpr std::string_view kAttrAccessibleWhenUnlocked = "ak";
inline constexpr std::string_view kAttrAccessibleWhenUnlockedThisDeviceOnly = "aku";
inline constexpr std::string_view kAttrAccessibleAfterFirstUnlock = "ck";
inline constexpr std::string_view kAttrAccessibleAfterFirstUnlockThisDeviceOnly = "cku";
// What a lookup returns and how many.
inline constexpr std::string_view kReturnData = "r_Data";
inline constexpr std::string_view kReturnAttributes = "r_Attributes";
inline constexpr std::string_view kReturnRef = "r_Ref";
inline constexpr std::string_view kReturnPersistentRef = "r_PersistentRef";
inline constexpr std::string_view kMatchLimit = "m_Limit";
inline constexpr std::string_view kMatchLimitOne = "m_LimitOne";
inline constexpr std::string_view kMatchLimitAll = "m_LimitAll";
// How the call may behave.
inline constexpr std::string_view kUseAuthenticationUI = "u_AuthUI";
inline constexpr std::string_view kUseAuthenticationUIAllow = "u_AuthUIA";
inline constexpr std::string_view kUseAuthenticationUIFail = "u_AuthUIF";
inline constexpr std::string_view kUseAuthenticationUISkip = "u_AuthUIS";
inline constexpr std::string_view kUseAuthenticationContext = "u_AuthCtx";
inline constexpr std::string_view kUseDataProtectionKeychain = "nleg";
// The item's data.
inline constexpr std::string_view kValueData = "v_Data";
}  // namespace sec

// Access-control flag bits.
namespace access_control {
inline constexpr uint64_t kUserPresence = 0x1;
inline constexpr uint64_t kBiometryAny = 0x2;
inline constexpr uint64_t kBiometryCurrentSet = 0x8;
inline constexpr uint64_t kDevicePasscode = 0x10;
inline constexpr uint64_t kOr = 0x4000;
inline constexpr uint64_t kAnd = 0x8000;
inline constexpr uint64_t kPrivateKeyUsage = 0x40000000;
inline constexpr uint64_t kApplicationPassword = 0x80000000;
}  // namespace access_control

// An access-control object: when the item may be read, and what must be
// proven first. The store keeps and reports it.
struct AccessControl {
  std::string protection;  // an accessibility value
  uint64_t flags = 0;
  bool operator==(const AccessControl&) const = default;
};

// The authentication context shared by the lookups of one call (LAContext).
struct AuthenticationContext {
  double touchIDAuthenticationAllowableReuseDuration = 0;
};

using KeychainValue = std::variant<bool, int64_t, std::string, Bytes, AccessControl,
                                   std::shared_ptr<AuthenticationContext>>;
using KeychainQuery = std::map<std::string, KeychainValue, std::less<>>;

// The entry `name` of a query when it holds a T; null otherwise.
template <typename T>
const T* queryValue(const KeychainQuery& query, std::string_view name) {
  auto it = query.find(name);
  return it != query.end() ? std::get_if<T>(&it->second) : nullptr;
}

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// code points past Unicode): what a keychain may keep as a string.
inline bool isValidUtf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<uint8_t>(bytes[i]);
    size_t length = 1;
    uint32_t min = 0;
    uint32_t code = lead;
    if (lead >= 0x80) {
      if ((lead & 0xE0) == 0xC0) {
        length = 2, min = 0x80, code = lead & 0x1Fu;
      } else if ((lead & 0xF0) == 0xE0) {
        length = 3, min = 0x800, code = lead & 0x0Fu;
      } else if ((lead & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, code = lead & 0x07u;
      } else {
        return false;
      }
      if (bytes.size() - i < length) return false;
      for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<uint8_t>(bytes[i + k]);
        if ((next & 0xC0) != 0x80) return false;
        code = (code << 6) | (next & 0x3Fu);
      }
      if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    }
    i += length;
  }
  return true;
}

class SecKey;

// One item a lookup found, with what the query asked to return.
struct KeychainItem {
  std::optional<Bytes> data;           // kSecReturnData
  KeychainQuery attributes;            // kSecReturnAttributes (kSecClass and kSecAttr*)
  std::optional<Bytes> persistentRef;  // kSecReturnPersistentRef
  std::shared_ptr<SecKey> ref;         // kSecReturnRef, for keys
};

// SecKeyCreateRandomKey's attributes (the private-key ones flattened).
struct KeyAttributes {
  std::string keyType;  // kSecAttrKeyTypeECSECPrimeRandom
  int64_t keySizeInBits = 256;
  std::optional<std::string> tokenID;  // kSecAttrTokenIDSecureEnclave
  bool isPermanent = false;
  Bytes applicationTag;
  std::optional<AccessControl> accessControl;
};

struct KeyCreation {
  std::shared_ptr<SecKey> key;
  std::optional<std::string> error;  // readable, when no key was made
};

class Keychain {
 public:
  virtual ~Keychain() = default;
  // SecItemCopyMatching. `result` (may be null) receives the matches: at
  // most one unless kSecMatchLimit is kSecMatchLimitAll.
  virtual int32_t copyMatching(const KeychainQuery& query, std::vector<KeychainItem>* result) = 0;
  // SecItemAdd: the query's attributes and kSecValueData make the item.
  virtual int32_t add(const KeychainQuery& query) = 0;
  // SecItemUpdate: every item the query matches gets `changes`.
  virtual int32_t update(const KeychainQuery& query, const KeychainQuery& changes) = 0;
  // SecItemDelete: every item the query matches.
  virtual int32_t remove(const KeychainQuery& query) = 0;
  // SecKeyCreateRandomKey; a permanent key is kept as a key item.
  virtual KeyCreation createRandomKey(const KeyAttributes& attributes) = 0;
  // SecCopyErrorMessageString; nullopt when the status has no text.
  virtual std::optional<std::string> copyErrorMessageString(int32_t status) = 0;
};

// The texts of the statuses the keychain backends give; nullopt for others.
inline std::optional<std::string> keychainStatusText(int32_t status) {
  namespace st = keychain_status;
  switch (status) {
    case st::kUnimplemented:
      return "Function or operation not implemented.";
    case st::kParam:
      return "One or more parameters passed to a function were not valid.";
    case st::kUserCanceled:
      return "The user canceled the operation.";
    case st::kNotAvailable:
      return "No keychain is available.";
    case st::kAuthFailed:
      return "The user name or passphrase you entered is not correct.";
    case st::kDuplicateItem:
      return "The specified item already exists in the keychain.";
    case st::kItemNotFound:
      return "The specified item could not be found in the keychain.";
    case st::kInteractionNotAllowed:
      return "User interaction is not allowed.";
    case st::kDecode:
      return "Unable to decode the provided data.";
    default:
      return std::nullopt;
  }
}

// SecAccessControlCreateWithFlags: null with `error` set for a protection
// that is not an accessibility value, or "or" and "and" together.
inline std::optional<AccessControl> createAccessControlWithFlags(std::string_view protection,
                                                                 uint64_t flags,
                                                                 std::string* error) {
  for (std::string_view known :
       {sec::kAttrAccessibleWhenPasscodeSetThisDeviceOnly, sec::kAttrAccessibleWhenUnlocked,
        sec::kAttrAccessibleWhenUnlockedThisDeviceOnly, sec::kAttrAccessibleAfterFirstUnlock,
        sec::kAttrAccessibleAfterFirstUnlockThisDeviceOnly}) {
    if (protection != known) continue;
    if ((flags & access_control::kOr) != 0 && (flags & access_control::kAnd) != 0) {
      *error = "The access-control flags \"or\" and \"and\" exclude each other.";
      return std::nullopt;
    }
    return AccessControl{std::string(protection), flags};
  }
  *error = "Unknown protection class \"" + std::string(protection) + "\".";
  return std::nullopt;
}

class AesGcm;
class ProtectedData;

// What the secure storage plugin needs, made together on first use.
struct KeychainServices {
  std::shared_ptr<Keychain> keychain;
  std::shared_ptr<AesGcm> aesGcm;
  std::shared_ptr<ProtectedData> protectedData;
};

}  // namespace vellumark::platform
