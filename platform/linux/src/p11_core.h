// The parts of the PKCS#11 token service: the registry of tokens and
// sessions, the index of each token's objects, the login through the PIN
// dialog, and the signing key. They are used from the one thread that calls
// the service at a time; only Authenticator::cancelInteraction() may be
// called from any thread.
#pragma once

#include <map>
#include <mutex>

#include "p11_internal.h"
#include "platform_linux/token_service.h"

namespace vellumark::linux_platform::p11 {

// A token present now.
struct Token {
  std::shared_ptr<Module> module;
  CK_SLOT_ID slot = 0;
  std::string id;  // module, serial number and label: stable across slot numbers
  std::string label;
  bool nss = false;
  CK_FLAGS flags = 0;  // as the slot listing read them
};

// What signing needs to know of a key: of the private key, or before login
// of the public-key object with the same CKA_ID.
struct KeyFacts {
  bool rsa = false;
  bool canSign = false;
  bool alwaysAuthenticate = false;
  Bytes modulus;
  Bytes exponent;
};

// An identity: a certificate and the private key with its CKA_ID.
struct Pairing {
  Bytes ckaId;
  std::shared_ptr<const ParsedCertificate> cert;
  // The public key's external representation (the certificate's, else the
  // key pair's own) and its SHA-1, the application label: unique per key,
  // where CKA_ID values repeat across cards.
  Bytes publicKey;
  Bytes label;
  // The private key as the listing saw it, good while that session lives;
  // 0 while keys are hidden before login.
  CK_OBJECT_HANDLE key = 0;
  uint64_t sessionSerial = 0;
  // The token shows no keys before login: the certificate stands alone.
  bool certificateOnly = false;
  // False when a key modulus is known and is not the certificate's.
  bool consistent = true;
};

// What the PIN dialog and the error texts call the certificate.
std::string certificateName(const ParsedCertificate& cert);

// Whether the key's public half is the certificate's; nullopt when either
// is unknown.
std::optional<bool> sameKey(const std::optional<Bytes>& certificateKey, const KeyFacts& key);

// The keys of one class (private or public) with the given CKA_ID.
std::vector<CK_OBJECT_HANDLE> findKeys(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                                       CK_OBJECT_CLASS keyClass, const Bytes& ckaId, CK_RV& rv);

// The tokens present and one session per token, kept while the token stays:
// the login lives on it.
class Registry {
 public:
  Registry(std::vector<std::shared_ptr<Module>> modules, std::shared_ptr<Module> nss);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // The tokens present now; remembered as where each token was last seen.
  std::vector<Token> presentTokens(bool withNss);
  // The token with this identifier, wherever it is now.
  std::optional<Token> findToken(const std::string& id);
  // The token of an identity or key, confirmed present: at its slot, or
  // renumbered, or nowhere.
  std::optional<Token> locate(const Token& hint);

  std::optional<CK_SESSION_HANDLE> session(const Token& token, Failure& failure);
  // Tells sessions apart even when a module reuses handle values: object
  // handles found on a session stay good while its serial does.
  uint64_t sessionSerial(const std::string& tokenId) const;
  void dropSession(const std::string& tokenId);
  bool loggedIn(const Token& token, CK_SESSION_HANDLE session);

  // A failed call in words the user can act on: after a device error the
  // token is looked for, and a token gone is said to be removed `during`
  // ("during the signature").
  Failure callFailure(const Token& token, const char* call, CK_RV rv, const char* during);

 private:
  struct OpenSession {
    std::shared_ptr<Module> module;
    CK_SESSION_HANDLE handle;
    uint64_t serial;
  };
  bool sessionAlive(const Token& token);
  static std::optional<Token> confirm(const Token& hint);
  static void appendTokens(const std::shared_ptr<Module>& module, bool nss,
                           std::vector<Token>& tokens);

  std::vector<std::shared_ptr<Module>> modules_;
  std::shared_ptr<Module> nss_;
  std::map<std::string, OpenSession> sessions_;
  std::map<std::string, Token> seen_;  // where the last listing saw each token
  uint64_t opened_ = 0;
};

// Each token's certificates and keys, paired into identities. Every query
// lists the token's object handles afresh and reads what is new; only what
// was read of a handle that is still there, on the same session, is reused,
// and parsed certificates are kept by their DER bytes.
class ObjectIndex {
 public:
  explicit ObjectIndex(Registry& registry) : registry_(registry) {}

