// The token service on PKCS#11: tokens present now, identities (a
// certificate and the private key with the same CKA_ID), logins through the
// PIN dialog, and RSA PKCS#1 v1.5 signatures over SHA-256 digests.
#include <glib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
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

// Room for a value of variable size: identifiers and most certificates fit,
// so one call usually does; a larger value is measured and read again.
constexpr size_t kAttributeRoom = 4096;

// Fixed-size values get their exact size: NSS refuses a CK_ULONG value
// into a larger buffer.
size_t attributeRoom(CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_CLASS:
    case CKA_KEY_TYPE:
    case CKA_CERTIFICATE_TYPE:
      return sizeof(CK_ULONG);
    case CKA_SIGN:
    case CKA_ALWAYS_AUTHENTICATE:
      return sizeof(CK_BBOOL);
    default:
      return kAttributeRoom;
  }
}

// Several attributes of an object in one call (each call may re-read the
// token's files); those the object lacks or hides are nullopt.
template <size_t N>
std::array<std::optional<Bytes>, N> attributes(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                                               CK_OBJECT_HANDLE object,
                                               const std::array<CK_ATTRIBUTE_TYPE, N>& types) {
  std::array<Bytes, N> values;
  std::array<CK_ATTRIBUTE, N> query{};
  for (size_t i = 0; i < N; ++i) {
    values[i].resize(attributeRoom(types[i]));
    query[i] = {types[i], values[i].data(), values[i].size()};
  }
  CK_RV rv = fn->C_GetAttributeValue(session, object, query.data(), N);
  if (rv == CKR_BUFFER_TOO_SMALL) {
    for (CK_ATTRIBUTE& item : query) item.pValue = nullptr;
    rv = fn->C_GetAttributeValue(session, object, query.data(), N);
    if (rv == CKR_OK || rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE) {
      for (size_t i = 0; i < N; ++i) {
        if (query[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) continue;
        values[i].resize(query[i].ulValueLen);
        query[i].pValue = values[i].data();
      }
      rv = fn->C_GetAttributeValue(session, object, query.data(), N);
    }
  }
  std::array<std::optional<Bytes>, N> found;
  // A module that does not know or shows one of them still fills the others.
  if (rv != CKR_OK && rv != CKR_ATTRIBUTE_TYPE_INVALID && rv != CKR_ATTRIBUTE_SENSITIVE) {
    return found;
  }
  for (size_t i = 0; i < N; ++i) {
    if (query[i].ulValueLen == CK_UNAVAILABLE_INFORMATION ||
        query[i].ulValueLen > values[i].size() || (!query[i].pValue && query[i].ulValueLen != 0)) {
      continue;
    }
    values[i].resize(query[i].ulValueLen);
    found[i] = std::move(values[i]);
  }
  return found;
}

std::optional<Bytes> attribute(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                               CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  return std::move(attributes(fn, session, object, std::array{type})[0]);
}

// A fixed-size attribute value (CK_ULONG, CK_BBOOL) from its bytes.
template <typename T>
std::optional<T> scalar(const std::optional<Bytes>& value) {
  if (!value || value->size() != sizeof(T)) return std::nullopt;
  T out{};
  std::memcpy(&out, value->data(), sizeof(T));
  return out;
}

// Searches loop until the module has no more: one read of a fixed size loses objects.
std::vector<CK_OBJECT_HANDLE> findObjects(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                                          std::vector<CK_ATTRIBUTE> pattern, CK_RV& rv) {
  std::vector<CK_OBJECT_HANDLE> found;
  rv = fn->C_FindObjectsInit(session, pattern.empty() ? nullptr : pattern.data(), pattern.size());
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
  std::shared_ptr<const p11::ParsedCertificate> cert;
  // The private key as the listing saw it, good while that session lives.
  CK_OBJECT_HANDLE key = 0;
  uint64_t sessionSerial = 0;
  // Paired only because the token shows no keys before login: a search by
  // CKA_ID does not return it.
  bool certificateOnly = false;
};

// What signing needs to know of a private key.
struct KeyFacts {
  bool rsa = false;
  bool canSign = false;
  bool mechanismOffered = false;
  bool alwaysAuthenticate = false;
  Bytes modulus;
};

// A token's objects as read on one session. They stay while the session
// lives (a re-inserted token kills it) and the login state is the same
// (private keys are often hidden before login). Listings of the token
// compare the object handles to notice objects added or removed meanwhile.
struct TokenObjects {
  uint64_t sessionSerial = 0;
  bool needsLogin = false;
  std::vector<CK_OBJECT_HANDLE> handles;  // every object, sorted
  std::vector<Pairing> identities;
  std::map<CK_OBJECT_HANDLE, KeyFacts> keys;
  std::optional<bool> mechanismOffered;  // CKM_RSA_PKCS signs
};

class Core;

class TokenCertificate : public platform::Certificate {
 public:
  explicit TokenCertificate(std::shared_ptr<const p11::ParsedCertificate> cert)
      : cert_(std::move(cert)), facts_(cert_->facts) {}
  Bytes copyData() override { return cert_->der; }
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
  std::shared_ptr<const p11::ParsedCertificate> cert_;
  const std::optional<p11::CertificateFacts>& facts_;
};

// What the PIN dialog and the error texts call the certificate.
std::string certificateName(const p11::ParsedCertificate& cert) {
  if (cert.facts && cert.facts->subjectSummary) return *cert.facts->subjectSummary;
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

  // The tokens present now; remembered as where each token was last seen.
  std::vector<Token> presentTokens(bool withNss) {
    std::vector<Token> tokens;
    for (const auto& module : modules_) appendTokens(module, false, tokens);
    if (withNss && nss_) appendTokens(nss_, true, tokens);
    std::erase_if(seen_, [&](const auto& entry) { return withNss || !entry.second.nss; });
    for (const Token& token : tokens) seen_.insert_or_assign(token.id, token);
    return tokens;
  }

  // Where the token was last seen, if it is still there; else wherever it is
  // now. The check saves a walk over every slot of every module.
  std::optional<Token> findToken(const std::string& id) {
    if (auto it = seen_.find(id); it != seen_.end()) {
      if (auto token = confirm(it->second)) return token;
    }
    for (Token& token : presentTokens(true)) {
      if (token.id == id) return std::move(token);
    }
    return std::nullopt;
  }

  // The token of an identity or key. A token seen by the last listing whose
  // session still lives is there: a removed or re-inserted token kills its
  // sessions. Otherwise its token information is read again, and a
  // renumbered or replaced token is looked for everywhere.
  std::optional<Token> locate(const Token& hint) {
    auto it = seen_.find(hint.id);
    if (it != seen_.end() && it->second.module == hint.module && it->second.slot == hint.slot &&
        sessionAlive(it->second)) {
      return it->second;
    }
    if (auto token = confirm(hint)) return token;
    return findToken(hint.id);
  }

  // One session per token, kept while the token stays: the login lives on it.
  std::optional<CK_SESSION_HANDLE> session(const Token& token, Failure& failure) {
    CK_FUNCTION_LIST* fn = token.module->fn();
    if (sessionAlive(token)) return sessions_.at(token.id).handle;
    dropSession(token.id);
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

  // The session dies with everything read on it.
  void dropSession(const std::string& tokenId) {
    objects_.erase(tokenId);
    auto it = sessions_.find(tokenId);
    if (it == sessions_.end()) return;
    it->second.module->fn()->C_CloseSession(it->second.handle);
    sessions_.erase(it);
  }

  // Objects read on the token no longer hold (a handle that no longer
  // works); the session and its login stay.
  void forgetObjects(const std::string& tokenId) {
    objects_.erase(tokenId);
    seen_.erase(tokenId);
  }

  bool loggedIn(const Token& token, CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info{};
    if (token.module->fn()->C_GetSessionInfo(session, &info) != CKR_OK) return false;
    return info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS;
  }

  // With a label, only identities with that CKA_ID. The token's objects are
  // read once per session and login state; a listing (checkObjects) also
  // compares the object handles, so objects added or removed while the token
  // stayed are seen.
  std::vector<Pairing> identities(const Token& token, const Bytes* label, bool checkObjects) {
    Failure failure;
    auto handle = session(token, failure);
    if (!handle) return {};
    CK_FUNCTION_LIST* fn = token.module->fn();
    bool needsLogin = (token.flags & CKF_LOGIN_REQUIRED) && !loggedIn(token, *handle);
    // An NSS database without a password opens with the empty one.
    CK_UTF8CHAR empty[1] = {0};
    if (needsLogin && token.nss && fn->C_Login(*handle, CKU_USER, empty, 0) == CKR_OK) {
      needsLogin = false;
    }
    uint64_t serial = sessionSerial(token.id);
    const TokenObjects* kept = nullptr;
    if (auto it = objects_.find(token.id); it != objects_.end() &&
                                           it->second.sessionSerial == serial &&
                                           it->second.needsLogin == needsLogin) {
      kept = &it->second;
    }
    std::optional<std::vector<CK_OBJECT_HANDLE>> listing;
    if (kept && checkObjects) {
      CK_RV rv = CKR_OK;
      listing = listObjects(fn, *handle, rv);
      if (rv != CKR_OK) {
        if (sessionLost(rv)) dropSession(token.id);
        return {};
      }
      if (*listing != kept->handles) kept = nullptr;
    }
    if (!kept) kept = readObjects(token, *handle, needsLogin, std::move(listing));
    if (!kept) return {};
    std::vector<Pairing> found;
    for (const Pairing& pair : kept->identities) {
      if (label && (pair.certificateOnly || pair.ckaId != *label)) continue;
      found.push_back(pair);
    }
    return found;
  }

  // A private key's facts, read once per session; nullopt when the handle
  // names no key (any longer).
  std::optional<KeyFacts> keyFacts(const Token& token, CK_SESSION_HANDLE session,
                                   CK_OBJECT_HANDLE key) {
    TokenObjects* kept = objectsOf(token.id);
    if (kept) {
      if (auto it = kept->keys.find(key); it != kept->keys.end()) return it->second;
    }
    auto values = attributes(token.module->fn(), session, key,
                             std::array<CK_ATTRIBUTE_TYPE, 4>{CKA_MODULUS, CKA_KEY_TYPE, CKA_SIGN,
                                                              CKA_ALWAYS_AUTHENTICATE});
    auto keyType = scalar<CK_KEY_TYPE>(values[1]);
    if (!keyType) return std::nullopt;
    KeyFacts facts;
    facts.modulus = values[0].value_or(Bytes{});
    facts.rsa = *keyType == CKK_RSA;
    facts.canSign = scalar<CK_BBOOL>(values[2]) == CK_TRUE;
    facts.alwaysAuthenticate = scalar<CK_BBOOL>(values[3]) == CK_TRUE;
    if (kept) kept->keys.emplace(key, facts);
    return facts;
  }

  // Whether the token signs with CKM_RSA_PKCS, asked once per session.
  bool mechanismOffered(const Token& token) {
    TokenObjects* kept = objectsOf(token.id);
    if (kept && kept->mechanismOffered) return *kept->mechanismOffered;
    CK_MECHANISM_INFO mechanism{};
    bool offered =
        token.module->fn()->C_GetMechanismInfo(token.slot, CKM_RSA_PKCS, &mechanism) == CKR_OK &&
        (mechanism.flags & CKF_SIGN);
    if (kept) kept->mechanismOffered = offered;
    return offered;
  }

  enum class Login { Done, Cancelled, Failed };

  // Logs the user in when the token asks for it, through the PIN dialog or
  // the reader's PIN pad.
  Login loginUser(const Token& token, CK_SESSION_HANDLE session, const p11::ParsedCertificate& cert,
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
        PinReply reply = askPin(token, certificateName(cert), info, errorLine, false);
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

  // The kept session of the token, if it still works on the token's slot.
  bool sessionAlive(const Token& token) {
    auto it = sessions_.find(token.id);
    if (it == sessions_.end() || it->second.module != token.module) return false;
    CK_SESSION_INFO info{};
    return token.module->fn()->C_GetSessionInfo(it->second.handle, &info) == CKR_OK &&
           info.slotID == token.slot;
  }

  // The token as found at the hint's slot now, if it is still that token.
  static std::optional<Token> confirm(const Token& hint) {
    CK_TOKEN_INFO info{};
    if (hint.module->fn()->C_GetTokenInfo(hint.slot, &info) != CKR_OK ||
        tokenId(*hint.module, info) != hint.id) {
      return std::nullopt;
    }
    Token token = hint;
    token.flags = info.flags;
    return token;
  }

  TokenObjects* objectsOf(const std::string& tokenId) {
    auto it = objects_.find(tokenId);
    if (it == objects_.end() || it->second.sessionSerial != sessionSerial(tokenId)) return nullptr;
    return &it->second;
  }

  // Every object handle the session shows, sorted.
  static std::vector<CK_OBJECT_HANDLE> listObjects(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                                                   CK_RV& rv) {
    auto handles = findObjects(fn, session, {}, rv);
    std::sort(handles.begin(), handles.end());
    return handles;
  }

  // Reads the token's certificates and keys and pairs them by CKA_ID. Before
  // login private keys may be hidden: then a public key with the same CKA_ID
  // pairs, or, on a token that shows no keys at all, the certificate alone;
  // the private key is found after login.
  const TokenObjects* readObjects(const Token& token, CK_SESSION_HANDLE session, bool needsLogin,
                                  std::optional<std::vector<CK_OBJECT_HANDLE>> listing) {
    CK_FUNCTION_LIST* fn = token.module->fn();
    CK_RV rv = CKR_OK;
    TokenObjects fresh;
    fresh.sessionSerial = sessionSerial(token.id);
    fresh.needsLogin = needsLogin;
    fresh.handles = listing ? std::move(*listing) : listObjects(fn, session, rv);
    if (rv != CKR_OK) {
      if (sessionLost(rv)) dropSession(token.id);
      return nullptr;
    }
    std::vector<std::pair<Bytes, Bytes>> certs;  // CKA_ID, DER
    std::map<Bytes, CK_OBJECT_HANDLE> privateIds;
    std::set<Bytes> publicIds;
    for (CK_OBJECT_HANDLE object : fresh.handles) {
      auto [classValue, id] =
          attributes(fn, session, object, std::array<CK_ATTRIBUTE_TYPE, 2>{CKA_CLASS, CKA_ID});
      auto objectClass = scalar<CK_OBJECT_CLASS>(classValue);
      if (!objectClass || !id) continue;
      if (*objectClass == CKO_CERTIFICATE && !id->empty()) {
        auto [type, der] = attributes(
            fn, session, object, std::array<CK_ATTRIBUTE_TYPE, 2>{CKA_CERTIFICATE_TYPE, CKA_VALUE});
        if (scalar<CK_CERTIFICATE_TYPE>(type) == CKC_X_509 && der && !der->empty()) {
          certs.emplace_back(std::move(*id), std::move(*der));
        }
      } else if (*objectClass == CKO_PRIVATE_KEY) {
        // Several keys under one CKA_ID: the signature picks by modulus.
        auto [it, added] = privateIds.emplace(std::move(*id), object);
        if (!added) it->second = 0;
      } else if (*objectClass == CKO_PUBLIC_KEY && needsLogin) {
        publicIds.insert(std::move(*id));
      }
    }
    bool noKeysShown = privateIds.empty() && publicIds.empty();
    // Certificates read before are not parsed again.
    std::map<Bytes, std::shared_ptr<const p11::ParsedCertificate>> parsed;
    auto old = objects_.find(token.id);
    if (old != objects_.end()) {
      for (const Pairing& pair : old->second.identities) parsed.emplace(pair.cert->der, pair.cert);
    }
    for (auto& [id, der] : certs) {
      bool withKey = privateIds.contains(id) || (needsLogin && publicIds.contains(id));
      bool alone = !withKey && needsLogin && noKeysShown;
      if (!withKey && !alone) continue;
      auto known = parsed.find(der);
      auto cert = known != parsed.end() ? known->second : p11::parseCertificate(std::move(der));
      auto key = privateIds.find(id);
      fresh.identities.push_back({std::move(id), std::move(cert),
                                  key == privateIds.end() ? CK_OBJECT_HANDLE{0} : key->second,
                                  fresh.sessionSerial, alone});
    }
    // On the same session a handle still names the same object: what was
    // learnt of keys that are still there holds.
    if (old != objects_.end() && old->second.sessionSerial == fresh.sessionSerial) {
      for (auto& [key, facts] : old->second.keys) {
        if (std::binary_search(fresh.handles.begin(), fresh.handles.end(), key)) {
          fresh.keys.emplace(key, std::move(facts));
        }
      }
      fresh.mechanismOffered = old->second.mechanismOffered;
    }
    return &objects_.insert_or_assign(token.id, std::move(fresh)).first->second;
  }

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
  std::map<std::string, TokenObjects> objects_;  // by token identifier
  std::map<std::string, Token> seen_;            // where the last listing saw each token
  std::optional<Failure> lastFailure_;
  uint64_t opened_ = 0;
};

// The private key of a token identity. Its handle is good while the session
// it was found on lives; a re-inserted token gives its objects new handles.
class TokenKey : public platform::Key {
 public:
  TokenKey(std::shared_ptr<Core> core, Token token, Pairing pair, KeyFacts facts,
           CK_OBJECT_HANDLE handle)
      : core_(std::move(core)),
        token_(std::move(token)),
        pair_(std::move(pair)),
        facts_(std::move(facts)),
        handle_(handle),
        sessionSerial_(core_->sessionSerial(token_.id)) {}

  std::optional<Bytes> copyExternalRepresentation() override {
    return pair_.cert->facts ? pair_.cert->facts->publicKey : std::nullopt;
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
    Bytes data(std::begin(kSha256DigestInfo), std::end(kSha256DigestInfo));
    data.insert(data.end(), digest.begin(), digest.end());
    // A key handle that stopped working (the token's objects changed while
    // it stayed, or it went) is looked for again, once.
    failedRv_ = CKR_OK;
    auto signature = signData(data, description);
    if (!signature &&
        (failedRv_ == CKR_KEY_HANDLE_INVALID || failedRv_ == CKR_OBJECT_HANDLE_INVALID)) {
      core_->forgetObjects(token_.id);
      sessionSerial_ = 0;
      signature = signData(data, description);
    }
    if (signature && !p11::verifyWithCertificate(*pair_.cert, digest, *signature)) {
      description = "Signature does not match the certificate";
      return std::nullopt;
    }
    return signature;
  }

  std::optional<Bytes> signData(Bytes& data, std::string& description) {
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
    if (core_->loginUser(*token, *session, *pair_.cert, failure) != Core::Login::Done) {
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
    return signOnce(*token, *session, handle_, data, description);
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
          reply = core_->askPin(token, certificateName(*pair_.cert), info, errorLine, true);
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
    failedRv_ = rv;
    description = p11::translate(call, rv).description;
    return std::nullopt;
  }

  std::shared_ptr<Core> core_;
  Token token_;
  Pairing pair_;
  KeyFacts facts_;
  CK_OBJECT_HANDLE handle_;
  uint64_t sessionSerial_;
  CK_RV failedRv_ = CKR_OK;  // of the last failed call of a signature
};

class TokenIdentity : public platform::Identity {
 public:
  TokenIdentity(std::shared_ptr<Core> core, const Token& token, Pairing pair)
      : core_(std::move(core)), token_(token), pair_(std::move(pair)) {}

  const Bytes& ckaId() const { return pair_.ckaId; }

  CertificateResult copyCertificate() override {
    return {st::kSuccess, std::make_shared<TokenCertificate>(pair_.cert)};
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
    if (pair_.key != 0 && pair_.sessionSerial == core_->sessionSerial(token->id) &&
        core_->keyFacts(*token, *session, pair_.key)) {
      keys.push_back(pair_.key);
    } else {
      // A kept handle that names no key: the token's objects changed.
      if (pair_.key != 0) core_->forgetObjects(token->id);
      keys = findByClass(fn, *session, CKO_PRIVATE_KEY, &pair_.ckaId, rv);
    }
    if (keys.empty() && rv == CKR_OK && !core_->loggedIn(*token, *session)) {
      auto login = core_->loginUser(*token, *session, *pair_.cert, failure);
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
    const auto& certFacts = pair_.cert->facts;
    CK_OBJECT_HANDLE chosen = keys.front();
    for (CK_OBJECT_HANDLE key : keys) {
      if (keys.size() == 1 ||
          (certFacts && certFacts->publicKey &&
           containsModulus(*certFacts->publicKey, modulusOf(*token, *session, key)))) {
        chosen = key;
        break;
      }
    }
    KeyFacts facts = core_->keyFacts(*token, *session, chosen).value_or(KeyFacts{});
    facts.mechanismOffered = core_->mechanismOffered(*token);
    return std::make_shared<TokenKey>(core_, token_, pair_, std::move(facts), chosen);
  }

  Bytes modulusOf(const Token& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    auto facts = core_->keyFacts(token, session, key);
    return facts ? facts->modulus : Bytes{};
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
    auto collect = [&](bool checkObjects) {
      for (const Token& token : tokens) {
        if (query.matchLimit == platform::MatchLimit::One && !found.empty()) break;
        for (Pairing& pair : core_->identities(token, label, checkObjects)) {
          found.push_back(std::make_shared<TokenIdentity>(core_, token, std::move(pair)));
        }
      }
    };
    // A token's own listing checks that its kept objects still hold; the
    // searches of a signature trust them, unless a label finds nothing.
    collect(query.tokenID.has_value());
    if (found.empty() && label && !query.tokenID) collect(true);
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
