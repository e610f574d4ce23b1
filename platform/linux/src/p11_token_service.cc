// The token service on PKCS#11: tokens present now, identities (a
// certificate and the private key with the same CKA_ID), logins through the
// PIN dialog, and RSA PKCS#1 v1.5 signatures over SHA-256 digests.
#include <glib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "p11_internal.h"
#include "platform_linux/token_service.h"

namespace vellumark::linux_platform {
namespace {

using p11::Failure;
using p11::Module;
using platform::Bytes;
namespace st = platform::status;

// DER of DigestInfo { sha256, NULL } up to the digest's OCTET STRING header.
constexpr uint8_t kSha256DigestInfo[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                         0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
constexpr size_t kSha256Size = 32;

constexpr const char* kWrongPin = "Wrong PIN. Please try again.";
constexpr const char* kFinalTry = "This is the last try: one more wrong PIN blocks the token.";

// The session is gone with the token (removed, re-inserted, renumbered).
bool sessionLost(CK_RV rv) {
  return rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED || rv == CKR_DEVICE_REMOVED ||
         rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_SLOT_ID_INVALID;
}

std::optional<Bytes> attribute(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                               CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE query{type, nullptr, 0};
  if (fn->C_GetAttributeValue(session, object, &query, 1) != CKR_OK) return std::nullopt;
  if (query.ulValueLen == CK_UNAVAILABLE_INFORMATION) return std::nullopt;
  Bytes value(query.ulValueLen);
  query.pValue = value.data();
  if (fn->C_GetAttributeValue(session, object, &query, 1) != CKR_OK) return std::nullopt;
  value.resize(query.ulValueLen);
  return value;
}

// Searches loop until the module has no more: one read of a fixed size loses objects.
std::vector<CK_OBJECT_HANDLE> findObjects(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                                          std::vector<CK_ATTRIBUTE> pattern, CK_RV& rv) {
  std::vector<CK_OBJECT_HANDLE> found;
  rv = fn->C_FindObjectsInit(session, pattern.data(), pattern.size());
  if (rv != CKR_OK) return found;
  CK_OBJECT_HANDLE batch[32];
  for (;;) {
    CK_ULONG count = 0;
    rv = fn->C_FindObjects(session, batch, std::size(batch), &count);
    if (rv != CKR_OK || count == 0) break;
    found.insert(found.end(), batch, batch + count);
  }
  CK_RV finalRv = fn->C_FindObjectsFinal(session);
  if (rv == CKR_OK) rv = finalRv;
  return found;
}

std::vector<CK_OBJECT_HANDLE> findByClass(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                                          CK_OBJECT_CLASS objectClass, const Bytes* id, CK_RV& rv) {
  std::vector<CK_ATTRIBUTE> pattern{{CKA_CLASS, &objectClass, sizeof objectClass}};
  if (id) pattern.push_back({CKA_ID, const_cast<uint8_t*>(id->data()), id->size()});
  return findObjects(fn, session, std::move(pattern), rv);
}

// A token present now.
struct Token {
  std::shared_ptr<Module> module;
  CK_SLOT_ID slot = 0;
  std::string id;  // module, serial number and label: stable across slot numbers
  std::string label;
  bool nss = false;
  CK_FLAGS flags = 0;  // as the slot listing read them
};

struct Pairing {
  Bytes ckaId;
  Bytes certDer;
  // The private key as the listing saw it, good while that session lives.
  CK_OBJECT_HANDLE key = 0;
  uint64_t sessionSerial = 0;
};

class Core;

class TokenCertificate : public platform::Certificate {
 public:
  explicit TokenCertificate(Bytes der) : der_(std::move(der)), facts_(p11::readCertificate(der_)) {}
  Bytes copyData() override { return der_; }
  std::optional<std::string> copySubjectSummary() override {
    return facts_ ? facts_->subjectSummary : std::nullopt;
  }
  std::optional<std::string> copyIssuerCommonName() override {
    return facts_ ? facts_->issuerCommonName : std::nullopt;
  }
  std::optional<Bytes> copySerialNumberData() override {
    return facts_ ? facts_->serialNumber : std::nullopt;
  }
  std::optional<double> notValidBefore() override {
    return facts_ ? facts_->notBefore : std::nullopt;
  }
  std::optional<double> notValidAfter() override {
    return facts_ ? facts_->notAfter : std::nullopt;
  }
  std::shared_ptr<platform::Key> copyKey() override {
    if (!facts_ || !facts_->publicKey) return nullptr;
    return p11::makePublicKey(*facts_->publicKey, facts_->rsa);
  }

 private:
  Bytes der_;
  std::optional<p11::CertificateFacts> facts_;
};

// What the PIN dialog and the error texts call the certificate.
std::string certificateName(const Bytes& der) {
  auto facts = p11::readCertificate(der);
  if (facts && facts->subjectSummary) return *facts->subjectSummary;
  return "unnamed certificate";
}

class Core : public std::enable_shared_from_this<Core> {
 public:
  Core(std::vector<std::shared_ptr<Module>> modules, std::shared_ptr<Module> nss,
       std::shared_ptr<PinPrompt> prompt)
      : modules_(std::move(modules)), nss_(std::move(nss)), prompt_(std::move(prompt)) {}

  ~Core() {
    for (auto& [id, cached] : sessions_) cached.module->fn()->C_CloseSession(cached.handle);
  }

  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  std::vector<Token> presentTokens(bool withNss) {
    std::vector<Token> tokens;
    for (const auto& module : modules_) appendTokens(module, false, tokens);
    if (withNss && nss_) appendTokens(nss_, true, tokens);
    return tokens;
  }

  std::optional<Token> findToken(const std::string& id) {
    for (Token& token : presentTokens(true)) {
      if (token.id == id) return std::move(token);
    }
    return std::nullopt;
  }

  // The token where it was last seen, else wherever it is now. The hint
  // saves a walk over every slot of every module; a renumbered or replaced
  // token fails the check and is looked for everywhere.
  std::optional<Token> locate(const Token& hint) {
    CK_TOKEN_INFO info{};
    if (hint.module->fn()->C_GetTokenInfo(hint.slot, &info) == CKR_OK &&
        tokenId(*hint.module, info) == hint.id) {
      Token token = hint;
      token.flags = info.flags;
      return token;
    }
    return findToken(hint.id);
  }

  // One session per token, kept while the token stays: the login lives on it.
  std::optional<CK_SESSION_HANDLE> session(const Token& token, Failure& failure) {
    CK_FUNCTION_LIST* fn = token.module->fn();
    auto it = sessions_.find(token.id);
    if (it != sessions_.end()) {
      CK_SESSION_INFO info{};
      if (it->second.module == token.module &&
          fn->C_GetSessionInfo(it->second.handle, &info) == CKR_OK && info.slotID == token.slot) {
        return it->second.handle;
      }
      dropSession(token.id);
    }
    CK_SESSION_HANDLE handle = 0;
    CK_RV rv = fn->C_OpenSession(token.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle);
    if (rv != CKR_OK) {
      failure = p11::translate("C_OpenSession", rv);
      return std::nullopt;
    }
    sessions_.emplace(token.id, CachedSession{token.module, handle, ++opened_});
    return handle;
  }

  // Tells sessions apart even when a module reuses handle values: object
  // handles found on a session stay good while its serial does.
  uint64_t sessionSerial(const std::string& tokenId) const {
    auto it = sessions_.find(tokenId);
    return it == sessions_.end() ? 0 : it->second.serial;
  }

  void dropSession(const std::string& tokenId) {
    auto it = sessions_.find(tokenId);
    if (it == sessions_.end()) return;
    it->second.module->fn()->C_CloseSession(it->second.handle);
    sessions_.erase(it);
  }

  bool loggedIn(const Token& token, CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info{};
    if (token.module->fn()->C_GetSessionInfo(session, &info) != CKR_OK) return false;
    return info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS;
  }

  // With a label, only objects with that CKA_ID are read. Searches are the
  // costly calls on many tokens: certificates first, keys only if any.
  std::vector<Pairing> identities(const Token& token, const Bytes* label) {
    Failure failure;
    auto handle = session(token, failure);
    if (!handle) return {};
    CK_FUNCTION_LIST* fn = token.module->fn();
    CK_RV rv = CKR_OK;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    std::vector<CK_ATTRIBUTE> pattern{{CKA_CLASS, &certClass, sizeof certClass},
                                      {CKA_CERTIFICATE_TYPE, &x509, sizeof x509}};
    if (label) pattern.push_back({CKA_ID, const_cast<uint8_t*>(label->data()), label->size()});
    std::vector<std::pair<Bytes, CK_OBJECT_HANDLE>> certs;
    for (CK_OBJECT_HANDLE cert : findObjects(fn, *handle, std::move(pattern), rv)) {
      auto id = attribute(fn, *handle, cert, CKA_ID);
      if (id && !id->empty()) certs.emplace_back(std::move(*id), cert);
    }
    if (sessionLost(rv)) dropSession(token.id);
    if (certs.empty()) return {};

    bool needsLogin = (token.flags & CKF_LOGIN_REQUIRED) && !loggedIn(token, *handle);
    // An NSS database without a password opens with the empty one.
    CK_UTF8CHAR empty[1] = {0};
    if (needsLogin && token.nss && fn->C_Login(*handle, CKU_USER, empty, 0) == CKR_OK) {
      needsLogin = false;
    }
    std::map<Bytes, CK_OBJECT_HANDLE> privateIds;
    std::set<Bytes> publicIds;
    for (CK_OBJECT_HANDLE key : findByClass(fn, *handle, CKO_PRIVATE_KEY, label, rv)) {
      if (auto id = attribute(fn, *handle, key, CKA_ID)) {
        // Several keys under one CKA_ID: the signature picks by modulus.
        auto [it, added] = privateIds.emplace(*id, key);
        if (!added) it->second = 0;
      }
    }
    // Before login private keys may be hidden: then a public key with the
    // same CKA_ID pairs, or, on a token that shows no keys at all, the
    // certificate alone; the private key is found after login.
    if (needsLogin) {
      for (CK_OBJECT_HANDLE key : findByClass(fn, *handle, CKO_PUBLIC_KEY, label, rv)) {
        if (auto id = attribute(fn, *handle, key, CKA_ID)) publicIds.insert(*id);
      }
    }
    bool noKeysShown = privateIds.empty() && publicIds.empty() && !label;
    std::vector<Pairing> found;
    for (auto& [id, cert] : certs) {
      bool paired =
          privateIds.contains(id) || (needsLogin && (publicIds.contains(id) || noKeysShown));
      if (!paired) continue;
      auto der = attribute(fn, *handle, cert, CKA_VALUE);
      if (!der || der->empty()) continue;
      auto key = privateIds.find(id);
      found.push_back({std::move(id), std::move(*der),
                       key == privateIds.end() ? CK_OBJECT_HANDLE{0} : key->second,
                       sessionSerial(token.id)});
    }
    return found;
  }

  enum class Login { Done, Cancelled, Failed };

  // Logs the user in when the token asks for it, through the PIN dialog or
  // the reader's PIN pad.
  Login loginUser(const Token& token, CK_SESSION_HANDLE session, const Bytes& certDer,
                  Failure& failure) {
    if (loggedIn(token, session)) return Login::Done;
    CK_FUNCTION_LIST* fn = token.module->fn();
    std::string errorLine;
    for (;;) {
      // Flags are read fresh each time: the last wrong PIN may have locked it.
      CK_TOKEN_INFO info{};
      CK_RV rv = fn->C_GetTokenInfo(token.slot, &info);
      if (rv != CKR_OK) {
        failure = p11::translate("C_GetTokenInfo", rv);
        return Login::Failed;
      }
      if (!(info.flags & CKF_LOGIN_REQUIRED) || loggedIn(token, session)) return Login::Done;
      if (!pinUsable(token, info.flags, failure)) return Login::Failed;
      if (info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) {
        rv = fn->C_Login(session, CKU_USER, nullptr, 0);
      } else {
        PinReply reply = askPin(token, certificateName(certDer), info, errorLine, false);
        if (reply.outcome != PinReply::Outcome::Entered) return refused(reply, failure);
        if (reply.pin.size() < info.ulMinPinLen) {
          errorLine =
              "The PIN must have at least " + std::to_string(info.ulMinPinLen) + " characters.";
          continue;
        }
        rv = fn->C_Login(session, CKU_USER, pinBytes(reply.pin), reply.pin.size());
      }
      if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) return Login::Done;
      if (rv == CKR_PIN_INCORRECT && !(info.flags & CKF_PROTECTED_AUTHENTICATION_PATH)) {
        errorLine = kWrongPin;
        continue;
      }
      failure = p11::translate("C_Login", rv);
      if (sessionLost(rv)) dropSession(token.id);
      return failure.status == st::kUserCanceled ? Login::Cancelled : Login::Failed;
    }
  }

  // A locked PIN or one that must be changed fails before anyone is asked.
  bool pinUsable(const Token& token, CK_FLAGS flags, Failure& failure) {
    if (flags & CKF_USER_PIN_LOCKED) {
      failure = {st::kAuthFailed, "The PIN of the token \"" + token.label +
                                      "\" is blocked (C_GetTokenInfo: CKF_USER_PIN_LOCKED)"};
      return false;
    }
    if (flags & CKF_USER_PIN_TO_BE_CHANGED) {
      failure = {st::kAuthFailed, "The PIN of the token \"" + token.label +
                                      "\" must first be changed with the card's own tool "
                                      "(C_GetTokenInfo: CKF_USER_PIN_TO_BE_CHANGED)"};
      return false;
    }
    return true;
  }

  PinReply askPin(const Token& token, const std::string& certName, const CK_TOKEN_INFO& info,
                  const std::string& errorLine, bool forSignature) {
    PinRequest request;
    request.description =
        forSignature
            ? "The key of the certificate \"" + certName +
                  "\" asks for the PIN for every signature. Enter the PIN of the token \"" +
                  token.label + "\"."
            : "Enter the PIN of the token \"" + token.label + "\" to use the certificate \"" +
                  certName + "\".";
    request.finalTry = (info.flags & CKF_USER_PIN_FINAL_TRY) != 0;
    if (request.finalTry) request.description += std::string("\n") + kFinalTry;
    request.prompt = "PIN:";
    request.error = errorLine;
    if (!prompt_) {
      PinReply reply;
      reply.failure = "no PIN dialog";
      return reply;
    }
    return prompt_->ask(request);
  }

  static Login refused(const PinReply& reply, Failure& failure) {
    switch (reply.outcome) {
      case PinReply::Outcome::Cancelled:
        failure = {st::kUserCanceled, "PIN entry was cancelled"};
        return Login::Cancelled;
      case PinReply::Outcome::TimedOut:
        failure = {st::kUserCanceled, "PIN entry timed out"};
        return Login::Cancelled;
      default:
        failure = {st::kInteractionNotAllowed,
                   "The PIN dialog could not be shown: " + reply.failure};
        return Login::Failed;
    }
  }

  static CK_UTF8CHAR* pinBytes(const SecretBuffer& pin) {
    return reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.data()));
  }

