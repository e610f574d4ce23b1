// Internals of the PKCS#11 token service shared by its source files: return
// values, modules, certificates and attribute reads. Tests include it to
// drive the service through function lists of their own.
#pragma once

#include <openssl/types.h>
#include <p11-kit/pkcs11.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/tokens.h"

namespace vellumark::linux_platform::p11 {

using platform::Bytes;

// A failed call as the platform reports it: a status and a readable
// description naming the call.
struct Failure {
  int32_t status = platform::status::kNotAvailable;
  std::string description;
};

// The one translation of CK_RV values: "C_Sign: CKR_PIN_INCORRECT".
Failure translate(const char* call, CK_RV rv);
// CKR_... name of a return value, or its hexadecimal value.
std::string rvName(CK_RV rv);
// A failure of the device or its connection: the token may have been removed.
bool deviceTrouble(CK_RV rv);
// The session is gone with the token (removed, re-inserted, renumbered).
bool sessionLost(CK_RV rv);

// A loaded, initialized module. Its release (C_Finalize or p11-kit's
// reference counting) runs when the last owner lets go.
class Module {
 public:
  Module(std::string name, CK_FUNCTION_LIST* functions, std::function<void()> release)
      : name_(std::move(name)), functions_(functions), release_(std::move(release)) {}
  ~Module() {
    if (release_) release_();
  }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  const std::string& name() const { return name_; }
  CK_FUNCTION_LIST* fn() const { return functions_; }
  // A slot listing that failed is reported once, not on every request.
  bool firstSlotFailure() { return !std::exchange(slotFailureReported_, true); }

 private:
  std::string name_;
  CK_FUNCTION_LIST* functions_;
  std::function<void()> release_;
  bool slotFailureReported_ = false;
};

// All registered modules but trust-policy ones; loaded once per process.
// A module that fails to load or initialise is reported on standard error.
std::vector<std::shared_ptr<Module>> registeredModules();
// A module loaded from a path with p11_kit_module_load.
std::shared_ptr<Module> loadModule(const std::string& path, Failure& failure);
// NSS's software token over the database folder, read-only.
std::shared_ptr<Module> loadNssModule(const std::string& databaseDir, Failure& failure);
// One message line in GLib's log. A GLib warning would fail whole-host
// tests, and a module that does not work must not pass silently.
void report(const std::string& what);

// A blank-padded PKCS#11 text field without its padding.
std::string trimField(const unsigned char* field, size_t size);

// Certificate facts read with OpenSSL from DER.
struct CertificateFacts {
  std::optional<std::string> subjectSummary;
  std::optional<std::string> issuerCommonName;
  std::optional<Bytes> serialNumber;
  std::optional<double> notBefore;
  std::optional<double> notAfter;
  std::optional<Bytes> publicKey;  // external representation
  bool rsa = false;
};
// A certificate read once with OpenSSL; kept by its DER bytes, which are
// compared on every request.
struct ParsedCertificate {
  Bytes der;
  std::optional<CertificateFacts> facts;  // nullopt when the bytes are not a certificate
  std::shared_ptr<EVP_PKEY> publicKey;    // checks signatures; null when unreadable
};
// Strict parse first; when OpenSSL refuses the certificate (a serial with a
// needless leading zero, say), the fields are read by walking the DER.
std::shared_ptr<const ParsedCertificate> parseCertificate(Bytes der);

// The fields of a TBSCertificate as DER elements (whole TLVs), found by a
// walk that checks only the structure, not the encoding rules of values.
struct TbsFields {
  Bytes serialContent;  // the INTEGER's content bytes as they stand
  Bytes issuer;         // Name
  Bytes notBefore;      // Time
  Bytes notAfter;       // Time
  Bytes subject;        // Name
  Bytes publicKeyInfo;  // SubjectPublicKeyInfo
};
std::optional<TbsFields> walkCertificate(const Bytes& der);

// An RSA public key from its parts; null when they do not make one.
std::shared_ptr<EVP_PKEY> rsaPublicKey(const Bytes& modulus, const Bytes& exponent);
// PKCS#1 RSAPublicKey DER of a modulus and exponent (big-endian, unsigned).
Bytes rsaPublicKeyDer(const Bytes& modulus, const Bytes& exponent);
// RSASSA-PKCS1-v1_5 over the SHA-256 digest, checked with the key.
bool verifyDigestSignature(EVP_PKEY* key, const Bytes& digest, const Bytes& signature);
Bytes sha1(const Bytes& data);

// The public key of a certificate, as the platform hands it out.
std::shared_ptr<platform::Key> makePublicKey(Bytes externalRepresentation, bool rsa);

// Attribute reads. Room for a value of variable size: identifiers and most
// certificates fit, so one call usually does; a larger value is measured
// and read again.
constexpr size_t kAttributeRoom = 4096;

// Fixed-size values get their exact size: NSS refuses a CK_ULONG value
// into a larger buffer.
inline size_t attributeRoom(CK_ATTRIBUTE_TYPE type) {
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
// token's files); those the object lacks or hides are nullopt. `rv` is the
// call's outcome when asked for.
template <size_t N>
std::array<std::optional<Bytes>, N> attributes(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
                                               CK_OBJECT_HANDLE object,
                                               const std::array<CK_ATTRIBUTE_TYPE, N>& types,
                                               CK_RV* outRv = nullptr) {
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
  if (outRv) *outRv = rv;
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

inline std::optional<Bytes> attribute(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session,
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
                                          std::vector<CK_ATTRIBUTE> pattern, CK_RV& rv);

}  // namespace vellumark::linux_platform::p11
