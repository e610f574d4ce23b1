#include "platform_fakes/fake_tokens.h"

#include <algorithm>
#include <cstdio>

namespace vellumark::platform::fakes {

using platform::IdentityItem;
using platform::IdentityQuery;
using platform::MatchLimit;
using platform::QueryResult;

namespace {

std::string hex(const Bytes& bytes) {
  std::string out;
  char buf[3];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    out += buf;
  }
  return out;
}

}  // namespace

Bytes FakeKey::signatureOf(const Bytes& digest) {
  // Built in place: GCC 12 misreads insert() after a one-element init list.
  Bytes out(digest.size() + 1);
  out[0] = 0x5A;
  std::copy(digest.begin(), digest.end(), out.begin() + 1);
  return out;
}

void FakeKey::answerSignature(Bytes signature) {
  scriptedSignature = platform::SignatureResult{std::move(signature), std::nullopt};
}

void FakeKey::failSignature(std::optional<std::string> description) {
  scriptedSignature =
      platform::SignatureResult{std::nullopt, platform::SignatureError{std::move(description)}};
}

void FakeKey::answerNothing() { scriptedSignature = platform::SignatureResult{}; }

bool FakeKey::isAlgorithmSupported(platform::KeyOperation operation,
                                   platform::KeyAlgorithm algorithm) {
  return supportsAlgorithm && operation == platform::KeyOperation::Sign &&
         algorithm == platform::KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256;
}

platform::SignatureResult FakeKey::createSignature(platform::KeyAlgorithm /*algorithm*/,
                                                   const Bytes& digest) {
  signedDigests.push_back(digest);
  if (scriptedSignature) return *scriptedSignature;
  return {signatureOf(digest), std::nullopt};
}

FakePinDialog::Answer FakePinDialog::ask() {
  std::unique_lock lock(mutex_);
  ++asked_;
  if (preset_) {
    const Answer answer = *preset_;
    preset_.reset();
    return answer;
  }
  open_ = true;
  answer_.reset();
  changed_.notify_all();
  changed_.wait(lock, [this] { return answer_.has_value(); });
  open_ = false;
  changed_.notify_all();
  return *answer_;
}

void FakePinDialog::answerNext(Answer answer) {
  std::lock_guard lock(mutex_);
  preset_ = answer;
}

bool FakePinDialog::enterPin() { return answerOpen(Answer::Pin); }

bool FakePinDialog::dismiss() { return answerOpen(Answer::Cancelled); }

bool FakePinDialog::answerOpen(Answer answer) {
  std::lock_guard lock(mutex_);
  if (!open_ || answer_) return false;
  answer_ = answer;
  changed_.notify_all();
  return true;
}

void FakePinDialog::waitUntilOpen() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return open_ && !answer_; });
}

bool FakePinDialog::isOpen() const {
  std::lock_guard lock(mutex_);
  return open_ && !answer_;
}

int FakePinDialog::timesAsked() const {
  std::lock_guard lock(mutex_);
  return asked_;
}

platform::Identity::KeyResult FakeIdentity::copyPrivateKey() {
  ++privateKeyRequests;
  if (pinDialog && pinDialog->ask() == FakePinDialog::Answer::Cancelled) {
    return {platform::status::kUserCanceled, nullptr};
  }
  return {privateKeyStatus, privateKeyStatus == platform::status::kSuccess ? privateKey : nullptr};
}

std::shared_ptr<FakeIdentity> makeIdentity(Bytes der, std::optional<Bytes> publicKey) {
  auto pub = publicKey ? std::make_shared<FakeKey>(std::move(publicKey)) : nullptr;
  auto certificate = std::make_shared<FakeCertificate>(std::move(der), pub);
  return std::make_shared<FakeIdentity>(std::move(certificate), std::make_shared<FakeKey>());
}

FakeTokenStore::QueryKind FakeTokenStore::kindOf(const IdentityQuery& query) {
  if (query.applicationLabel && !query.tokenID && query.matchLimit == MatchLimit::One) {
    return QueryKind::Direct;
  }
  if (query.applicationLabel || !query.returnAttributes || query.matchLimit != MatchLimit::All) {
    return QueryKind::Other;
  }
  return query.tokenID ? QueryKind::Token : QueryKind::All;
}

std::string FakeTokenStore::describe(const IdentityQuery& query) {
  std::string out;
  auto add = [&out](const std::string& part) {
    if (!out.empty()) out += ' ';
    out += part;
  };
  if (query.tokenID) add("token=" + *query.tokenID);
  if (query.applicationLabel) add("label=" + hex(*query.applicationLabel));
  if (query.returnRef) add("ref");
  if (query.returnAttributes) add("attrs");
  add(query.matchLimit == MatchLimit::All ? "all" : "one");
  return out;
}