  // Remembered for copyErrorMessageString, which the caller asks right after.
  void remember(const Failure& failure) { lastFailure_ = failure; }
  std::optional<std::string> messageFor(int32_t status) const {
    if (lastFailure_ && lastFailure_->status == status) return lastFailure_->description;
    return std::nullopt;
  }

 private:
  struct CachedSession {
    std::shared_ptr<Module> module;
    CK_SESSION_HANDLE handle;
    uint64_t serial;
  };

  static std::string tokenId(const Module& module, const CK_TOKEN_INFO& info) {
    return module.name() + ":" + p11::trimField(info.serialNumber, sizeof info.serialNumber) + ":" +
           p11::trimField(info.label, sizeof info.label);
  }

  static void appendTokens(const std::shared_ptr<Module>& module, bool nss,
                           std::vector<Token>& tokens) {
    CK_FUNCTION_LIST* fn = module->fn();
    std::vector<CK_SLOT_ID> slots;
    // The NULL-list call is when modules rescan their readers; a reader
    // plugged in between the two calls makes the list grow: ask again.
    for (int attempt = 0;; ++attempt) {
      if (attempt == 8) return;
      CK_ULONG count = 0;
      if (fn->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) return;
      slots.resize(count);
      if (count == 0) return;
      CK_RV rv = fn->C_GetSlotList(CK_TRUE, slots.data(), &count);
      if (rv == CKR_BUFFER_TOO_SMALL) continue;
      if (rv != CKR_OK) return;
      slots.resize(count);
      break;
    }
    std::vector<Token> found;
    for (CK_SLOT_ID slot : slots) {
      CK_TOKEN_INFO info{};
      if (fn->C_GetTokenInfo(slot, &info) != CKR_OK) continue;  // removed meanwhile
      if (!(info.flags & CKF_TOKEN_INITIALIZED)) continue;
      Token token{
          module, slot,      tokenId(*module, info), p11::trimField(info.label, sizeof info.label),
          nss,    info.flags};
      found.push_back(std::move(token));
    }
    std::sort(found.begin(), found.end(),
              [](const Token& a, const Token& b) { return a.id < b.id; });
    // Twin tokens (same serial number and label) keep apart by their rank.
    std::map<std::string, int> seen;
    for (Token& token : found) {
      int n = ++seen[token.id];
      if (n > 1) token.id += "#" + std::to_string(n);
    }
    for (Token& token : found) tokens.push_back(std::move(token));
  }

