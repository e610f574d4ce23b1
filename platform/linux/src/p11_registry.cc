// The tokens present and their sessions.
#include <algorithm>

#include "p11_core.h"

namespace vellumark::linux_platform::p11 {
namespace {

namespace st = platform::status;

std::string tokenId(const Module& module, const CK_TOKEN_INFO& info) {
  return module.name() + ":" + trimField(info.serialNumber, sizeof info.serialNumber) + ":" +
         trimField(info.label, sizeof info.label);
}

}  // namespace

std::string certificateName(const ParsedCertificate& cert) {
  if (cert.facts && cert.facts->subjectSummary) return *cert.facts->subjectSummary;
  return "unnamed certificate";
}

Registry::Registry(std::vector<std::shared_ptr<Module>> modules, std::shared_ptr<Module> nss)
    : modules_(std::move(modules)), nss_(std::move(nss)) {}

Registry::~Registry() {
  for (auto& [id, open] : sessions_) open.module->fn()->C_CloseSession(open.handle);
}

std::vector<Token> Registry::presentTokens(bool withNss) {
  std::vector<Token> tokens;
  for (const auto& module : modules_) appendTokens(module, false, tokens);
  if (withNss && nss_) appendTokens(nss_, true, tokens);
  std::erase_if(seen_, [&](const auto& entry) { return withNss || !entry.second.nss; });
  for (const Token& token : tokens) seen_.insert_or_assign(token.id, token);
  return tokens;
}

std::optional<Token> Registry::findToken(const std::string& id) {
  // Where it was last seen, if it is still there: saves a walk over every
  // slot of every module.
  if (auto it = seen_.find(id); it != seen_.end()) {
    if (auto token = confirm(it->second)) return token;
  }
  for (Token& token : presentTokens(true)) {
    if (token.id == id) return std::move(token);
  }
  return std::nullopt;
}

std::optional<Token> Registry::locate(const Token& hint) {
  // A token whose session still lives is there: a removed or re-inserted
  // token kills its sessions.
  auto it = seen_.find(hint.id);
  if (it != seen_.end() && it->second.module == hint.module && it->second.slot == hint.slot &&
      sessionAlive(it->second)) {
    return it->second;
  }
  if (auto token = confirm(hint)) return token;
  return findToken(hint.id);
}

std::optional<CK_SESSION_HANDLE> Registry::session(const Token& token, Failure& failure) {
  if (sessionAlive(token)) return sessions_.at(token.id).handle;
  dropSession(token.id);
  CK_SESSION_HANDLE handle = 0;
  CK_RV rv =
      token.module->fn()->C_OpenSession(token.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle);
  if (rv != CKR_OK) {
    failure = callFailure(token, "C_OpenSession", rv, nullptr);
    return std::nullopt;
  }
  sessions_.emplace(token.id, OpenSession{token.module, handle, ++opened_});
  return handle;
}

uint64_t Registry::sessionSerial(const std::string& tokenId) const {
  auto it = sessions_.find(tokenId);
  return it == sessions_.end() ? 0 : it->second.serial;
}

void Registry::dropSession(const std::string& tokenId) {
  auto it = sessions_.find(tokenId);
  if (it == sessions_.end()) return;
  it->second.module->fn()->C_CloseSession(it->second.handle);
  sessions_.erase(it);
}

bool Registry::loggedIn(const Token& token, CK_SESSION_HANDLE session) {
  CK_SESSION_INFO info{};
  if (token.module->fn()->C_GetSessionInfo(session, &info) != CKR_OK) return false;
  return info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS;
}

Failure Registry::callFailure(const Token& token, const char* call, CK_RV rv, const char* during) {
  Failure failure = translate(call, rv);
  if (sessionLost(rv)) dropSession(token.id);
  if (!deviceTrouble(rv)) return failure;
  // A card pulled mid-operation answers all sorts of codes; what the user
  // needs to know is that it is gone.
  std::string quoted = "\"" + token.label + "\"";
  if (!confirm(token) && !findToken(token.id)) {
    dropSession(token.id);
    return {st::kNotAvailable, "The token " + quoted + " was removed" +
                                   (during ? std::string(" ") + during : std::string()) + " (" +
                                   failure.description + ")"};
  }
  if (sessionLost(rv)) {
    return {st::kNotAvailable, "The token " + quoted + " was reset" +
                                   (during ? std::string(" ") + during : std::string()) +
                                   "; please try again (" + failure.description + ")"};
  }
  return {st::kNotAvailable, "The token " + quoted + " reported an error" +
                                 (during ? std::string(" ") + during : std::string()) + " (" +
                                 failure.description + ")"};
}

bool Registry::sessionAlive(const Token& token) {
  auto it = sessions_.find(token.id);
  if (it == sessions_.end() || it->second.module != token.module) return false;
  CK_SESSION_INFO info{};
  return token.module->fn()->C_GetSessionInfo(it->second.handle, &info) == CKR_OK &&
         info.slotID == token.slot;
}

std::optional<Token> Registry::confirm(const Token& hint) {
  CK_TOKEN_INFO info{};
  if (hint.module->fn()->C_GetTokenInfo(hint.slot, &info) != CKR_OK ||
      !(info.flags & CKF_TOKEN_INITIALIZED) || tokenId(*hint.module, info) != hint.id) {
    return std::nullopt;
  }
  Token token = hint;
  token.flags = info.flags;
  return token;
}

void Registry::appendTokens(const std::shared_ptr<Module>& module, bool nss,
                            std::vector<Token>& tokens) {
  CK_FUNCTION_LIST* fn = module->fn();
  std::vector<CK_SLOT_ID> slots;
  // The NULL-list call is when modules rescan their readers; a reader
  // plugged in between the two calls makes the list grow: ask again.
  for (int attempt = 0;; ++attempt) {
    if (attempt == 8) return;
    CK_ULONG count = 0;
    CK_RV rv = fn->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv == CKR_OK && count > 0) {
      slots.resize(count);
      rv = fn->C_GetSlotList(CK_TRUE, slots.data(), &count);
      if (rv == CKR_BUFFER_TOO_SMALL) continue;
    }
    if (rv != CKR_OK) {
      // A module that cannot list its slots is no "no token": say so, once.
      if (module->firstSlotFailure()) {
        report("PKCS#11 module " + module->name() + ": " +
               translate("C_GetSlotList", rv).description);
      }
      return;
    }
    slots.resize(count);
    break;
  }
  std::vector<Token> found;
  for (CK_SLOT_ID slot : slots) {
    CK_TOKEN_INFO info{};
    if (fn->C_GetTokenInfo(slot, &info) != CKR_OK) continue;  // removed meanwhile
    if (!(info.flags & CKF_TOKEN_INITIALIZED)) continue;
    found.push_back({module, slot, tokenId(*module, info), trimField(info.label, sizeof info.label),
                     nss, info.flags});
  }
  std::sort(found.begin(), found.end(), [](const Token& a, const Token& b) { return a.id < b.id; });
  // Twin tokens (same serial number and label) keep apart by their rank.
  std::map<std::string, int> seen;
  for (Token& token : found) {
    int n = ++seen[token.id];
    if (n > 1) token.id += "#" + std::to_string(n);
  }
  for (Token& token : found) tokens.push_back(std::move(token));
}

}  // namespace vellumark::linux_platform::p11
