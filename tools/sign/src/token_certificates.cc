#include "token_certificates.h"

#include <dlfcn.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace vellumark::sign {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kNssLibrary[] = "libsoftokn3.so";
constexpr char kNssLabel[] = "NSS database";
constexpr CK_ULONG kBatch = 32;
constexpr size_t kMaxChain = 10;
// CK_UNAVAILABLE_INFORMATION, without the header's C cast.
constexpr CK_ULONG kUnavailable = ~CK_ULONG{0};

std::string trimmed(const CK_UTF8CHAR* field, size_t size) {
  std::string text(reinterpret_cast<const char*>(field), size);
  const size_t end = text.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

void readSlot(CK_FUNCTION_LIST* fn, CK_SLOT_ID slot, const std::string* labelOverride,
              std::vector<TokenCertificate>& out) {
  CK_TOKEN_INFO info{};
  if (fn->C_GetTokenInfo(slot, &info) != CKR_OK) return;
  const std::string label = labelOverride ? *labelOverride : trimmed(info.label, sizeof info.label);
  CK_SESSION_HANDLE session = 0;
  if (fn->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) return;
  CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
  CK_ATTRIBUTE pattern{CKA_CLASS, &certClass, sizeof certClass};
  std::vector<CK_OBJECT_HANDLE> objects;
  if (fn->C_FindObjectsInit(session, &pattern, 1) == CKR_OK) {
    CK_OBJECT_HANDLE batch[kBatch];
    CK_ULONG found = 0;
    while (fn->C_FindObjects(session, batch, kBatch, &found) == CKR_OK && found > 0) {
      objects.insert(objects.end(), batch, batch + found);
    }
    fn->C_FindObjectsFinal(session);
  }
  for (CK_OBJECT_HANDLE object : objects) {
    CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
    if (fn->C_GetAttributeValue(session, object, &value, 1) != CKR_OK ||
        value.ulValueLen == kUnavailable || value.ulValueLen == 0) {
      continue;
    }
    Bytes der(value.ulValueLen);
    value.pValue = der.data();
    if (fn->C_GetAttributeValue(session, object, &value, 1) != CKR_OK) continue;
    der.resize(value.ulValueLen);
    out.push_back({std::move(der), label});
  }
  fn->C_CloseSession(session);
}

void readModule(CK_FUNCTION_LIST* fn, const std::string* labelOverride,
                std::vector<TokenCertificate>& out) {
  CK_ULONG count = 0;
  std::vector<CK_SLOT_ID> slots;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (fn->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) return;
    slots.resize(count);
    const CK_RV rv = fn->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv == CKR_BUFFER_TOO_SMALL) continue;
    if (rv != CKR_OK) return;
    slots.resize(count);
    break;
  }
  for (CK_SLOT_ID slot : slots) readSlot(fn, slot, labelOverride, out);
}

void readRegisteredModules(std::vector<TokenCertificate>& out) {
  CK_FUNCTION_LIST** modules = p11_kit_modules_load(nullptr, 0);
  if (modules == nullptr) return;
  for (CK_FUNCTION_LIST** m = modules; *m != nullptr; ++m) {
    // The system CA store: hundreds of certificates that are no one's chain
    // here, and slow to initialise.
    if (p11_kit_module_get_flags(*m) & P11_KIT_MODULE_TRUSTED) continue;
    if (p11_kit_module_initialize(*m) != CKR_OK) continue;
    readModule(*m, nullptr, out);
    p11_kit_module_finalize(*m);
  }
  p11_kit_modules_release(modules);
}

void readNssDatabase(std::vector<TokenCertificate>& out) {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return;
  const std::filesystem::path dir = std::filesystem::path(home) / ".pki" / "nssdb";
  std::error_code error;
  if (!std::filesystem::exists(dir / "cert9.db", error)) return;
  void* library = dlopen(kNssLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return;
  auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
  CK_FUNCTION_LIST* fn = nullptr;
  if (getList != nullptr && getList(&fn) == CKR_OK && fn != nullptr) {
    std::string params = "configdir='sql:" + dir.string() +
                         "' certPrefix='' keyPrefix='' secmod='secmod.db' flags=readOnly";
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    args.pReserved = params.data();
    if (fn->C_Initialize(&args) == CKR_OK) {
      const std::string label = kNssLabel;
      readModule(fn, &label, out);
      fn->C_Finalize(nullptr);
    }
  }
  dlclose(library);
}

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr parse(const Bytes& der) {
  const unsigned char* p = der.data();
  return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

}  // namespace

std::vector<TokenCertificate> readTokenCertificates() {
  std::vector<TokenCertificate> out;
  readRegisteredModules(out);
  readNssDatabase(out);
  return out;
}

std::vector<Bytes> issuerChain(const Bytes& signer, const std::vector<TokenCertificate>& pool) {
  std::vector<Bytes> chain;
  X509Ptr current = parse(signer);
  std::vector<Bytes> seen{signer};
  while (current && chain.size() < kMaxChain) {
    if (X509_check_issued(current.get(), current.get()) == X509_V_OK) break;  // self-signed
    X509Ptr next;
    for (const TokenCertificate& candidate : pool) {
      bool known = false;
      for (const Bytes& s : seen) known = known || s == candidate.der;
      if (known) continue;
      X509Ptr issuer = parse(candidate.der);
      if (issuer && X509_check_issued(issuer.get(), current.get()) == X509_V_OK) {
        // A trust anchor is the validator's own: not embedded.
        if (X509_check_issued(issuer.get(), issuer.get()) == X509_V_OK) return chain;
        chain.push_back(candidate.der);
        seen.push_back(candidate.der);
        next = std::move(issuer);
        break;
      }
    }
    current = std::move(next);
  }
  return chain;
}

}  // namespace vellumark::sign