  std::vector<std::shared_ptr<Module>> modules_;
  std::shared_ptr<Module> nss_;
  std::shared_ptr<PinPrompt> prompt_;
  std::map<std::string, CachedSession> sessions_;
  std::optional<Failure> lastFailure_;
  uint64_t opened_ = 0;
};

// The private key of a token identity. Its handle is good while the session
// it was found on lives; a re-inserted token gives its objects new handles.
class TokenKey : public platform::Key {
 public:
  struct Facts {
    bool rsa = false;
    bool canSign = false;
    bool mechanismOffered = false;
    bool alwaysAuthenticate = false;
    Bytes modulus;
  };

  TokenKey(std::shared_ptr<Core> core, Token token, Pairing pair, Facts facts,
           CK_OBJECT_HANDLE handle)
      : core_(std::move(core)),
        token_(std::move(token)),
        pair_(std::move(pair)),
        facts_(std::move(facts)),
        handle_(handle),
        sessionSerial_(core_->sessionSerial(token_.id)) {}

  std::optional<Bytes> copyExternalRepresentation() override {
    auto facts = p11::readCertificate(pair_.certDer);
    return facts ? facts->publicKey : std::nullopt;
  }

  bool isAlgorithmSupported(platform::KeyOperation operation,
                            platform::KeyAlgorithm algorithm) override {
    return operation == platform::KeyOperation::Sign &&
           algorithm == platform::KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256 && facts_.rsa &&
           facts_.canSign && facts_.mechanismOffered;
  }

