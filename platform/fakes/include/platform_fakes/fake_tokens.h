// A scriptable in-memory token store standing in for the token framework and
// the identity queries in unit tests. Tokens hold identity items in a fixed
// order; identities kept outside tokens form the "keychain". Every query is
// recorded, and any kind of query can be scripted to answer a given status
// or a given result. Like the real service it is called from one thread at
// a time (the plugin's worker); the store's own bookkeeping is locked so a
// test may script and read it from its thread, and FakePinDialog blocks a
// worker until the test (or cancelInteraction) answers.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/tokens.h"

namespace vellumark::platform::fakes {

using platform::Bytes;

// One object for both halves of a key pair: the public half's external form
// and the private half's signing behaviour.
class FakeKey : public platform::Key {
 public:
  FakeKey() = default;
  explicit FakeKey(std::optional<Bytes> external) : externalRepresentation(std::move(external)) {}

  // The signature an unscripted key makes over `digest`: 0x5A then the digest.
  static Bytes signatureOf(const Bytes& digest);

  // Scripting of createSignature.
  void answerSignature(Bytes signature);
  void failSignature(std::optional<std::string> description);
  void answerNothing();

  std::optional<Bytes> copyExternalRepresentation() override { return externalRepresentation; }
  bool isAlgorithmSupported(platform::KeyOperation operation,
                            platform::KeyAlgorithm algorithm) override;
  platform::SignatureResult createSignature(platform::KeyAlgorithm algorithm,
                                            const Bytes& digest) override;

  std::optional<Bytes> externalRepresentation;
  bool supportsAlgorithm = true;
  std::optional<platform::SignatureResult> scriptedSignature;
  // Every digest handed to createSignature, in order.
  std::vector<Bytes> signedDigests;
};

class FakeCertificate : public platform::Certificate {
 public:
  explicit FakeCertificate(Bytes data, std::shared_ptr<FakeKey> key = nullptr)
      : der(std::move(data)), publicKey(std::move(key)) {}

  Bytes copyData() override { return der; }
  std::optional<std::string> copySubjectSummary() override { return subjectSummary; }
  std::optional<std::string> copyIssuerCommonName() override { return issuerCommonName; }
  std::optional<Bytes> copySerialNumberData() override { return serialNumber; }
  std::optional<double> notValidBefore() override { return notBefore; }
  std::optional<double> notValidAfter() override { return notAfter; }
  std::shared_ptr<platform::Key> copyKey() override { return publicKey; }

  Bytes der;
  std::shared_ptr<FakeKey> publicKey;
  std::optional<std::string> subjectSummary = "Test Subject";
  std::optional<std::string> issuerCommonName = "Test CA";
  std::optional<Bytes> serialNumber = Bytes{0x01};
  std::optional<double> notBefore = 1.6e9;
  std::optional<double> notAfter = 1.7e9;
};

// The PIN dialog of the platform: a token call that needs the PIN asks it
// and waits until the PIN is entered or the dialog is dismissed. A test that
// runs token work on its own thread uses ManualQueue workers instead and
// presets the answer with answerNext().
class FakePinDialog {
 public:
  enum class Answer { Pin, Cancelled };

  // Token (worker) thread: opens the dialog and waits for its answer; a
  // preset answer is taken at once without opening it.
  Answer ask();
  // Any thread: the next ask() returns `answer` at once.
  void answerNext(Answer answer);
  // Any thread: enters the PIN in the dialog open now; false when none is.
  bool enterPin();
  // Any thread: closes the dialog open now as cancelled; false when none is
  // open (as with the real service, a later dialog is not affected).
  bool dismiss();
  // Any thread: blocks until a dialog is open.
  void waitUntilOpen();
  bool isOpen() const;
  int timesAsked() const;

