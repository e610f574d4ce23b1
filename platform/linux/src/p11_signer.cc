// The private key of a token identity: RSA PKCS#1 v1.5 signatures over
// SHA-256 digests, made by the token and checked before they leave.
#include <algorithm>

#include "p11_core.h"

namespace vellumark::linux_platform::p11 {
namespace {

// DER of DigestInfo { sha256, NULL } up to the digest's OCTET STRING header.
constexpr uint8_t kSha256DigestInfo[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                         0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
constexpr size_t kSha256Size = 32;
constexpr const char* kDuringSignature = "during the signature";

// Its handle is good while the session it was found on lives; a
// re-inserted token gives its objects new handles.
class TokenKey : public platform::Key {
 public:
  TokenKey(std::shared_ptr<Core> core, Token token, Pairing pair, KeyFacts facts,
           CK_OBJECT_HANDLE handle, bool mechanismOffered)
      : core_(std::move(core)),
        token_(std::move(token)),
        pair_(std::move(pair)),
        facts_(std::move(facts)),
        handle_(handle),
        sessionSerial_(core_->registry.sessionSerial(token_.id)),
        mechanismOffered_(mechanismOffered) {}

  std::optional<Bytes> copyExternalRepresentation() override {
    if (pair_.publicKey.empty()) return std::nullopt;
    return pair_.publicKey;
  }

  bool isAlgorithmSupported(platform::KeyOperation operation,
                            platform::KeyAlgorithm algorithm) override {
    return operation == platform::KeyOperation::Sign &&
           algorithm == platform::KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256 && facts_.rsa &&
           facts_.canSign && mechanismOffered_;
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
    // it stayed) is looked for again, once.
    failedRv_ = CKR_OK;
    auto signature = signData(data, description);
    if (!signature &&
        (failedRv_ == CKR_KEY_HANDLE_INVALID || failedRv_ == CKR_OBJECT_HANDLE_INVALID)) {
      sessionSerial_ = 0;
      signature = signData(data, description);
    }
    if (signature && !check(digest, *signature)) {
      description = "Signature does not match the certificate";
      return std::nullopt;
    }
    return signature;
  }

  // A wrongly paired key or a faulty token is caught here, with the
  // certificate's key or, when that cannot be read, the key pair's own. A
  // check that cannot run refuses nothing.
  bool check(const Bytes& digest, const Bytes& signature) {
    std::shared_ptr<EVP_PKEY> key = pair_.cert->publicKey;
    if (!key && facts_.rsa) key = rsaPublicKey(facts_.modulus, facts_.exponent);
    if (!key) return true;
    return verifyDigestSignature(key.get(), digest, signature);
  }

  std::optional<Bytes> signData(Bytes& data, std::string& description) {
    auto token = core_->registry.locate(token_);
    if (!token) {
      description = "The token \"" + token_.label + "\" is no longer present";
      return std::nullopt;
    }
    token_ = *token;
    Failure failure;
    auto session = core_->registry.session(*token, failure);
    if (!session) {
      description = failure.description;
      return std::nullopt;
    }
    if (core_->auth.loginUser(core_->registry, *token, *session, certificateName(*pair_.cert),
                              failure) != Authenticator::Login::Done) {
      description = failure.description;
      return std::nullopt;
    }
    CK_FUNCTION_LIST* fn = token->module->fn();
    if (core_->registry.sessionSerial(token->id) != sessionSerial_) {
      CK_RV rv = CKR_OK;
      handle_ = 0;
      for (CK_OBJECT_HANDLE candidate : findKeys(fn, *session, CKO_PRIVATE_KEY, pair_.ckaId, rv)) {
        if (facts_.modulus.empty() ||
            attribute(fn, *session, candidate, CKA_MODULUS) == facts_.modulus) {
          handle_ = candidate;
          break;
        }
      }
      if (handle_ == 0) {
        description =
            rv != CKR_OK
                ? core_->registry.callFailure(*token, "C_FindObjects", rv, kDuringSignature)
                      .description
                : "The private key is no longer on the token \"" + token->label + "\"";
        return std::nullopt;
      }
      sessionSerial_ = core_->registry.sessionSerial(token->id);
    }
    return signOnce(*token, *session, handle_, data, description);
  }

  std::optional<Bytes> signOnce(const Token& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key,
                                Bytes& data, std::string& description) {
    CK_FUNCTION_LIST* fn = token.module->fn();
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    std::string errorLine;
    Authenticator& auth = core_->auth;
    for (;;) {
      std::optional<PinReply> reply;
      if (facts_.alwaysAuthenticate) {
        // The PIN is asked before C_SignInit: nothing may come between the
        // init and the context-specific login.
        CK_TOKEN_INFO info{};
        CK_RV rv = fn->C_GetTokenInfo(token.slot, &info);
        if (rv != CKR_OK) return fail(token, "C_GetTokenInfo", rv, description);
        Failure failure;
        if (!Authenticator::pinUsable(token, info.flags, failure)) {
          description = failure.description;
          return std::nullopt;
        }
        if (!(info.flags & CKF_PROTECTED_AUTHENTICATION_PATH)) {
          reply = auth.askPin(token, certificateName(*pair_.cert), info, errorLine, true);
          if (reply->outcome != PinReply::Outcome::Entered) {
            Authenticator::refused(*reply, failure);
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
        rv = reply ? fn->C_Login(session, CKU_CONTEXT_SPECIFIC, Authenticator::pinBytes(reply->pin),
                                 reply->pin.size())
                   : fn->C_Login(session, CKU_CONTEXT_SPECIFIC, nullptr, 0);
        reply.reset();
        if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) endOperation(fn, session, data);
        if (rv == CKR_PIN_INCORRECT) {
          Failure failure;
          if (auth.wrongPinLimitReached(token, failure)) {
            description = failure.description;
            return std::nullopt;
          }
          errorLine = Authenticator::kWrongPin;
          continue;
        }
        if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
          failedRv_ = rv;
          description = Authenticator::loginFailure(core_->registry, token, rv).description;
          return std::nullopt;
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
    failedRv_ = rv;
    description = core_->registry.callFailure(token, call, rv, kDuringSignature).description;
    return std::nullopt;
  }

  std::shared_ptr<Core> core_;
  Token token_;
  Pairing pair_;
  KeyFacts facts_;
  CK_OBJECT_HANDLE handle_;
  uint64_t sessionSerial_;
  bool mechanismOffered_;
  CK_RV failedRv_ = CKR_OK;  // of the last failed call of a signature
};

}  // namespace

std::shared_ptr<platform::Key> makeTokenKey(std::shared_ptr<Core> core, Token token, Pairing pair,
                                            KeyFacts facts, CK_OBJECT_HANDLE handle) {
  bool offered = core->objects.mechanismOffered(token);
  return std::make_shared<TokenKey>(std::move(core), std::move(token), std::move(pair),
                                    std::move(facts), handle, offered);
}

}  // namespace vellumark::linux_platform::p11