  platform::SignatureResult createSignature(platform::KeyAlgorithm algorithm,
                                            const Bytes& digest) override {
    std::string description;
    if (algorithm != platform::KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256) {
      description = "The algorithm is not supported by this key";
    } else if (digest.size() != kSha256Size) {
      description = "The digest must be the 32 bytes of a SHA-256 hash, not " +
                    std::to_string(digest.size()) + " bytes";
    } else {
      auto signature = sign(digest, description);
      if (signature) return {std::move(signature), std::nullopt};
    }
    return {std::nullopt, platform::SignatureError{description}};
  }

 private:
  std::optional<Bytes> sign(const Bytes& digest, std::string& description) {
    auto token = core_->locate(token_);
    if (!token) {
      description = "The token \"" + token_.label + "\" is no longer present";
      return std::nullopt;
    }
    token_ = *token;
    Failure failure;
    auto session = core_->session(*token, failure);
    if (!session) {
      description = failure.description;
      return std::nullopt;
    }
    if (core_->loginUser(*token, *session, pair_.certDer, failure) != Core::Login::Done) {
      description = failure.description;
      return std::nullopt;
    }
    CK_FUNCTION_LIST* fn = token->module->fn();
    if (core_->sessionSerial(token->id) != sessionSerial_) {
      CK_RV rv = CKR_OK;
      handle_ = 0;
      for (CK_OBJECT_HANDLE candidate :
           findByClass(fn, *session, CKO_PRIVATE_KEY, &pair_.ckaId, rv)) {
        if (facts_.modulus.empty() ||
            attribute(fn, *session, candidate, CKA_MODULUS) == facts_.modulus) {
          handle_ = candidate;
          break;
        }
      }
      if (handle_ == 0) {
        if (sessionLost(rv)) core_->dropSession(token->id);
        description = rv != CKR_OK
                          ? p11::translate("C_FindObjects", rv).description
                          : "The private key is no longer on the token \"" + token->label + "\"";
        return std::nullopt;
      }
      sessionSerial_ = core_->sessionSerial(token->id);
    }
    CK_OBJECT_HANDLE key = handle_;

    Bytes data(std::begin(kSha256DigestInfo), std::end(kSha256DigestInfo));
    data.insert(data.end(), digest.begin(), digest.end());
    auto signature = signOnce(*token, *session, key, data, description);
    if (signature && !p11::verifyWithCertificate(pair_.certDer, digest, *signature)) {
      description = "Signature does not match the certificate";
      return std::nullopt;
    }
    return signature;
  }

