// Listing token certificates over the channel: queries, order,
// de-duplication, filtering and the record's map form.
#include <chrono>

#include "ctk_token_manager.h"
#include "sha1.h"
#include "tessel_test_support.h"

namespace vellumark::tessel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kTokenQuery1[] = "token=T1 ref attrs all";
constexpr char kTokenQuery2[] = "token=T2 ref attrs all";
constexpr char kAllQuery[] = "ref attrs all";

class CertificatesTest : public TesselPluginTest {
 protected:
  CertificatesTest() { success("initialize"); }

  ChannelList list(std::optional<bool> onlyForSigning) {
    ChannelMap arguments;
    if (onlyForSigning) arguments.set("onlyForSigning", *onlyForSigning);
    const ChannelValue value = success("getCertificates", args(arguments));
    return value.asList() != nullptr ? *value.asList() : ChannelList{};
  }
  // The keyIds of a listing, one byte each in these tests.
  std::vector<int> keyIds(std::optional<bool> onlyForSigning) {
    std::vector<int> out;
    for (const auto& record : list(onlyForSigning)) {
      const Bytes keyId = *field(record, "keyId").asBytes();
      out.push_back(keyId.empty() ? -1 : keyId[0]);
    }
    return out;
  }
};

TEST_F(CertificatesTest, WithoutTokensOnlyTheAllIdentitiesQueryRuns) {
  store->addKeychainItem({fakes::makeIdentity(certificateDer(9, kNonRepudiation), {}), Bytes{9}});
  EXPECT_THAT(keyIds(true), IsEmpty());
  EXPECT_THAT(store->queryDescriptions(), IsEmpty());
  EXPECT_THAT(keyIds(false), ElementsAre(9));
  EXPECT_THAT(store->queryDescriptions(), ElementsAre(kAllQuery));
}

TEST_F(CertificatesTest, OrdersByTokenAndListsEachKeyIdOnce) {
  auto a = addIdentity("T1", certificateDer(1, kNonRepudiation), Bytes{1});
  addIdentity("T1", certificateDer(2, kNonRepudiation), Bytes{2});
  auto c = addIdentity("T2", certificateDer(3, kNonRepudiation), Bytes{3});
  // Another certificate reusing keyId 3: the first one seen wins.
  addIdentity("T2", certificateDer(4, kNonRepudiation), Bytes{3});
  auto k = fakes::makeIdentity(certificateDer(5, kNonRepudiation), {});
  // The all-identities query returns the keychain's identity first and the
  // token identities again: they stay at their token positions.
  platform::QueryResult all{
      0, nullptr, std::vector<platform::IdentityItem>{{k, Bytes{5}}, {c, Bytes{3}}, {a, Bytes{1}}}};
  store->scriptResult(Kind::All, all);

  EXPECT_THAT(keyIds(true), ElementsAre(1, 2, 3));
  EXPECT_THAT(store->queryDescriptions(), ElementsAre(kTokenQuery1, kTokenQuery2));
  EXPECT_THAT(keyIds(std::nullopt), ElementsAre(1, 2, 3));
  EXPECT_THAT(keyIds(false), ElementsAre(1, 2, 3, 5));
  EXPECT_THAT(store->queryDescriptions(),
              ElementsAre(kTokenQuery1, kTokenQuery2, kTokenQuery1, kTokenQuery2, kTokenQuery1,
                          kTokenQuery2, kAllQuery));
  EXPECT_EQ(store->tokenIDsCalls(), 3);  // a new watcher per request
}

TEST_F(CertificatesTest, FiltersOnNonRepudiationOnlyWhenAsked) {
  addIdentity("T1", certificateDer(1, kDigitalSignature), Bytes{1});
  addIdentity("T1", certificateDer(2, kNonRepudiation, true), Bytes{2});
  addIdentity("T1", Bytes{0x30, 0x03, 0x02, 0x01, 0x03}, Bytes{3});  // no key usage at all
  EXPECT_THAT(keyIds(true), ElementsAre(2));
  EXPECT_THAT(keyIds(false), ElementsAre(1, 2, 3));
}