 private:
  // Answers the open dialog unless it is already answered.
  bool answerOpen(Answer answer);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  std::optional<Answer> answer_;
  std::optional<Answer> preset_;
  int asked_ = 0;
};

class FakeIdentity : public platform::Identity {
 public:
  FakeIdentity(std::shared_ptr<FakeCertificate> cert, std::shared_ptr<FakeKey> key)
      : certificate(std::move(cert)), privateKey(std::move(key)) {}

  CertificateResult copyCertificate() override { return {certificateStatus, certificate}; }
  KeyResult copyPrivateKey() override;

  std::shared_ptr<FakeCertificate> certificate;
  int32_t certificateStatus = platform::status::kSuccess;
  std::shared_ptr<FakeKey> privateKey;
  int32_t privateKeyStatus = platform::status::kSuccess;
  int privateKeyRequests = 0;
  // When set, the private-key request asks it for the PIN first; a
  // cancelled dialog answers status -128 (user cancelled).
  std::shared_ptr<FakePinDialog> pinDialog;
};

// An identity whose certificate is `der`, whose public key's external form is
// `publicKey` and whose private key signs with FakeKey::signatureOf.
std::shared_ptr<FakeIdentity> makeIdentity(Bytes der, std::optional<Bytes> publicKey);

class FakeTokenStore : public platform::TokenService {
 public:
  // The shapes of identity query the signing code runs.
  enum class QueryKind {
    Token,   // tokenID, attributes, all
    All,     // attributes, all, no token and no label
    Direct,  // applicationLabel, match one
    Other,
  };
  static QueryKind kindOf(const platform::IdentityQuery& query);
  // A compact, complete rendering of a query, e.g.
  // "token=T1 ref attrs all" or "label=0A0B ref one".
  static std::string describe(const platform::IdentityQuery& query);

  // Tokens are listed by tokenIDs() in the order added.
  void addToken(const std::string& tokenID);
  void removeToken(const std::string& tokenID);
  // Adds the item to the token (adding the token when it is new).
  void addItem(const std::string& tokenID, platform::IdentityItem item);
  // An identity kept outside every token: found only by queries without a token.
  void addKeychainItem(platform::IdentityItem item);

  // From now on, queries of this kind (of this token, when given) answer the
  // result instead of searching. The first matching script wins.
  void scriptResult(QueryKind kind, platform::QueryResult result,
                    std::optional<std::string> tokenID = std::nullopt);
  void scriptStatus(QueryKind kind, int32_t status,
                    std::optional<std::string> tokenID = std::nullopt);

  // Texts of copyErrorMessageString, per status. Set before token work runs.
  std::map<int32_t, std::string> errorMessages;

  // The dialog cancelInteraction() dismisses; give it to identities whose
  // private key needs a PIN.
  const std::shared_ptr<FakePinDialog> pinDialog = std::make_shared<FakePinDialog>();

  std::vector<platform::IdentityQuery> queries() const;
  std::vector<std::string> queryDescriptions() const;
  int tokenIDsCalls() const;
  int cancelInteractionCalls() const;

  std::vector<std::string> tokenIDs() override;
  // Without a token: every present token's items in token order, then the
  // keychain's. A label narrows to items whose label bytes equal it. Nothing
  // found answers -25300, as SecItemCopyMatching does.
  platform::QueryResult copyMatching(const platform::IdentityQuery& query) override;
  std::optional<std::string> copyErrorMessageString(int32_t status) override;
  // Any thread.
  void cancelInteraction() override;

 private:
  struct Token {
    std::string id;
    std::vector<platform::IdentityItem> items;
  };
  struct Script {
    QueryKind kind;
    std::optional<std::string> tokenID;
    platform::QueryResult result;
  };
  Token& token(const std::string& tokenID);

  mutable std::mutex mutex_;
  std::vector<Token> tokens_;
  std::vector<platform::IdentityItem> keychain_;
  std::vector<Script> scripts_;
  std::vector<platform::IdentityQuery> queries_;
  int tokenIDsCalls_ = 0;
  int cancelInteractionCalls_ = 0;
};

}  // namespace vellumark::platform::fakes