  std::optional<Bytes> signOnce(const Token& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key,
                                Bytes& data, std::string& description) {
    CK_FUNCTION_LIST* fn = token.module->fn();
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    std::string errorLine;
    for (;;) {
      std::optional<PinReply> reply;
      CK_TOKEN_INFO info{};
      if (facts_.alwaysAuthenticate) {
        // The PIN is asked before C_SignInit: nothing may come between the
        // init and the context-specific login.
        CK_RV rv = fn->C_GetTokenInfo(token.slot, &info);
        Failure failure;
        if (rv != CKR_OK) failure = p11::translate("C_GetTokenInfo", rv);
        if (rv != CKR_OK || !core_->pinUsable(token, info.flags, failure)) {
          description = failure.description;
          return std::nullopt;
        }
        if (!(info.flags & CKF_PROTECTED_AUTHENTICATION_PATH)) {
          reply = core_->askPin(token, certificateName(pair_.certDer), info, errorLine, true);
          if (reply->outcome != PinReply::Outcome::Entered) {
            Core::refused(*reply, failure);
            description = failure.description;
            return std::nullopt;
          }
        }
      }
      CK_RV rv = fn->C_SignInit(session, &mechanism, key);
      if (rv == CKR_OPERATION_ACTIVE) {
        endOperation(fn, session, data);
        rv = fn->C_SignInit(session, &mechanism, key);
      }
      if (rv != CKR_OK) return fail(token, "C_SignInit", rv, description);
      if (facts_.alwaysAuthenticate) {
        rv = reply ? fn->C_Login(session, CKU_CONTEXT_SPECIFIC, Core::pinBytes(reply->pin),
                                 reply->pin.size())
                   : fn->C_Login(session, CKU_CONTEXT_SPECIFIC, nullptr, 0);
        reply.reset();
        if (rv == CKR_PIN_INCORRECT) {
          endOperation(fn, session, data);
          errorLine = kWrongPin;
          continue;
        }
        if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
          endOperation(fn, session, data);
          return fail(token, "C_Login", rv, description);
        }
      }
      Bytes signature(std::max<size_t>(facts_.modulus.size(), 1));
      CK_ULONG length = signature.size();
      rv = fn->C_Sign(session, data.data(), data.size(), signature.data(), &length);
      if (rv == CKR_BUFFER_TOO_SMALL) {
        signature.resize(length);
        rv = fn->C_Sign(session, data.data(), data.size(), signature.data(), &length);
      }
      if (rv != CKR_OK) return fail(token, "C_Sign", rv, description);
      signature.resize(length);
      return signature;
    }
  }

  // Ends a signing operation left active: any C_Sign but a length query does.
  static void endOperation(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, Bytes& data) {
    Bytes scratch(1024);
    CK_ULONG length = scratch.size();
    fn->C_Sign(session, data.data(), data.size(), scratch.data(), &length);
  }

  std::optional<Bytes> fail(const Token& token, const char* call, CK_RV rv,
                            std::string& description) {
    if (sessionLost(rv)) core_->dropSession(token.id);
    description = p11::translate(call, rv).description;
    return std::nullopt;
  }

  std::shared_ptr<Core> core_;
  Token token_;
  Pairing pair_;
  Facts facts_;
  CK_OBJECT_HANDLE handle_;
  uint64_t sessionSerial_;
};