TEST_F(CertificatesTest, KeyUsageComesFromTheExtensionNotFromTheSubject) {
  // An authentication certificate whose OU spells a non-repudiation
  // extension is not offered for signing; the qualified one is.
  addIdentity("T1", certificateFile("hostile_auth.der"), Bytes{1});
  addIdentity("T1", certificateFile("hostile_no_key_usage.der"), Bytes{2});
  addIdentity("T1", certificateFile("signing.der"), Bytes{3});
  EXPECT_THAT(keyIds(true), ElementsAre(3));
  EXPECT_THAT(keyIds(false), ElementsAre(1, 2, 3));
}

TEST_F(CertificatesTest, KeysOfTheSameSlotOnTwoTokensAreBothListed) {
  // Two cards, each with its key under the same slot id: labels are the
  // SHA-1 of each public key, so both are listed; the same identity met
  // again by the all-identities query is listed once.
  const Bytes key1{0x30, 0x01, 0x01};
  const Bytes key2{0x30, 0x01, 0x02};
  const auto hash1 = sha1(key1);
  const auto hash2 = sha1(key2);
  const Bytes id1(hash1.begin(), hash1.end());
  const Bytes id2(hash2.begin(), hash2.end());
  auto first = fakes::makeIdentity(certificateDer(1, kNonRepudiation), key1);
  auto second = fakes::makeIdentity(certificateDer(2, kNonRepudiation), key2);
  store->addItem("T1", {first, id1});
  store->addItem("T2", {second, id2});

  for (bool onlyForSigning : {true, false}) {
    const ChannelList records = list(onlyForSigning);
    ASSERT_EQ(records.size(), 2u) << onlyForSigning;
    EXPECT_EQ(*field(records[0], "keyId").asBytes(), id1);
    EXPECT_EQ(*field(records[1], "keyId").asBytes(), id2);
    EXPECT_EQ(*field(records[1], "derData").asBytes(), certificateDer(2, kNonRepudiation));
  }
}

TEST_F(CertificatesTest, SkipsWhatCannotBeRead) {
  store->addItem("T1", {nullptr, Bytes{1}});  // no identity reference
  auto noCertificate = addIdentity("T1", certificateDer(2, kNonRepudiation), Bytes{2});
  noCertificate->certificateStatus = platform::status::kItemNotFound;
  auto nullCertificate = addIdentity("T1", certificateDer(3, kNonRepudiation), Bytes{3});
  nullCertificate->certificate = nullptr;
  addIdentity("T2", certificateDer(4, kNonRepudiation), Bytes{4});
  addIdentity("T3", certificateDer(5, kNonRepudiation), Bytes{5});
  addIdentity("T4", certificateDer(6, kNonRepudiation), Bytes{6});
  addIdentity("T5", certificateDer(7, kNonRepudiation), Bytes{7});
  store->scriptStatus(Kind::Token, platform::status::kUserCanceled, "T2");
  store->scriptResult(Kind::Token, {0, nullptr, std::nullopt}, "T3");  // no list
  store->scriptResult(Kind::Token, {0, nullptr, std::vector<platform::IdentityItem>{}}, "T4");
  EXPECT_THAT(keyIds(true), ElementsAre(7));
}

TEST_F(CertificatesTest, KeyIdIsTheLabelElseThePublicKeyHashElseEmpty) {
  const Bytes publicKey{0x30, 0x0D, 0x02, 0x01, 0x05};
  const auto hash = sha1(publicKey);
  auto withKey = fakes::makeIdentity(certificateDer(1, kNonRepudiation), publicKey);
  store->addItem("T1", {withKey, std::string("not bytes")});
  store->addItem("T1",
                 {fakes::makeIdentity(certificateDer(2, kNonRepudiation), publicKey), Bytes{0xAB}});
  auto withoutKey = fakes::makeIdentity(certificateDer(3, kNonRepudiation), std::nullopt);
  store->addItem("T1", {withoutKey, {}});
  // Also empty: a key without an external form. Empty keyIds collide too.
  auto noRepresentation = fakes::makeIdentity(certificateDer(4, kNonRepudiation), std::nullopt);
  noRepresentation->certificate->publicKey = std::make_shared<fakes::FakeKey>();
  store->addItem("T1", {noRepresentation, {}});

  const ChannelList records = list(true);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(*field(records[0], "keyId").asBytes(), Bytes(hash.begin(), hash.end()));
  EXPECT_EQ(*field(records[1], "keyId").asBytes(), Bytes{0xAB});
  EXPECT_EQ(*field(records[2], "keyId").asBytes(), Bytes{});
  EXPECT_EQ(*field(records[2], "derData").asBytes(), certificateDer(3, kNonRepudiation));
}

