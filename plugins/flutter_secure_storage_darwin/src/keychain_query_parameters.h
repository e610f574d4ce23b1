// The record that describes one keychain operation of the secure storage
// plugin, how it is read from a channel call and turned into a keychain query.
// Pure functions: any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "embedding/channel_value.h"
#include "platform/keychain.h"

namespace vellumark::secure_storage {

// The error value of the secure storage engine; thrown inside the plugin,
// turned into a reply at the channel.
struct OSSecError {
  int32_t status = 0;
  std::optional<std::string> message;
};

struct KeychainQueryParameters {
  std::optional<std::string> key;
  std::optional<std::string> accessGroup;  // carried, never queried
  std::optional<std::string> service;
  std::optional<bool> isSynchronizable;
  std::optional<std::string> accessibilityLevel;
  bool usesDataProtectionKeychain = true;
  std::optional<bool> shouldReturnData;
  std::optional<std::string> itemLabel;
  std::optional<std::string> itemDescription;
  std::optional<std::string> itemComment;
  std::optional<bool> isHidden;
  std::optional<bool> isPlaceholder;
  std::optional<int64_t> creationDate;      // never set
  std::optional<int64_t> lastModifiedDate;  // never set
  std::optional<int64_t> resultLimit;
  std::optional<bool> shouldReturnPersistentReference;
  std::optional<std::string> authenticationUIBehavior;
  std::shared_ptr<platform::AuthenticationContext> authenticationContext;
  std::optional<std::string> accessControlFlags;
  std::optional<bool> useSecureEnclave;

  bool enclaveMode() const { return useSecureEnclave.value_or(false); }
};

struct ParsedCall {
  KeychainQueryParameters parameters;
  std::optional<std::string> value;
};

// The call's arguments; anything but a map reads as an empty map.
ParsedCall parseCall(const ChannelValue& arguments);

// Throws OSSecError (-50) when the record cannot make a valid query.
void checkQueryParameters(const KeychainQueryParameters& parameters);

// The keychain query of the record; throws as checkQueryParameters does.
platform::KeychainQuery baseQuery(const KeychainQueryParameters& parameters);

std::string_view accessibilityAttribute(std::string_view level);
uint64_t parseAccessControlFlags(const std::optional<std::string>& flags);
std::optional<platform::AccessControl> createAccessControl(
    const KeychainQueryParameters& parameters);

}  // namespace vellumark::secure_storage