class TokenIdentity : public platform::Identity {
 public:
  TokenIdentity(std::shared_ptr<Core> core, const Token& token, Pairing pair)
      : core_(std::move(core)), token_(token), pair_(std::move(pair)) {}

  const Bytes& ckaId() const { return pair_.ckaId; }

  CertificateResult copyCertificate() override {
    return {st::kSuccess, std::make_shared<TokenCertificate>(pair_.certDer)};
  }

  // Finding the key may need the login: private keys are often hidden before it.
  KeyResult copyPrivateKey() override {
    Failure failure;
    auto key = findKey(failure);
    if (!key) core_->remember(failure);
    return {key ? st::kSuccess : failure.status, key};
  }

 private:
  std::shared_ptr<platform::Key> findKey(Failure& failure) {
    auto token = core_->locate(token_);
    if (!token) {
      failure = {st::kNotAvailable, "The token \"" + token_.label + "\" is no longer present"};
      return nullptr;
    }
    token_ = *token;
    auto session = core_->session(*token, failure);
    if (!session) return nullptr;
    CK_FUNCTION_LIST* fn = token->module->fn();
    CK_RV rv = CKR_OK;
    std::vector<CK_OBJECT_HANDLE> keys;
    if (pair_.key != 0 && pair_.sessionSerial == core_->sessionSerial(token->id)) {
      keys.push_back(pair_.key);
    } else {
      keys = findByClass(fn, *session, CKO_PRIVATE_KEY, &pair_.ckaId, rv);
    }
    if (keys.empty() && rv == CKR_OK && !core_->loggedIn(*token, *session)) {
      auto login = core_->loginUser(*token, *session, pair_.certDer, failure);
      if (login != Core::Login::Done) return nullptr;
      keys = findByClass(fn, *session, CKO_PRIVATE_KEY, &pair_.ckaId, rv);
    }
    if (rv != CKR_OK) {
      if (sessionLost(rv)) core_->dropSession(token_.id);
      failure = p11::translate("C_FindObjects", rv);
      return nullptr;
    }
    if (keys.empty()) {
      failure = {st::kItemNotFound,
                 "The token \"" + token_.label + "\" holds no private key for this certificate"};
      return nullptr;
    }
    // Of several keys with this CKA_ID, the one whose modulus is the certificate's.
    auto certFacts = p11::readCertificate(pair_.certDer);
    CK_OBJECT_HANDLE chosen = keys.front();
    TokenKey::Facts facts;
    for (CK_OBJECT_HANDLE key : keys) {
      auto modulus = attribute(fn, *session, key, CKA_MODULUS);
      if (keys.size() == 1 || (modulus && certFacts && certFacts->publicKey &&
                               containsModulus(*certFacts->publicKey, *modulus))) {
        chosen = key;
        facts.modulus = modulus.value_or(Bytes{});
        break;
      }
    }
    if (chosen != keys.front() || facts.modulus.empty()) {
      facts.modulus = attribute(fn, *session, chosen, CKA_MODULUS).value_or(Bytes{});
    }
    // One call for the fixed-size facts; a module that does not know one of
    // them still fills the others.
    CK_KEY_TYPE keyType = 0;
    CK_BBOOL canSign = CK_FALSE, always = CK_FALSE;
    CK_ATTRIBUTE wanted[] = {{CKA_KEY_TYPE, &keyType, sizeof keyType},
                             {CKA_SIGN, &canSign, sizeof canSign},
                             {CKA_ALWAYS_AUTHENTICATE, &always, sizeof always}};
    CK_RV factsRv = fn->C_GetAttributeValue(*session, chosen, wanted, std::size(wanted));
    if (factsRv == CKR_OK || factsRv == CKR_ATTRIBUTE_TYPE_INVALID ||
        factsRv == CKR_ATTRIBUTE_SENSITIVE) {
      facts.rsa = wanted[0].ulValueLen == sizeof keyType && keyType == CKK_RSA;
      facts.canSign = wanted[1].ulValueLen == sizeof canSign && canSign == CK_TRUE;
      facts.alwaysAuthenticate = wanted[2].ulValueLen == sizeof always && always == CK_TRUE;
    }
    CK_MECHANISM_INFO mechanism{};
    facts.mechanismOffered =
        fn->C_GetMechanismInfo(token->slot, CKM_RSA_PKCS, &mechanism) == CKR_OK &&
        (mechanism.flags & CKF_SIGN);
    return std::make_shared<TokenKey>(core_, token_, pair_, std::move(facts), chosen);
  }

