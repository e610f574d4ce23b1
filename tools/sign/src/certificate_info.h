// What a person needs to tell signing certificates apart, read from the DER
// (the host's records carry it, but the DER is the authority).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vellumark::sign {

struct CertificateInfo {
  std::string subject;     // readable one-line form, "CN=..., O=..."
  std::string commonName;  // the subject's CN, or the subject line
  std::string issuer;
  std::string notBefore;  // "2025-01-31 12:00 UTC"
  std::string notAfter;
  std::string serialHex;
  bool currentlyValid = false;
  bool parsed = false;
};

CertificateInfo describeCertificate(const std::vector<uint8_t>& der);

// Lower-case hex.
std::string toHex(const std::vector<uint8_t>& bytes);

}  // namespace vellumark::sign
