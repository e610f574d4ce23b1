#include "keychain_query_parameters.h"

#include <array>
#include <cstdio>
#include <utility>

namespace vellumark::secure_storage {

namespace {

namespace sec = platform::sec;
namespace flags = platform::access_control;

constexpr std::string_view kArgOptions = "options";
constexpr std::string_view kArgKey = "key";
constexpr std::string_view kArgValue = "value";

constexpr std::string_view kOptionGroupId = "groupId";
constexpr std::string_view kOptionAccountName = "accountName";
constexpr std::string_view kOptionAccessibility = "accessibility";
constexpr std::string_view kOptionLabel = "label";
constexpr std::string_view kOptionDescription = "description";
constexpr std::string_view kOptionComment = "comment";
constexpr std::string_view kOptionAuthenticationUIBehavior = "authenticationUIBehavior";
constexpr std::string_view kOptionAccessControlFlags = "accessControlFlags";
constexpr std::string_view kOptionSynchronizable = "synchronizable";
constexpr std::string_view kOptionIsHidden = "isHidden";
constexpr std::string_view kOptionIsPlaceholder = "isPlaceholder";
constexpr std::string_view kOptionPersistentReference = "persistentReference";
constexpr std::string_view kOptionUseSecureEnclave = "useSecureEnclave";
constexpr std::string_view kOptionUsesDataProtectionKeychain = "usesDataProtectionKeychain";

constexpr double kAuthenticationReuseSeconds = 30;
constexpr std::string_view kDefaultEnclaveFlags = "userPresence";

constexpr char kMessageHiddenAndPlaceholder[] =
    "Cannot use both kSecAttrIsInvisible and kSecAttrIsNegative together.";
constexpr char kMessageReferenceAndData[] =
    "Cannot use kSecReturnPersistentRef and kSecReturnData together.";
constexpr char kLogAccessControl[] = "Error creating access control: ";

constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kAccessibility{{
    {"passcode", sec::kAttrAccessibleWhenPasscodeSetThisDeviceOnly},
    {"unlocked", sec::kAttrAccessibleWhenUnlocked},
    {"unlocked_this_device", sec::kAttrAccessibleWhenUnlockedThisDeviceOnly},
    {"first_unlock", sec::kAttrAccessibleAfterFirstUnlock},
    {"first_unlock_this_device", sec::kAttrAccessibleAfterFirstUnlockThisDeviceOnly},
}};

constexpr std::array<std::pair<std::string_view, uint64_t>, 8> kFlags{{
    {"userPresence", flags::kUserPresence},
    {"biometryAny", flags::kBiometryAny},
    {"biometryCurrentSet", flags::kBiometryCurrentSet},
    {"devicePasscode", flags::kDevicePasscode},
    {"or", flags::kOr},
    {"and", flags::kAnd},
    {"privateKeyUsage", flags::kPrivateKeyUsage},
    {"applicationPassword", flags::kApplicationPassword},
}};

std::optional<std::string> stringIn(const ChannelMap* map, std::string_view name) {
  const ChannelValue* value = map != nullptr ? map->find(name) : nullptr;
  const std::string* text = value != nullptr ? value->asString() : nullptr;
  return text != nullptr ? std::optional<std::string>(*text) : std::nullopt;
}

// Only the exact strings "true" and "false" count.
std::optional<bool> booleanIn(const ChannelMap* map, std::string_view name) {
  auto text = stringIn(map, name);
  if (text == "true") return true;
  if (text == "false") return false;
  return std::nullopt;
}

// A map whose keys are all strings; null for anything else.
const ChannelMap* stringKeyedMap(const ChannelValue* value) {
  const ChannelMap* map = value != nullptr ? value->asMap() : nullptr;
  if (map == nullptr) return nullptr;
  for (const auto& [key, entry] : *map) {
    if (key.asString() == nullptr) return nullptr;
  }
  return map;
}

std::string_view trim(std::string_view piece, std::string_view characters) {
  const size_t first = piece.find_first_not_of(characters);
  if (first == std::string_view::npos) return {};
  return piece.substr(first, piece.find_last_not_of(characters) - first + 1);
}

}  // namespace

ParsedCall parseCall(const ChannelValue& arguments) {
  const ChannelMap* map = stringKeyedMap(&arguments);
  const ChannelMap* options = map != nullptr ? stringKeyedMap(map->find(kArgOptions)) : nullptr;
  ParsedCall parsed;
  parsed.value = stringIn(map, kArgValue);
  KeychainQueryParameters& p = parsed.parameters;
  p.key = stringIn(map, kArgKey);
  p.accessGroup = stringIn(options, kOptionGroupId);
  p.service = stringIn(options, kOptionAccountName);
  p.accessibilityLevel = stringIn(options, kOptionAccessibility);
  p.itemLabel = stringIn(options, kOptionLabel);
  p.itemDescription = stringIn(options, kOptionDescription);
  p.itemComment = stringIn(options, kOptionComment);
  p.authenticationUIBehavior = stringIn(options, kOptionAuthenticationUIBehavior);
  p.accessControlFlags = stringIn(options, kOptionAccessControlFlags);
  p.isSynchronizable = booleanIn(options, kOptionSynchronizable);
  p.isHidden = booleanIn(options, kOptionIsHidden);
  p.isPlaceholder = booleanIn(options, kOptionIsPlaceholder);
  p.shouldReturnPersistentReference = booleanIn(options, kOptionPersistentReference);
  p.useSecureEnclave = booleanIn(options, kOptionUseSecureEnclave);
  p.usesDataProtectionKeychain = stringIn(options, kOptionUsesDataProtectionKeychain) != "false";
  p.shouldReturnData = true;
  if (p.enclaveMode()) {
    p.authenticationContext = std::make_shared<platform::AuthenticationContext>();
    p.authenticationContext->touchIDAuthenticationAllowableReuseDuration =
        kAuthenticationReuseSeconds;
  }
  return parsed;
}

void checkQueryParameters(const KeychainQueryParameters& p) {
  if (p.isHidden.value_or(false) && p.isPlaceholder.value_or(false)) {
    throw OSSecError{platform::keychain_status::kParam, kMessageHiddenAndPlaceholder};
  }
  if (p.shouldReturnPersistentReference.value_or(false) && p.shouldReturnData.value_or(false)) {
    throw OSSecError{platform::keychain_status::kParam, kMessageReferenceAndData};
  }
}

platform::KeychainQuery baseQuery(const KeychainQueryParameters& p) {
  checkQueryParameters(p);
  platform::KeychainQuery query;
  auto put = [&query](std::string_view name, platform::KeychainValue value) {
    query.insert_or_assign(std::string(name), std::move(value));
  };
  put(sec::kClass, std::string(sec::kClassGenericPassword));
  if (p.key) put(sec::kAttrAccount, *p.key);
  if (p.service) put(sec::kAttrService, *p.service);
  if (p.shouldReturnData) put(sec::kReturnData, *p.shouldReturnData);
  if (p.itemLabel) put(sec::kAttrLabel, *p.itemLabel);
  if (p.itemDescription) put(sec::kAttrDescription, *p.itemDescription);
  if (p.itemComment) put(sec::kAttrComment, *p.itemComment);
  if (p.isHidden) put(sec::kAttrIsInvisible, *p.isHidden);
  if (p.isPlaceholder) put(sec::kAttrIsNegative, *p.isPlaceholder);
  if (p.resultLimit) {
    put(sec::kMatchLimit,
        std::string(*p.resultLimit == 1 ? sec::kMatchLimitOne : sec::kMatchLimitAll));
  }
  if (p.shouldReturnPersistentReference) {
    put(sec::kReturnPersistentRef, *p.shouldReturnPersistentReference);
  }
  if (p.authenticationUIBehavior) put(sec::kUseAuthenticationUI, *p.authenticationUIBehavior);
  if (p.authenticationContext) put(sec::kUseAuthenticationContext, p.authenticationContext);

  KeychainQueryParameters copy = p;
  if (p.enclaveMode() && copy.accessControlFlags.value_or("").empty()) {
    copy.accessControlFlags = std::string(kDefaultEnclaveFlags);
  }
  if (auto accessControl = createAccessControl(copy)) {
    put(sec::kAttrAccessControl, *accessControl);
  } else {
    if (p.accessibilityLevel) {
      put(sec::kAttrAccessible, std::string(accessibilityAttribute(*p.accessibilityLevel)));
    }
    if (p.isSynchronizable && !p.enclaveMode()) put(sec::kAttrSynchronizable, *p.isSynchronizable);
  }
  if (p.usesDataProtectionKeychain) put(sec::kUseDataProtectionKeychain, true);
  return query;
}

std::string_view accessibilityAttribute(std::string_view level) {
  for (const auto& [name, value] : kAccessibility) {
    if (name == level) return value;
  }
  return sec::kAttrAccessibleWhenUnlocked;
}

uint64_t parseAccessControlFlags(const std::optional<std::string>& text) {
  if (!text) return 0;
  uint64_t set = 0;
  const std::string_view all = *text;
  size_t start = 0;
  while (start <= all.size()) {
    size_t comma = all.find(',', start);
    if (comma == std::string_view::npos) comma = all.size();
    const std::string_view piece = trim(trim(all.substr(start, comma - start), " \t"), "[]");
    for (const auto& [name, bit] : kFlags) {
      if (!piece.empty() && name == piece) set |= bit;
    }
    start = comma + 1;
  }
  return set;
}

std::optional<platform::AccessControl> createAccessControl(const KeychainQueryParameters& p) {
  if (p.accessControlFlags.value_or("").empty() || !p.accessibilityLevel) return std::nullopt;
  std::string error;
  auto made =
      platform::createAccessControlWithFlags(accessibilityAttribute(*p.accessibilityLevel),
                                             parseAccessControlFlags(p.accessControlFlags), &error);
  if (!made) {
    std::printf("%s%s\n", kLogAccessControl, error.c_str());
    std::fflush(stdout);
  }
  return made;
}

}  // namespace vellumark::secure_storage