  // The RSAPublicKey DER holds the modulus as an INTEGER's content; a
  // token's CKA_MODULUS has no leading zero.
  static bool containsModulus(const Bytes& rsaPublicKey, const Bytes& modulus) {
    if (modulus.empty()) return false;
    return std::search(rsaPublicKey.begin(), rsaPublicKey.end(), modulus.begin(), modulus.end()) !=
           rsaPublicKey.end();
  }

  std::shared_ptr<Core> core_;
  Token token_;
  Pairing pair_;
};

class P11TokenService : public platform::TokenService {
 public:
  explicit P11TokenService(std::shared_ptr<Core> core) : core_(std::move(core)) {}

  std::vector<std::string> tokenIDs() override {
    std::vector<std::string> ids;
    for (const Token& token : core_->presentTokens(false)) ids.push_back(token.id);
    return ids;
  }

  platform::QueryResult copyMatching(const platform::IdentityQuery& query) override {
    std::vector<Token> tokens;
    if (query.tokenID) {
      auto token = core_->findToken(*query.tokenID);
      if (token && !token->nss) tokens.push_back(std::move(*token));
    } else {
      tokens = core_->presentTokens(true);
    }
    std::vector<std::shared_ptr<TokenIdentity>> found;
    const Bytes* label = query.applicationLabel ? &*query.applicationLabel : nullptr;
    for (const Token& token : tokens) {
      if (query.matchLimit == platform::MatchLimit::One && !found.empty()) break;
      for (Pairing& pair : core_->identities(token, label)) {
        found.push_back(std::make_shared<TokenIdentity>(core_, token, std::move(pair)));
      }
    }
    platform::QueryResult result;
    if (found.empty()) return result;  // item not found
    if (query.matchLimit == platform::MatchLimit::One) found.resize(1);
    result.status = st::kSuccess;
    if (query.matchLimit == platform::MatchLimit::One && query.returnRef &&
        !query.returnAttributes) {
      result.item = found.front();
      return result;
    }
    result.items.emplace();
    for (auto& identity : found) {
      platform::IdentityItem item;
      if (query.returnAttributes) item.applicationLabel = identity->ckaId();
      if (query.returnRef) item.valueRef = identity;
      result.items->push_back(std::move(item));
    }
    return result;
  }

