// The token service on PKCS#11: tokens present now, identities (a
// certificate and the private key with the same CKA_ID) as each token shows
// them at the time of the query, and their private keys.
#include <cstdlib>
#include <filesystem>

#include "p11_core.h"
#include "platform_linux/token_service.h"

namespace vellumark::linux_platform {
namespace {

using p11::Core;
using p11::Failure;
using p11::Module;
using p11::Pairing;
using p11::Token;
using platform::Bytes;
namespace st = platform::status;

class TokenCertificate : public platform::Certificate {
 public:
  explicit TokenCertificate(std::shared_ptr<const p11::ParsedCertificate> cert)
      : cert_(std::move(cert)) {}
  Bytes copyData() override { return cert_->der; }
  std::optional<std::string> copySubjectSummary() override {
    return facts() ? facts()->subjectSummary : std::nullopt;
  }
  std::optional<std::string> copyIssuerCommonName() override {
    return facts() ? facts()->issuerCommonName : std::nullopt;
  }
  std::optional<Bytes> copySerialNumberData() override {
    return facts() ? facts()->serialNumber : std::nullopt;
  }
  std::optional<double> notValidBefore() override {
    return facts() ? facts()->notBefore : std::nullopt;
  }
  std::optional<double> notValidAfter() override {
    return facts() ? facts()->notAfter : std::nullopt;
  }
  std::shared_ptr<platform::Key> copyKey() override {
    if (!facts() || !facts()->publicKey) return nullptr;
    return p11::makePublicKey(*facts()->publicKey, facts()->rsa);
  }

 private:
  const p11::CertificateFacts* facts() const { return cert_->facts ? &*cert_->facts : nullptr; }
  std::shared_ptr<const p11::ParsedCertificate> cert_;
};

class TokenIdentity : public platform::Identity {
 public:
  TokenIdentity(std::shared_ptr<Core> core, const Token& token, Pairing pair)
      : core_(std::move(core)), token_(token), pair_(std::move(pair)) {}

  const Bytes& label() const { return pair_.label; }

  CertificateResult copyCertificate() override {
    return {st::kSuccess, std::make_shared<TokenCertificate>(pair_.cert)};
  }

  // Finding the key may need the login: private keys are often hidden before it.
  KeyResult copyPrivateKey() override {
    Failure failure;
    auto key = findKey(failure);
    if (!key) core_->lastFailure = failure;
    return {key ? st::kSuccess : failure.status, key};
  }

 private:
  std::shared_ptr<platform::Key> findKey(Failure& failure) {
    p11::Registry& registry = core_->registry;
    auto token = registry.locate(token_);
    if (!token) {
      failure = {st::kNotAvailable, "The token \"" + token_.label + "\" is no longer present"};
      return nullptr;
    }
    token_ = *token;
    auto session = registry.session(*token, failure);
    if (!session) return nullptr;
    CK_FUNCTION_LIST* fn = token->module->fn();
    CK_RV rv = CKR_OK;
    std::vector<CK_OBJECT_HANDLE> keys;
    // The listing of this request saw the key on this session.
    if (pair_.key != 0 && pair_.sessionSerial == registry.sessionSerial(token->id)) {
      keys.push_back(pair_.key);
    } else {
      keys = p11::findKeys(fn, *session, CKO_PRIVATE_KEY, pair_.ckaId, rv);
    }
    if (keys.empty() && rv == CKR_OK && !registry.loggedIn(*token, *session)) {
      auto login = core_->auth.loginUser(registry, *token, *session,
                                         p11::certificateName(*pair_.cert), failure);
      if (login != p11::Authenticator::Login::Done) return nullptr;
      keys = p11::findKeys(fn, *session, CKO_PRIVATE_KEY, pair_.ckaId, rv);
    }
    if (rv != CKR_OK) {
      failure = registry.callFailure(*token, "C_FindObjects", rv, nullptr);
      return nullptr;
    }
    if (keys.empty()) {
      failure = {st::kItemNotFound,
                 "The token \"" + token_.label + "\" holds no private key for this certificate"};
      return nullptr;
    }
    // Of several keys with this CKA_ID, the one whose public half is the
    // certificate's.
    CK_OBJECT_HANDLE chosen = keys.front();
    std::optional<p11::KeyFacts> facts;
    const auto certificateKey =
        pair_.publicKey.empty() ? std::nullopt : std::optional<Bytes>(pair_.publicKey);
    for (CK_OBJECT_HANDLE key : keys) {
      auto candidate = core_->objects.keyFacts(*token, *session, key);
      if (!candidate) continue;
      if (!facts || p11::sameKey(certificateKey, *candidate) == true) {
        chosen = key;
        facts = std::move(candidate);
      }
    }
    if (!facts) facts.emplace();
    // A key that hides its public half: the public-key object shows it.
    if (facts->rsa && (facts->modulus.empty() || facts->exponent.empty())) {
      for (CK_OBJECT_HANDLE key : p11::findKeys(fn, *session, CKO_PUBLIC_KEY, pair_.ckaId, rv)) {
        auto values = p11::attributes(
            fn, *session, key, std::array<CK_ATTRIBUTE_TYPE, 2>{CKA_MODULUS, CKA_PUBLIC_EXPONENT});
        if (values[0] && values[1]) {
          facts->modulus = std::move(*values[0]);
          facts->exponent = std::move(*values[1]);
          break;
        }
      }
    }
    return p11::makeTokenKey(core_, token_, pair_, std::move(*facts), chosen);
  }

