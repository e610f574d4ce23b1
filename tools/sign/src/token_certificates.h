// Certificates the signer's chain may come from: every certificate object on
// the tokens of the PKCS#11 modules registered with p11-kit (trust-policy
// modules skipped), and in the user's NSS database. Read without logging in;
// certificates are public objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vellumark::sign {

struct TokenCertificate {
  std::vector<uint8_t> der;
  std::string token;  // the token's label, or "NSS database"
};

// Whatever cannot be read is skipped: an empty list is a normal answer.
std::vector<TokenCertificate> readTokenCertificates();

// The issuers of `signer` found in `pool`, nearest first, up to a
// self-signed one or the first missing link.
std::vector<std::vector<uint8_t>> issuerChain(const std::vector<uint8_t>& signer,
                                              const std::vector<TokenCertificate>& pool);

}  // namespace vellumark::sign
