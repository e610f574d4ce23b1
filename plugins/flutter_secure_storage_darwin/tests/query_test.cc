// How options become a keychain query: each option alone, wrong types,
// the access-control flag parser, and the checks made before any query.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "flutter_secure_storage.h"
#include "keychain_query_parameters.h"
#include "storage_test_support.h"

namespace vellumark::secure_storage {
namespace {

namespace sec = platform::sec;
using testing::arguments;

KeychainQueryParameters parse(std::vector<std::pair<std::string, std::string>> options) {
  return parseCall(arguments("k", std::nullopt, std::move(options))).parameters;
}

platform::KeychainQuery queryOf(std::vector<std::pair<std::string, std::string>> options) {
  return baseQuery(parse(std::move(options)));
}

// The query's names, for comparing shapes.
std::vector<std::string> names(const platform::KeychainQuery& query) {
  std::vector<std::string> out;
  for (const auto& [name, value] : query) out.push_back(name);
  return out;
}

template <typename T>
std::optional<T> entry(const platform::KeychainQuery& query, std::string_view name) {
  const T* value = platform::queryValue<T>(query, name);
  return value != nullptr ? std::optional<T>(*value) : std::nullopt;
}

TEST(QueryTest, DefaultsAskForDataInTheDataProtectionKeychain) {
  const auto query = queryOf({});
  EXPECT_THAT(names(query), ::testing::UnorderedElementsAre("class", "acct", "r_Data", "nleg"));
  EXPECT_EQ(entry<std::string>(query, sec::kClass), std::string(sec::kClassGenericPassword));
  EXPECT_EQ(entry<std::string>(query, sec::kAttrAccount), "k");
  EXPECT_EQ(entry<bool>(query, sec::kReturnData), true);
}

TEST(QueryTest, EachOptionReachesItsAttribute) {
  struct Row {
    std::vector<std::pair<std::string, std::string>> options;
    std::string_view name;
    platform::KeychainValue value;
  };
  const std::vector<Row> rows{
      {{{"accountName", "svc"}}, sec::kAttrService, std::string("svc")},
      {{{"label", "L"}}, sec::kAttrLabel, std::string("L")},
      {{{"description", "D"}}, sec::kAttrDescription, std::string("D")},
      {{{"comment", "C"}}, sec::kAttrComment, std::string("C")},
      {{{"isHidden", "true"}}, sec::kAttrIsInvisible, true},
      {{{"isPlaceholder", "false"}}, sec::kAttrIsNegative, false},
      {{{"synchronizable", "true"}}, sec::kAttrSynchronizable, true},
      {{{"synchronizable", "false"}}, sec::kAttrSynchronizable, false},
      {{{"authenticationUIBehavior", "u_AuthUIF"}},
       sec::kUseAuthenticationUI,
       std::string("u_AuthUIF")},
      {{{"accessibility", "passcode"}}, sec::kAttrAccessible, std::string("akpu")},
      {{{"accessibility", "unlocked"}}, sec::kAttrAccessible, std::string("ak")},
      {{{"accessibility", "unlocked_this_device"}}, sec::kAttrAccessible, std::string("aku")},
      {{{"accessibility", "first_unlock"}}, sec::kAttrAccessible, std::string("ck")},
      {{{"accessibility", "first_unlock_this_device"}}, sec::kAttrAccessible, std::string("cku")},
      {{{"accessibility", "Unlocked"}}, sec::kAttrAccessible, std::string("ak")},
      {{{"accessibility", "unlocked"}, {"accessControlFlags", "devicePasscode"}},
       sec::kAttrAccessControl,
       platform::AccessControl{"ak", 0x10}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " from " + row.options.front().second);
    const auto query = queryOf(row.options);
    auto it = query.find(row.name);
    ASSERT_NE(it, query.end());
    EXPECT_EQ(it->second, row.value);
    EXPECT_EQ(query.size(), 5u);  // the defaults and this one
  }
}

TEST(QueryTest, OnlyExactStringsCount) {
  // Other strings, other types and the group leave the defaults alone.
  const auto defaults = queryOf({});
  for (const auto& options : std::vector<std::vector<std::pair<std::string, std::string>>>{
           {{"synchronizable", "yes"}},
           {{"isHidden", "TRUE"}},
           {{"usesDataProtectionKeychain", "False"}},
           {{"usesDataProtectionKeychain", "true"}},
           {{"groupId", "team.group"}},
           {{"persistentReference", "1"}},
           {{"accessControlFlags", "biometryAny"}},
       }) {
    SCOPED_TRACE(options.front().first + "=" + options.front().second);
    EXPECT_EQ(names(queryOf(options)), names(defaults));
  }
  EXPECT_FALSE(
      queryOf({{"usesDataProtectionKeychain", "false"}}).contains(sec::kUseDataProtectionKeychain));

  ChannelMap typed{{ChannelValue("synchronizable"), ChannelValue(true)},
                   {ChannelValue("accountName"), ChannelValue(int32_t{7})},
                   {ChannelValue("usesDataProtectionKeychain"), ChannelValue(false)}};
  ChannelMap call{{ChannelValue("key"), ChannelValue(int32_t{1})},
                  {ChannelValue("value"), ChannelValue(2.5)},
                  {ChannelValue("options"), ChannelValue(typed)}};
  const auto parsed = parseCall(ChannelValue(call));
  EXPECT_FALSE(parsed.parameters.key);
  EXPECT_FALSE(parsed.value);
  EXPECT_FALSE(parsed.parameters.isSynchronizable);
  EXPECT_FALSE(parsed.parameters.service);
  EXPECT_TRUE(parsed.parameters.usesDataProtectionKeychain);

  // Arguments that are no string-keyed map read as an empty one.
  for (const ChannelValue& odd : {ChannelValue(), ChannelValue("key"),
                                  ChannelValue(ChannelMap{{ChannelValue(1), ChannelValue("k")}})}) {
    const auto empty = parseCall(odd);
    EXPECT_FALSE(empty.parameters.key);
    EXPECT_EQ(empty.parameters.shouldReturnData, true);
  }
}

TEST(QueryTest, EnclaveModeDefaultsToUserPresenceOnlyWithAnAccessibility) {
  const auto withLevel = queryOf(
      {{"useSecureEnclave", "true"}, {"accessibility", "unlocked"}, {"synchronizable", "true"}});
  EXPECT_EQ(entry<platform::AccessControl>(withLevel, sec::kAttrAccessControl),
            (platform::AccessControl{"ak", 0x1}));
  EXPECT_FALSE(withLevel.contains(sec::kAttrAccessible));
  EXPECT_FALSE(withLevel.contains(sec::kAttrSynchronizable));
  const auto context = entry<std::shared_ptr<platform::AuthenticationContext>>(
      withLevel, sec::kUseAuthenticationContext);
  ASSERT_TRUE(context && *context);
  EXPECT_EQ((*context)->touchIDAuthenticationAllowableReuseDuration, 30);

  const auto withoutLevel = queryOf({{"useSecureEnclave", "true"}, {"synchronizable", "true"}});
  EXPECT_FALSE(withoutLevel.contains(sec::kAttrAccessControl));
  EXPECT_FALSE(withoutLevel.contains(sec::kAttrAccessible));
  // Enclave items are never synchronised.
  EXPECT_FALSE(withoutLevel.contains(sec::kAttrSynchronizable));
  EXPECT_FALSE(queryOf({}).contains(sec::kUseAuthenticationContext));
}

TEST(QueryTest, AccessControlFlagsParse) {
  const std::vector<std::pair<std::optional<std::string>, uint64_t>> rows{
      {std::nullopt, 0},
      {"", 0},
      {"[userPresence, or, devicePasscode]", 0x4011},
      {"\tbiometryAny\t,  and ,biometryCurrentSet", 0x800A},
      {"userPresence,,", 0x1},
      {"privateKeyUsage,applicationPassword", 0xC0000000},
      {"[[devicePasscode]]", 0x10},
      {"UserPresence", 0},
      {"\nuserPresence", 0},    // line breaks are not trimmed
      {"[ userPresence ]", 0},  // spaces inside the brackets stay
      {"nonsense,userPresence", 0x1},
  };
  for (const auto& [text, bits] : rows) {
    SCOPED_TRACE(text.value_or("(absent)"));
    EXPECT_EQ(parseAccessControlFlags(text), bits);
  }
}

TEST(QueryTest, ARefusedAccessControlFallsBackToPlainAttributes) {
  ::testing::internal::CaptureStdout();
  const auto query = queryOf({{"accessibility", "first_unlock"},
                              {"accessControlFlags", "or,and"},
                              {"synchronizable", "true"}});
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_THAT(printed, ::testing::StartsWith("Error creating access control: "));
  EXPECT_FALSE(query.contains(sec::kAttrAccessControl));
  EXPECT_EQ(entry<std::string>(query, sec::kAttrAccessible), "ck");
  EXPECT_EQ(entry<bool>(query, sec::kAttrSynchronizable), true);
}

TEST(QueryTest, ContradictoryRequestsAreRefused) {
  auto expectRefused = [](const KeychainQueryParameters& p, const std::string& message) {
    try {
      baseQuery(p);
      ADD_FAILURE() << "built a query";
    } catch (const OSSecError& error) {
      EXPECT_EQ(error.status, -50);
      EXPECT_EQ(error.message, message);
    }
  };
  expectRefused(parse({{"isHidden", "true"}, {"isPlaceholder", "true"}}),
                "Cannot use both kSecAttrIsInvisible and kSecAttrIsNegative together.");
  auto reference = parse({{"persistentReference", "true"}});
  expectRefused(reference, "Cannot use kSecReturnPersistentRef and kSecReturnData together.");
  reference.shouldReturnData = false;
  EXPECT_EQ(entry<bool>(baseQuery(reference), sec::kReturnPersistentRef), true);
  // One of the pair alone is fine.
  EXPECT_NO_THROW(baseQuery(parse({{"isHidden", "true"}, {"isPlaceholder", "false"}})));
}

TEST(QueryTest, ResultLimitSelectsOneOrAll) {
  auto p = parse({});
  p.resultLimit = 1;
  EXPECT_EQ(entry<std::string>(baseQuery(p), sec::kMatchLimit), std::string(sec::kMatchLimitOne));
  p.resultLimit = 0;
  EXPECT_EQ(entry<std::string>(baseQuery(p), sec::kMatchLimit), std::string(sec::kMatchLimitAll));
}

TEST(QueryTest, Utf8IsCheckedStrictly) {
  EXPECT_TRUE(isValidUtf8({}));
  EXPECT_TRUE(isValidUtf8({'a', 0xC3, 0xA9, 0xF0, 0x9F, 0x94, 0x91}));
  for (const Bytes& bad : std::vector<Bytes>{
           {0xC3}, {0xC0, 0x80}, {0xED, 0xA0, 0x80}, {0xF4, 0x90, 0x80, 0x80}, {0xFF}, {0x80}}) {
    EXPECT_FALSE(isValidUtf8(bad)) << int(bad[0]);
  }
}

}  // namespace
}  // namespace vellumark::secure_storage