  std::shared_ptr<Core> core_;
  Token token_;
  Pairing pair_;
};

class P11TokenService : public platform::TokenService {
 public:
  explicit P11TokenService(std::shared_ptr<Core> core) : core_(std::move(core)) {}

  std::vector<std::string> tokenIDs() override {
    core_->auth.beginRequest();
    std::vector<std::string> ids;
    for (const Token& token : core_->registry.presentTokens(false)) ids.push_back(token.id);
    return ids;
  }

  platform::QueryResult copyMatching(const platform::IdentityQuery& query) override {
    core_->auth.beginRequest();
    std::vector<Token> tokens;
    if (query.tokenID) {
      auto token = core_->registry.findToken(*query.tokenID);
      if (token && !token->nss) tokens.push_back(std::move(*token));
    } else {
      tokens = core_->registry.presentTokens(true);
    }
    const Bytes* label = query.applicationLabel ? &*query.applicationLabel : nullptr;
    bool one = query.matchLimit == platform::MatchLimit::One;
    std::vector<std::shared_ptr<TokenIdentity>> found;
    std::shared_ptr<TokenIdentity> firstConsistent;
    for (const Token& token : tokens) {
      if (one && firstConsistent) break;
      for (Pairing& pair : core_->objects.identities(token)) {
        if (label && (pair.label.empty() || pair.label != *label)) continue;
        bool consistent = pair.consistent;
        found.push_back(std::make_shared<TokenIdentity>(core_, token, std::move(pair)));
        if (consistent && !firstConsistent) firstConsistent = found.back();
        if (one && firstConsistent) break;
      }
    }
    platform::QueryResult result;
    if (found.empty()) return result;  // item not found
    // Of one key's identities, one whose key is the certificate's own.
    if (one) found = {firstConsistent ? firstConsistent : found.front()};
    result.status = st::kSuccess;
    if (one && query.returnRef && !query.returnAttributes) {
      result.item = found.front();
      return result;
    }
    result.items.emplace();
    for (auto& identity : found) {
      platform::IdentityItem item;
      if (query.returnAttributes && !identity->label().empty()) {
        item.applicationLabel = identity->label();
      }
      if (query.returnRef) item.valueRef = identity;
      result.items->push_back(std::move(item));
    }
    return result;
  }

  std::optional<std::string> copyErrorMessageString(int32_t status) override {
    if (core_->lastFailure && core_->lastFailure->status == status) {
      return core_->lastFailure->description;
    }
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

  // Any thread.
  void cancelInteraction() override { core_->auth.cancelInteraction(); }

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

namespace p11 {

std::shared_ptr<platform::TokenService> createService(std::vector<std::shared_ptr<Module>> modules,
                                                      std::shared_ptr<Module> nss,
                                                      std::shared_ptr<PinPrompt> prompt) {
  return std::make_shared<P11TokenService>(
      std::make_shared<Core>(std::move(modules), std::move(nss), std::move(prompt)));
}

}  // namespace p11

std::shared_ptr<platform::TokenService> createTokenService(PinentryOptions pinentry) {
  // One NSS instance per process: softokn cannot be initialised twice.
  static const std::shared_ptr<Module> nss = [] {
    auto dir = userNssDatabase();
    if (!dir) return std::shared_ptr<Module>();
    Failure failure;
    auto module = p11::loadNssModule(*dir, failure);
    if (!module) p11::report("NSS database " + *dir + ": " + failure.description);
    return module;
  }();
  return p11::createService(p11::registeredModules(), nss,
                            createPinentryPrompt(std::move(pinentry)));
}

std::shared_ptr<platform::TokenService> createTokenService(const TokenServiceOptions& options) {
  std::vector<std::shared_ptr<Module>> modules;
  for (const std::string& path : options.modulePaths) {
    Failure failure;
    if (auto module = p11::loadModule(path, failure)) {
      modules.push_back(std::move(module));
    } else {
      p11::report("PKCS#11 module " + path + ": " + failure.description);
    }
  }
  std::shared_ptr<Module> nss;
  if (options.nssDatabaseDir) {
    Failure failure;
    nss = p11::loadNssModule(*options.nssDatabaseDir, failure);
    if (!nss) p11::report("NSS database " + *options.nssDatabaseDir + ": " + failure.description);
  }
  auto prompt = options.pinPrompt ? options.pinPrompt : createPinentryPrompt();
  return p11::createService(std::move(modules), std::move(nss), std::move(prompt));
}

}  // namespace vellumark::linux_platform