TEST_F(CertificatesTest, RecordMapHasTheSevenEntriesInOrder) {
  auto identity = addIdentity("T1", certificateDer(1, kNonRepudiation), Bytes{1, 2});
  auto& certificate = *identity->certificate;
  certificate.subjectSummary = "Jana Novak";
  certificate.issuerCommonName = "Qualified CA 1";
  certificate.serialNumber = Bytes{0x00, 0x9A, 0x0F};
  certificate.notBefore = 1700000000.25;
  certificate.notAfter = 1893456000.9999;

  const ChannelValue expected = ChannelMap{
      {"keyId", ChannelValue::bytes({1, 2})},
      {"subjectCN", "Jana Novak"},
      {"issuerCN", "Qualified CA 1"},
      {"serialNumber", "009A0F"},
      {"notBefore", int64_t{1700000000250}},
      {"notAfter", int64_t{1893456000999}},
      {"derData", ChannelValue::bytes(certificateDer(1, kNonRepudiation))},
  };
  const ChannelList records = list(true);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], expected);
  std::vector<std::string> keys;
  for (const auto& [key, value] : *records[0].asMap()) keys.push_back(*key.asString());
  EXPECT_THAT(keys, ElementsAre("keyId", "subjectCN", "issuerCN", "serialNumber", "notBefore",
                                "notAfter", "derData"));
}

TEST(CertificateRecord, TimestampsAreSixtyFourBitEvenWhenSmall) {
  QesCertificateData record;
  record.notBefore = 1.5;
  record.notAfter = -2.0;
  const ChannelValue map = record.toDictionary();
  EXPECT_EQ(field(map, "notBefore"), ChannelValue(int64_t{1500}));
  EXPECT_EQ(field(map, "notAfter"), ChannelValue(int64_t{-2000}));
  EXPECT_TRUE(field(map, "notBefore").is<int64_t>());
}

TEST_F(CertificatesTest, MissingFieldsGetTheirStandIns) {
  auto identity = addIdentity("T1", certificateDer(1, kNonRepudiation), Bytes{1});
  identity->certificate->subjectSummary.reset();
  identity->certificate->issuerCommonName.reset();
  identity->certificate->serialNumber.reset();
  identity->certificate->notBefore.reset();
  identity->certificate->notAfter.reset();
  addIdentity("T1", certificateDer(2, kNonRepudiation), Bytes{2})->certificate->serialNumber =
      Bytes{};

  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  const ChannelList records = list(true);
  ASSERT_EQ(records.size(), 2u);
  const ChannelValue& first = records[0];
  EXPECT_EQ(field(first, "subjectCN"), ChannelValue("Unknown"));
  EXPECT_EQ(field(first, "issuerCN"), ChannelValue("Unknown Issuer"));
  EXPECT_EQ(field(first, "serialNumber"), ChannelValue("0"));
  EXPECT_EQ(field(records[1], "serialNumber"), ChannelValue(""));
  // Without the certificate's own validity: a year either side of now.
  const int64_t notBefore = *field(first, "notBefore").asInteger();
  const int64_t notAfter = *field(first, "notAfter").asInteger();
  EXPECT_NEAR(static_cast<double>(notAfter - notBefore), 63'072'000'000.0, 1.0);
  EXPECT_NEAR(static_cast<double>(notBefore + 31'536'000'000), static_cast<double>(now), 60'000.0);
}

TEST(CertificateRecord, MillisecondsTruncateTowardZeroAndStayInRange) {
  EXPECT_EQ(millisecondsSince1970(-1.5), -1500);
  EXPECT_EQ(millisecondsSince1970(-0.0009), 0);
  EXPECT_EQ(millisecondsSince1970(0.0019), 1);
  EXPECT_EQ(millisecondsSince1970(1e300), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(millisecondsSince1970(-1e300), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(millisecondsSince1970(std::nan("")), 0);
}

}  // namespace
}  // namespace vellumark::tessel
