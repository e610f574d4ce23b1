// The CMS SignedData of a PAdES baseline signature (RFC 5652, ETSI EN 319 142):
// detached, SHA-256, signed attributes content-type, message-digest and
// signing-certificate-v2 (RFC 5035), no signing-time (the PDF's /M says it).
// The signature value comes from elsewhere (the token, through the host).
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vellumark::sign {

// `what`, followed by OpenSSL's oldest queued error when there is one
// (the queue is cleared).
std::string opensslError(const std::string& what);

using Bytes = std::vector<uint8_t>;

class CmsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CmsSignature {
 public:
  // `contentDigest` is the SHA-256 of the signed byte range. `chain` are the
  // issuer certificates to embed (DER), in any order. Throws CmsError.
  CmsSignature(const Bytes& signerDer, const std::vector<Bytes>& chain, const Bytes& contentDigest);
  ~CmsSignature();
  CmsSignature(const CmsSignature&) = delete;
  CmsSignature& operator=(const CmsSignature&) = delete;

  // The DER of the signed attributes (a SET OF), what the signature covers.
  Bytes signedAttributes() const;
  // SHA-256 of signedAttributes(): the digest the token signs.
  Bytes signedAttributesDigest() const;
  // Sets the RSASSA-PKCS1-v1_5 signature value after checking it with the
  // signer's public key (a wrongly paired key or a faulty token fails here).
  void setSignature(const Bytes& signature);
  const Bytes& signature() const { return signature_; }
  // Adds a signature time-stamp token (RFC 3161 TimeStampToken, DER) as the
  // unsigned attribute id-aa-signatureTimeStampToken.
  void addTimeStampToken(const Bytes& token);
  // The DER ContentInfo.
  Bytes der() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
  Bytes signature_;
};

// SHA-256 of `data`.
Bytes sha256(const Bytes& data);

}  // namespace vellumark::sign