  // The identities the token shows now.
  std::vector<Pairing> identities(const Token& token);
  // A key's facts; nullopt when the handle names no key (any longer).
  std::optional<KeyFacts> keyFacts(const Token& token, CK_SESSION_HANDLE session,
                                   CK_OBJECT_HANDLE key);
  // Whether the token signs with CKM_RSA_PKCS, asked once per session.
  bool mechanismOffered(const Token& token);

 private:
  // What was read of one object.
  struct ObjectRecord {
    CK_OBJECT_CLASS objectClass = 0;
    Bytes id;
    std::shared_ptr<const ParsedCertificate> cert;  // X.509 certificates
    std::optional<KeyFacts> key;                    // keys
  };
  struct TokenObjects {
    uint64_t sessionSerial = 0;
    bool loggedIn = false;
    std::vector<CK_OBJECT_HANDLE> handles;  // every object, sorted
    std::map<CK_OBJECT_HANDLE, ObjectRecord> records;
    std::vector<Pairing> identities;
    std::optional<bool> mechanismOffered;
    // Parsed certificates by their DER bytes; they outlive the session.
    std::map<Bytes, std::shared_ptr<const ParsedCertificate>> parsed;
  };
  void pair(TokenObjects& objects, bool loggedIn);
  TokenObjects* objectsOf(const std::string& tokenId);

  Registry& registry_;
  std::map<std::string, TokenObjects> objects_;  // by token identifier
};

// The user's login through the PIN dialog or the reader's PIN pad, and the
// request's interaction state: its cancellation and its count of wrong PINs.
class Authenticator {
 public:
  static constexpr const char* kWrongPin = "Wrong PIN. Please try again.";

  explicit Authenticator(std::shared_ptr<PinPrompt> prompt) : prompt_(std::move(prompt)) {}

  // A request starts (with a listing): its cancellation and wrong-PIN count
  // start afresh.
  void beginRequest();
  // Dismisses the dialog open now, and any the current request would still
  // open. Any thread.
  void cancelInteraction();

  enum class Login { Done, Cancelled, Failed };
  Login loginUser(Registry& registry, const Token& token, CK_SESSION_HANDLE session,
                  const std::string& certName, Failure& failure);
  // A locked PIN or one that must be changed fails before anyone is asked.
  static bool pinUsable(const Token& token, CK_FLAGS flags, Failure& failure);
  PinReply askPin(const Token& token, const std::string& certName, const CK_TOKEN_INFO& info,
                  const std::string& errorLine, bool forSignature);
  static Login refused(const PinReply& reply, Failure& failure);
  // Counts a wrong PIN of this request. True, with `failure` set, once it
  // is the third: tokens without a retry counter would ask forever.
  bool wrongPinLimitReached(const Token& token, Failure& failure);
  // The failure of a C_Login that said `rv`, in readable words where the
  // user can act on it.
  static Failure loginFailure(Registry& registry, const Token& token, CK_RV rv);

  static CK_UTF8CHAR* pinBytes(const SecretBuffer& pin) {
    return reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.data()));
  }

 private:
  std::shared_ptr<PinPrompt> prompt_;
  std::mutex mutex_;  // orders cancel() against reset()
  Cancellation cancellation_;
  int wrongPins_ = 0;
};

// Everything one service holds.
struct Core {
  Core(std::vector<std::shared_ptr<Module>> modules, std::shared_ptr<Module> nss,
       std::shared_ptr<PinPrompt> prompt)
      : registry(std::move(modules), std::move(nss)), objects(registry), auth(std::move(prompt)) {}

  Registry registry;
  ObjectIndex objects;
  Authenticator auth;
  // Remembered for copyErrorMessageString, which the caller asks right after.
  std::optional<Failure> lastFailure;
};

// The private key of an identity: signs through the token.
std::shared_ptr<platform::Key> makeTokenKey(std::shared_ptr<Core> core, Token token, Pairing pair,
                                            KeyFacts facts, CK_OBJECT_HANDLE handle);

// A service over modules already loaded; tests hand in function lists of
// their own.
std::shared_ptr<platform::TokenService> createService(std::vector<std::shared_ptr<Module>> modules,
                                                      std::shared_ptr<Module> nss,
                                                      std::shared_ptr<PinPrompt> prompt);

}  // namespace vellumark::linux_platform::p11
