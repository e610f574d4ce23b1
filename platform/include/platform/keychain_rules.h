// The keychain's own rules, shared by every keychain backend so that the
// real store and the memory fake cannot drift apart: which names a query may
// hold, which of them are item attributes, what makes an item unique.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <utility>

#include "platform/keychain.h"

namespace vellumark::platform::keychain_rules {

// Variant indexes of KeychainValue.
inline constexpr size_t kBool = 0;
inline constexpr size_t kInt = 1;
inline constexpr size_t kString = 2;
inline constexpr size_t kBytes = 3;
inline constexpr size_t kAccessControl = 4;
inline constexpr size_t kContext = 5;

// Item attributes: what a query compares and an item stores.
inline constexpr std::array<std::pair<std::string_view, size_t>, 14> kAttributes{{
    {sec::kClass, kString},
    {sec::kAttrAccount, kString},
    {sec::kAttrService, kString},
    {sec::kAttrLabel, kString},
    {sec::kAttrDescription, kString},
    {sec::kAttrComment, kString},
    {sec::kAttrIsInvisible, kBool},
    {sec::kAttrIsNegative, kBool},
    {sec::kAttrSynchronizable, kBool},
    {sec::kAttrAccessible, kString},
    {sec::kAttrAccessControl, kAccessControl},
    {sec::kAttrKeyType, kString},
    {sec::kAttrKeySizeInBits, kInt},
    {sec::kAttrApplicationTag, kBytes},
}};

// What a query may hold besides attributes. kSecValueData counts only in
// SecItemAdd and in the changes of SecItemUpdate; elsewhere it is ignored.
inline constexpr std::array<std::pair<std::string_view, size_t>, 9> kControls{{
    {sec::kReturnData, kBool},
    {sec::kReturnAttributes, kBool},
    {sec::kReturnRef, kBool},
    {sec::kReturnPersistentRef, kBool},
    {sec::kMatchLimit, kString},
    {sec::kUseAuthenticationUI, kString},
    {sec::kUseAuthenticationContext, kContext},
    {sec::kUseDataProtectionKeychain, kBool},
    {sec::kValueData, kBytes},
}};

inline bool isAttribute(std::string_view name) {
  for (const auto& [known, type] : kAttributes) {
    if (known == name) return true;
  }
  return false;
}

enum class Use { Search, Add, Changes };

// kParam for a malformed query: an unknown name, a value of the wrong type,
// a missing or unknown class, an unknown match limit, or changes that are
// not attributes and data.
inline int32_t check(const KeychainQuery& query, Use use) {
  for (const auto& [name, value] : query) {
    bool known = false;
    for (const auto& [attribute, type] : kAttributes) {
      if (attribute == name) known = value.index() == type;
    }
    if (use != Use::Changes || name == sec::kValueData) {
      for (const auto& [control, type] : kControls) {
        if (control == name) known = known || value.index() == type;
      }
    }
    // Strings cross to the store as text.
    const auto* text = std::get_if<std::string>(&value);
    if (!known || (text != nullptr && !isValidUtf8(*text))) return keychain_status::kParam;
  }
  if (use == Use::Changes) {
    return query.contains(sec::kClass) ? keychain_status::kParam : keychain_status::kSuccess;
  }
  const auto* itemClass = queryValue<std::string>(query, sec::kClass);
  if (itemClass == nullptr ||
      (*itemClass != sec::kClassGenericPassword && *itemClass != sec::kClassKey)) {
    return keychain_status::kParam;
  }
  if (const auto* limit = queryValue<std::string>(query, sec::kMatchLimit)) {
    if (*limit != sec::kMatchLimitOne && *limit != sec::kMatchLimitAll) {
      return keychain_status::kParam;
    }
  }
  return keychain_status::kSuccess;
}

// The attributes a search compares: those the query names, and
// kSecAttrSynchronizable false when it names none (synchronizable items
// match only a query that asks for them).
inline KeychainQuery searchAttributes(const KeychainQuery& query) {
  KeychainQuery attributes;
  for (const auto& [name, value] : query) {
    if (isAttribute(name)) attributes.emplace(name, value);
  }
  attributes.try_emplace(std::string(sec::kAttrSynchronizable), false);
  return attributes;
}

// The attributes an added item keeps.
inline KeychainQuery itemAttributes(const KeychainQuery& query) { return searchAttributes(query); }

// What makes an item unique: class, account, service and synchronizable for
// passwords; class, key type and application tag for keys.
inline KeychainQuery primaryKey(const KeychainQuery& item) {
  const bool isKey = queryValue<std::string>(item, sec::kClass) != nullptr &&
                     *queryValue<std::string>(item, sec::kClass) == sec::kClassKey;
  KeychainQuery key;
  const std::array<std::string_view, 4> passwordKey{sec::kClass, sec::kAttrAccount,
                                                    sec::kAttrService, sec::kAttrSynchronizable};
  const std::array<std::string_view, 4> keyKey{sec::kClass, sec::kAttrKeyType,
                                               sec::kAttrApplicationTag, sec::kAttrSynchronizable};
  for (std::string_view name : isKey ? keyKey : passwordKey) {
    auto it = item.find(name);
    if (it != item.end()) key.emplace(it->first, it->second);
  }
  return key;
}

// The attributes of the item that keeps a permanent key made from `key`.
inline KeychainQuery keyItem(const KeyAttributes& key) {
  KeychainQuery item{
      {std::string(sec::kClass), std::string(sec::kClassKey)},
      {std::string(sec::kAttrKeyType), key.keyType},
      {std::string(sec::kAttrKeySizeInBits), key.keySizeInBits},
      {std::string(sec::kAttrApplicationTag), key.applicationTag},
      {std::string(sec::kAttrSynchronizable), false},
  };
  if (key.accessControl) item.emplace(std::string(sec::kAttrAccessControl), *key.accessControl);
  return item;
}

// Whether the item's attributes hold every entry of `attributes`.
inline bool matches(const KeychainQuery& item, const KeychainQuery& attributes) {
  for (const auto& [name, value] : attributes) {
    auto it = item.find(name);
    if (it == item.end() || !(it->second == value)) return false;
  }
  return true;
}

enum class AuthenticationUI { Allow, Fail, Skip };

// kSecUseAuthenticationUI, by its value or its name.
inline AuthenticationUI authenticationUI(const KeychainQuery& query) {
  const auto* value = queryValue<std::string>(query, sec::kUseAuthenticationUI);
  if (value == nullptr) return AuthenticationUI::Allow;
  if (*value == sec::kUseAuthenticationUIFail || *value == "kSecUseAuthenticationUIFail") {
    return AuthenticationUI::Fail;
  }
  if (*value == sec::kUseAuthenticationUISkip || *value == "kSecUseAuthenticationUISkip") {
    return AuthenticationUI::Skip;
  }
  return AuthenticationUI::Allow;
}

inline bool flag(const KeychainQuery& query, std::string_view name) {
  const bool* value = queryValue<bool>(query, name);
  return value != nullptr && *value;
}

inline bool limitAll(const KeychainQuery& query) {
  const auto* limit = queryValue<std::string>(query, sec::kMatchLimit);
  return limit != nullptr && *limit == sec::kMatchLimitAll;
}

}  // namespace vellumark::platform::keychain_rules
