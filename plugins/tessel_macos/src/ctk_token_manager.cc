#include "ctk_token_manager.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>
#include <utility>

#include "key_usage.h"
#include "sha1.h"

namespace vellumark::tessel {

using platform::IdentityItem;
using platform::IdentityQuery;
using platform::MatchLimit;
namespace status = platform::status;

namespace {

constexpr char kKeyNotFound[] = "KEY_NOT_FOUND";
constexpr char kKeyNotFoundMessage[] = "Private key not found";
constexpr char kUserCancelled[] = "USER_CANCELLED";
constexpr char kUserCancelledMessage[] = "User cancelled PIN entry";
constexpr char kSigningFailed[] = "SIGNING_FAILED";
constexpr char kAlgorithmUnsupportedMessage[] = "Token does not support RSA PKCS#1 v1.5 SHA-256";
constexpr char kUnknownSigningErrorMessage[] = "Unknown signing error";
constexpr char kNoSignatureMessage[] = "SecKeyCreateSignature returned nil";
constexpr char kOsErrorPrefix[] = "OS_ERROR_";
constexpr char kUnknownErrorPrefix[] = "Unknown error ";

constexpr char kUnknownSubject[] = "Unknown";
constexpr char kUnknownIssuer[] = "Unknown Issuer";
constexpr char kNoSerialNumber[] = "0";

// Fallback validity when the platform cannot give a certificate's own: one
// year either side of the request time.
constexpr double kFallbackValiditySeconds = 31'536'000.0;

constexpr auto kAlgorithm = platform::KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256;

// Stands in for a missing token service: no token, every query fails.
class UnavailableTokenService : public platform::TokenService {
 public:
  std::vector<std::string> tokenIDs() override { return {}; }
  platform::QueryResult copyMatching(const IdentityQuery& /*query*/) override {
    return {status::kNotAvailable, nullptr, std::nullopt};
  }
  std::optional<std::string> copyErrorMessageString(int32_t code) override {
    if (code == status::kNotAvailable) return "Token services are not available";
    return std::nullopt;
  }
};

IdentityQuery identitiesQuery(std::optional<std::string> tokenID) {
  IdentityQuery query;
  query.tokenID = std::move(tokenID);
  query.returnRef = true;
  query.returnAttributes = true;
  query.matchLimit = MatchLimit::All;
  return query;
}

IdentityQuery directQuery(const Bytes& keyId) {
  IdentityQuery query;
  query.applicationLabel = keyId;
  query.returnRef = true;
  query.returnAttributes = false;
  query.matchLimit = MatchLimit::One;
  return query;
}

// SHA-1 of the public key's external representation, when both can be had.
std::optional<Bytes> publicKeyHash(platform::Certificate& certificate) {
  auto key = certificate.copyKey();
  if (!key) return std::nullopt;
  auto representation = key->copyExternalRepresentation();
  if (!representation) return std::nullopt;
  const auto digest = sha1(*representation);
  return Bytes(digest.begin(), digest.end());
}

const Bytes* labelBytes(const IdentityItem& item) {
  return std::get_if<Bytes>(&item.applicationLabel);
}

double secondsSince1970Now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

int64_t millisecondsSince1970(double seconds) {
  const double ms = std::trunc(seconds * 1000.0);
  if (std::isnan(ms)) return 0;
  // 2^63 is exactly representable; anything at or beyond it would overflow.
  constexpr double kLimit = 9223372036854775808.0;
  if (ms >= kLimit) return std::numeric_limits<int64_t>::max();
  if (ms < -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(ms);
}

std::string hexSerialNumber(const Bytes& serial) {
  std::string out;
  out.reserve(serial.size() * 2);
  char buf[3];
  for (uint8_t b : serial) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    out += buf;
  }
  return out;
}

ChannelValue QesCertificateData::toDictionary() const {
  return ChannelMap{
      {"keyId", ChannelValue::bytes(keyId)},
      {"subjectCN", subjectCN},
      {"issuerCN", issuerCN},
      {"serialNumber", serialNumber},
      {"notBefore", millisecondsSince1970(notBefore)},
      {"notAfter", millisecondsSince1970(notAfter)},
      {"derData", ChannelValue::bytes(derData)},
  };
}

std::shared_ptr<platform::TokenService> tokenServiceOrUnavailable(
    std::shared_ptr<platform::TokenService> tokens) {
  if (tokens) return tokens;
  return std::make_shared<UnavailableTokenService>();
}

CtkTokenManager::CtkTokenManager(std::shared_ptr<platform::TokenService> tokens)
    : tokens_(tokenServiceOrUnavailable(std::move(tokens))) {}

QesCertificateData CtkTokenManager::makeRecord(platform::Certificate& certificate,
                                               const IdentityItem& item, double now) const {
  QesCertificateData record;
  if (const Bytes* label = labelBytes(item)) {
    record.keyId = *label;
  } else if (auto hash = publicKeyHash(certificate)) {
    record.keyId = std::move(*hash);
  }
  record.subjectCN = certificate.copySubjectSummary().value_or(kUnknownSubject);
  record.issuerCN = certificate.copyIssuerCommonName().value_or(kUnknownIssuer);
  const auto serial = certificate.copySerialNumberData();
  record.serialNumber = serial ? hexSerialNumber(*serial) : kNoSerialNumber;
  // The certificate's own validity. A platform that cannot give a bound gets
  // the old clock-based value for it: the request time minus / plus a year.
  record.notBefore = certificate.notValidBefore().value_or(now - kFallbackValiditySeconds);
  record.notAfter = certificate.notValidAfter().value_or(now + kFallbackValiditySeconds);
  record.derData = certificate.copyData();
  record.isForSigning = keyUsageAssertsNonRepudiation(record.derData);
  return record;
}

std::vector<QesCertificateData> CtkTokenManager::getCertificates(bool onlyForSigning) const {
  std::vector<IdentityQuery> queries;
  for (auto& tokenID : tokens_->tokenIDs()) queries.push_back(identitiesQuery(std::move(tokenID)));
  if (!onlyForSigning) {
    queries.push_back(identitiesQuery(std::nullopt));
  } else if (queries.empty()) {
    return {};
  }

  const double now = secondsSince1970Now();
  std::vector<QesCertificateData> records;
  std::set<Bytes> seenKeyIds;
  for (const auto& query : queries) {
    const auto result = tokens_->copyMatching(query);
    if (result.status != status::kSuccess || !result.items) continue;
    for (const auto& item : *result.items) {
      if (!item.valueRef) continue;
      const auto certificate = item.valueRef->copyCertificate();
      if (certificate.status != status::kSuccess || !certificate.certificate) continue;
      auto record = makeRecord(*certificate.certificate, item, now);
      if (onlyForSigning && !record.isForSigning) continue;
      if (!seenKeyIds.insert(record.keyId).second) continue;
      records.push_back(std::move(record));
    }
  }
  return records;
}

CtkError CtkTokenManager::osError(int32_t code) const {
  const std::string number = std::to_string(code);
  return CtkError{kOsErrorPrefix + number,
                  tokens_->copyErrorMessageString(code).value_or(kUnknownErrorPrefix + number)};
}

Bytes CtkTokenManager::signDigest(const Bytes& digest, const Bytes& keyId,
                                  const std::optional<Bytes>& certDer) const {
  const auto identity = findIdentity(keyId, certDer);

  const auto privateKey = identity->copyPrivateKey();
  if (privateKey.status == status::kUserCanceled) {
    throw CtkError{kUserCancelled, kUserCancelledMessage};
  }
  if (privateKey.status != status::kSuccess || !privateKey.key) throw osError(privateKey.status);

  if (!privateKey.key->isAlgorithmSupported(platform::KeyOperation::Sign, kAlgorithm)) {
    throw CtkError{kSigningFailed, kAlgorithmUnsupportedMessage};
  }
  // The digest goes unchanged: the platform wraps it in the DigestInfo and
  // decides which lengths it accepts.
  auto result = privateKey.key->createSignature(kAlgorithm, digest);
  if (result.signature) return std::move(*result.signature);
  if (result.error) {
    throw CtkError{kSigningFailed, result.error->description.value_or(kUnknownSigningErrorMessage)};
  }
  throw CtkError{kSigningFailed, kNoSignatureMessage};
}

std::shared_ptr<platform::Identity> CtkTokenManager::findIdentity(
    const Bytes& keyId, const std::optional<Bytes>& certDer) const {
  if (certDer) return scanIdentities(keyId, certDer);

  const auto result = tokens_->copyMatching(directQuery(keyId));
  switch (result.status) {
    case status::kSuccess:
      if (result.item) return result.item;
      throw osError(result.status);
    case status::kUserCanceled:
      throw CtkError{kUserCancelled, kUserCancelledMessage};
    case status::kItemNotFound:
      return scanIdentities(keyId, std::nullopt);
    default:
      throw osError(result.status);
  }
}

std::shared_ptr<platform::Identity> CtkTokenManager::scanIdentities(
    const Bytes& keyId, const std::optional<Bytes>& certDer) const {
  // The scan covers every identity, inside tokens or not. Any failure of the
  // query, a cancelled PIN included, means the key is not found.
  const auto result = tokens_->copyMatching(identitiesQuery(std::nullopt));
  if (result.status != status::kSuccess || !result.items || result.items->empty()) {
    throw CtkError{kKeyNotFound, kKeyNotFoundMessage};
  }
  for (const auto& item : *result.items) {
    if (!item.valueRef) continue;
    const auto certificate = item.valueRef->copyCertificate();
    if (certificate.status == status::kSuccess && certificate.certificate) {
      if (certDer) {
        if (certificate.certificate->copyData() == *certDer) return item.valueRef;
        continue;
      }
      if (publicKeyHash(*certificate.certificate) == keyId) return item.valueRef;
    }
    const Bytes* label = labelBytes(item);
    if (label != nullptr && *label == keyId) return item.valueRef;
  }
  throw CtkError{kKeyNotFound, kKeyNotFoundMessage};
}

}  // namespace vellumark::tessel
