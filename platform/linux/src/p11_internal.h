// Internals of the PKCS#11 token service shared by its source files.
#pragma once

#include <openssl/types.h>
#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
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

 private:
  std::string name_;
  CK_FUNCTION_LIST* functions_;
  std::function<void()> release_;
};

// All registered modules but trust-policy ones; loaded once per process.
std::vector<std::shared_ptr<Module>> registeredModules();
// A module loaded from a path with p11_kit_module_load.
std::shared_ptr<Module> loadModule(const std::string& path, Failure& failure);
// NSS's software token over the database folder, read-only.
std::shared_ptr<Module> loadNssModule(const std::string& databaseDir, Failure& failure);

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
// A certificate read once with OpenSSL: a token's certificates are kept
// while the token stays, and every request uses them.
struct ParsedCertificate {
  Bytes der;
  std::optional<CertificateFacts> facts;  // nullopt when the bytes are not a certificate
  std::shared_ptr<EVP_PKEY> publicKey;    // checks signatures; null when unreadable
};
std::shared_ptr<const ParsedCertificate> parseCertificate(Bytes der);
// RSASSA-PKCS1-v1_5 over the SHA-256 digest, checked with the certificate's key.
bool verifyWithCertificate(const ParsedCertificate& cert, const Bytes& digest,
                           const Bytes& signature);

// The public key of a certificate, as the platform hands it out.
std::shared_ptr<platform::Key> makePublicKey(Bytes externalRepresentation, bool rsa);

}  // namespace vellumark::linux_platform::p11
