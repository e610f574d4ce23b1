// The user's login: the PIN dialog or the reader's PIN pad, token flags
// read fresh before each try, and a request's cancellation.
#include "p11_core.h"

namespace vellumark::linux_platform::p11 {
namespace {

namespace st = platform::status;

constexpr const char* kFinalTry = "This is the last try: one more wrong PIN blocks the token.";
// SoftHSM and some middleware count no tries: stop before the user gives up.
constexpr int kWrongPinLimit = 3;

Failure pinBlocked(const Token& token) {
  return {st::kAuthFailed, "The PIN of the token \"" + token.label +
                               "\" is blocked; unblock it with the PUK or ask its issuer"};
}

Failure pinMustChange(const Token& token) {
  return {st::kAuthFailed, "The PIN of the token \"" + token.label +
                               "\" must first be changed with the card's own tool"};
}

}  // namespace

void Authenticator::beginRequest() {
  std::lock_guard lock(mutex_);
  cancellation_.reset();
  wrongPins_ = 0;
}

void Authenticator::cancelInteraction() {
  std::lock_guard lock(mutex_);
  cancellation_.cancel();
}

Authenticator::Login Authenticator::loginUser(Registry& registry, const Token& token,
                                              CK_SESSION_HANDLE session,
                                              const std::string& certName, Failure& failure) {
  if (registry.loggedIn(token, session)) return Login::Done;
  CK_FUNCTION_LIST* fn = token.module->fn();
  std::string errorLine;
  for (;;) {
    // Flags are read fresh each time: the last wrong PIN may have locked it.
    CK_TOKEN_INFO info{};
    CK_RV rv = fn->C_GetTokenInfo(token.slot, &info);
    if (rv != CKR_OK) {
      failure = registry.callFailure(token, "C_GetTokenInfo", rv, nullptr);
      return Login::Failed;
    }
    if (!(info.flags & CKF_LOGIN_REQUIRED) || registry.loggedIn(token, session)) {
      return Login::Done;
    }
    if (!pinUsable(token, info.flags, failure)) return Login::Failed;
    bool pinPad = (info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
    if (pinPad) {
      rv = fn->C_Login(session, CKU_USER, nullptr, 0);
    } else {
      PinReply reply = askPin(token, certName, info, errorLine, false);
      if (reply.outcome != PinReply::Outcome::Entered) return refused(reply, failure);
      if (reply.pin.size() < info.ulMinPinLen) {
        if (wrongPinLimitReached(token, failure)) return Login::Failed;
        errorLine =
            "The PIN must have at least " + std::to_string(info.ulMinPinLen) + " characters.";
        continue;
      }
      rv = fn->C_Login(session, CKU_USER, pinBytes(reply.pin), reply.pin.size());
    }
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) return Login::Done;
    if (rv == CKR_PIN_INCORRECT && !pinPad) {
      if (wrongPinLimitReached(token, failure)) return Login::Failed;
      errorLine = Authenticator::kWrongPin;
      continue;
    }
    failure = loginFailure(registry, token, rv);
    return failure.status == st::kUserCanceled ? Login::Cancelled : Login::Failed;
  }
}

bool Authenticator::pinUsable(const Token& token, CK_FLAGS flags, Failure& failure) {
  if (flags & CKF_USER_PIN_LOCKED) {
    failure = pinBlocked(token);
    return false;
  }
  if (flags & CKF_USER_PIN_TO_BE_CHANGED) {
    failure = pinMustChange(token);
    return false;
  }
  return true;
}

Failure Authenticator::loginFailure(Registry& registry, const Token& token, CK_RV rv) {
  // The try that blocks the PIN says so in the same words as the next one.
  if (rv == CKR_PIN_LOCKED) return pinBlocked(token);
  if (rv == CKR_PIN_EXPIRED) return pinMustChange(token);
  if (rv == CKR_PIN_LEN_RANGE) {
    return {st::kAuthFailed,
            "The token \"" + token.label + "\" does not accept a PIN of this length"};
  }
  return registry.callFailure(token, "C_Login", rv, nullptr);
}

PinReply Authenticator::askPin(const Token& token, const std::string& certName,
                               const CK_TOKEN_INFO& info, const std::string& errorLine,
                               bool forSignature) {
  PinReply reply;
  if (cancellation_.cancelled()) {
    reply.outcome = PinReply::Outcome::Cancelled;
    return reply;
  }
  if (!prompt_) {
    reply.failure = "no PIN dialog";
    return reply;
  }
  PinRequest request;
  request.description =
      forSignature ? "The key of the certificate \"" + certName +
                         "\" asks for the PIN for every signature. Enter the PIN of the token \"" +
                         token.label + "\"."
                   : "Enter the PIN of the token \"" + token.label +
                         "\" to use the certificate \"" + certName + "\".";
  request.finalTry = (info.flags & CKF_USER_PIN_FINAL_TRY) != 0;
  if (request.finalTry) request.description += std::string("\n") + kFinalTry;
  request.prompt = "PIN:";
  request.error = errorLine;
  request.cancellation = &cancellation_;
  reply = prompt_->ask(request);
  // A dialog that answered just as the cancel came is cancelled all the same.
  if (cancellation_.cancelled() && reply.outcome == PinReply::Outcome::Entered) {
    reply.pin.clear();
    reply.outcome = PinReply::Outcome::Cancelled;
  }
  return reply;
}

Authenticator::Login Authenticator::refused(const PinReply& reply, Failure& failure) {
  switch (reply.outcome) {
    case PinReply::Outcome::Cancelled:
      failure = {st::kUserCanceled, "PIN entry was cancelled"};
      return Login::Cancelled;
    case PinReply::Outcome::TimedOut:
      failure = {st::kUserCanceled, "PIN entry timed out"};
      return Login::Cancelled;
    default:
      failure = {st::kInteractionNotAllowed, "The PIN dialog could not be shown: " + reply.failure};
      return Login::Failed;
  }
}

bool Authenticator::wrongPinLimitReached(const Token& token, Failure& failure) {
  if (++wrongPins_ < kWrongPinLimit) return false;
  failure = {st::kAuthFailed, "Wrong PIN entered three times for the token \"" + token.label +
                                  "\"; it was not tried again"};
  return true;
}

}  // namespace vellumark::linux_platform::p11