FakeTokenStore::Token& FakeTokenStore::token(const std::string& tokenID) {
  auto it =
      std::find_if(tokens_.begin(), tokens_.end(), [&](const Token& t) { return t.id == tokenID; });
  if (it != tokens_.end()) return *it;
  tokens_.push_back(Token{tokenID, {}});
  return tokens_.back();
}

void FakeTokenStore::addToken(const std::string& tokenID) {
  std::lock_guard lock(mutex_);
  token(tokenID);
}

void FakeTokenStore::removeToken(const std::string& tokenID) {
  std::lock_guard lock(mutex_);
  std::erase_if(tokens_, [&](const Token& t) { return t.id == tokenID; });
}

void FakeTokenStore::addItem(const std::string& tokenID, IdentityItem item) {
  std::lock_guard lock(mutex_);
  token(tokenID).items.push_back(std::move(item));
}

void FakeTokenStore::addKeychainItem(IdentityItem item) {
  std::lock_guard lock(mutex_);
  keychain_.push_back(std::move(item));
}

void FakeTokenStore::scriptResult(QueryKind kind, QueryResult result,
                                  std::optional<std::string> tokenID) {
  std::lock_guard lock(mutex_);
  scripts_.push_back(Script{kind, std::move(tokenID), std::move(result)});
}

void FakeTokenStore::scriptStatus(QueryKind kind, int32_t status,
                                  std::optional<std::string> tokenID) {
  scriptResult(kind, QueryResult{status, nullptr, std::nullopt}, std::move(tokenID));
}

std::vector<IdentityQuery> FakeTokenStore::queries() const {
  std::lock_guard lock(mutex_);
  return queries_;
}

std::vector<std::string> FakeTokenStore::queryDescriptions() const {
  std::vector<std::string> out;
  for (const auto& q : queries()) out.push_back(describe(q));
  return out;
}

int FakeTokenStore::tokenIDsCalls() const {
  std::lock_guard lock(mutex_);
  return tokenIDsCalls_;
}

int FakeTokenStore::cancelInteractionCalls() const {
  std::lock_guard lock(mutex_);
  return cancelInteractionCalls_;
}

void FakeTokenStore::cancelInteraction() {
  {
    std::lock_guard lock(mutex_);
    ++cancelInteractionCalls_;
  }
  pinDialog->dismiss();
}

std::vector<std::string> FakeTokenStore::tokenIDs() {
  std::lock_guard lock(mutex_);
  ++tokenIDsCalls_;
  std::vector<std::string> ids;
  for (const auto& t : tokens_) ids.push_back(t.id);
  return ids;
}

QueryResult FakeTokenStore::copyMatching(const IdentityQuery& query) {
  std::lock_guard lock(mutex_);
  queries_.push_back(query);
  const QueryKind kind = kindOf(query);
  for (const auto& script : scripts_) {
    if (script.kind == kind && (!script.tokenID || script.tokenID == query.tokenID)) {
      return script.result;
    }
  }

  std::vector<IdentityItem> found;
  auto take = [&](const std::vector<IdentityItem>& items) {
    for (const auto& item : items) {
      if (query.applicationLabel) {
        const auto* label = std::get_if<Bytes>(&item.applicationLabel);
        if (label == nullptr || *label != *query.applicationLabel) continue;
      }
      found.push_back(item);
    }
  };
  if (query.tokenID) {
    auto it = std::find_if(tokens_.begin(), tokens_.end(),
                           [&](const Token& t) { return t.id == *query.tokenID; });
    if (it != tokens_.end()) take(it->items);
  } else {
    for (const auto& t : tokens_) take(t.items);
    take(keychain_);
  }
  if (found.empty()) return QueryResult{platform::status::kItemNotFound, nullptr, std::nullopt};

  QueryResult result{platform::status::kSuccess, nullptr, std::nullopt};
  if (query.matchLimit == MatchLimit::One) found.resize(1);
  if (query.returnAttributes) {
    result.items = std::move(found);
  } else if (query.matchLimit == MatchLimit::One) {
    result.item = found.front().valueRef;
  } else {
    // A list of bare references: items without attributes.
    result.items.emplace();
    for (auto& item : found) result.items->push_back(IdentityItem{item.valueRef, {}});
  }
  return result;
}

std::optional<std::string> FakeTokenStore::copyErrorMessageString(int32_t status) {
  auto it = errorMessages.find(status);
  if (it == errorMessages.end()) return std::nullopt;
  return it->second;
}

}  // namespace vellumark::platform::fakes