  std::optional<std::string> copyErrorMessageString(int32_t status) override {
    if (auto detail = core_->messageFor(status)) return detail;
    switch (status) {
      case st::kSuccess:
        return "No error.";
      case st::kUserCanceled:
        return "The PIN entry was cancelled.";
      case st::kParam:
        return "One or more parameters passed to the token were not valid.";
      case st::kItemNotFound:
        return "The item could not be found on any token.";
      case st::kAuthFailed:
        return "The token did not accept the PIN.";
      case st::kNotAvailable:
        return "The token is not available.";
      case st::kInteractionNotAllowed:
        return "The PIN dialog could not be shown.";
      default:
        return std::nullopt;
    }
  }

 private:
  std::shared_ptr<Core> core_;
};

std::optional<std::string> userNssDatabase() {
  const char* home = std::getenv("HOME");
  if (!home || !*home) return std::nullopt;
  std::filesystem::path dir = std::filesystem::path(home) / ".pki" / "nssdb";
  std::error_code error;
  if (!std::filesystem::exists(dir / "cert9.db", error)) return std::nullopt;
  return dir.string();
}

}  // namespace

std::shared_ptr<platform::TokenService> createTokenService() {
  // One NSS instance per process: softokn cannot be initialised twice.
  static const std::shared_ptr<Module> nss = [] {
    auto dir = userNssDatabase();
    if (!dir) return std::shared_ptr<Module>();
    Failure failure;
    return p11::loadNssModule(*dir, failure);
  }();
  return std::make_shared<P11TokenService>(
      std::make_shared<Core>(p11::registeredModules(), nss, createPinentryPrompt()));
}

std::shared_ptr<platform::TokenService> createTokenService(const TokenServiceOptions& options) {
  std::vector<std::shared_ptr<Module>> modules;
  for (const std::string& path : options.modulePaths) {
    Failure failure;
    if (auto module = p11::loadModule(path, failure)) {
      modules.push_back(std::move(module));
    } else {
      g_warning("PKCS#11 module %s: %s", path.c_str(), failure.description.c_str());
    }
  }
  std::shared_ptr<Module> nss;
  if (options.nssDatabaseDir) {
    Failure failure;
    nss = p11::loadNssModule(*options.nssDatabaseDir, failure);
    if (!nss) g_warning("NSS database: %s", failure.description.c_str());
  }
  auto prompt = options.pinPrompt ? options.pinPrompt : createPinentryPrompt();
  return std::make_shared<P11TokenService>(
      std::make_shared<Core>(std::move(modules), std::move(nss), std::move(prompt)));
}

}  // namespace vellumark::linux_platform
