#include "cms_signature.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string>

namespace vellumark::sign {
namespace {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct CmsFree {
  void operator()(CMS_ContentInfo* c) const { CMS_ContentInfo_free(c); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr parseCertificate(const Bytes& der) {
  const unsigned char* p = der.data();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!cert || p != der.data() + der.size())
    throw CmsError(opensslError("a certificate is not valid DER"));
  return cert;
}

// DER length octets.
void appendLength(Bytes& out, size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
    return;
  }
  Bytes digits;
  for (size_t n = length; n > 0; n >>= 8)
    digits.insert(digits.begin(), static_cast<uint8_t>(n & 0xFF));
  out.push_back(static_cast<uint8_t>(0x80 | digits.size()));
  out.insert(out.end(), digits.begin(), digits.end());
}

}  // namespace

std::string opensslError(const std::string& what) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return what;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return what + " (" + text + ")";
}

struct CmsSignature::State {
  X509Ptr signer;
  std::unique_ptr<CMS_ContentInfo, CmsFree> cms;
  CMS_SignerInfo* signerInfo = nullptr;  // owned by cms
};

Bytes sha256(const Bytes& data) {
  Bytes digest(32);
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
    throw CmsError(opensslError("SHA-256 failed"));
  }
  return digest;
}

CmsSignature::CmsSignature(const Bytes& signerDer, const std::vector<Bytes>& chain,
                           const Bytes& contentDigest)
    : state_(std::make_unique<State>()) {
  if (contentDigest.size() != 32) throw CmsError("the content digest is not a SHA-256 digest");
  state_->signer = parseCertificate(signerDer);
  EVP_PKEY* publicKey = X509_get0_pubkey(state_->signer.get());
  if (publicKey == nullptr || EVP_PKEY_get_base_id(publicKey) != EVP_PKEY_RSA) {
    throw CmsError("the signing certificate does not hold an RSA key");
  }
  const unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
  state_->cms.reset(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
  if (!state_->cms) throw CmsError(opensslError("CMS_sign failed"));
  // The public key stands in for the private one: OpenSSL only matches it
  // with the certificate and picks the algorithms; nothing is signed here.
  // CMS_CADES adds signing-certificate-v2 (ESSCertIDv2 with issuerSerial).
  state_->signerInfo = CMS_add1_signer(state_->cms.get(), state_->signer.get(), publicKey,
                                       EVP_sha256(), flags | CMS_CADES);
  if (state_->signerInfo == nullptr) throw CmsError(opensslError("CMS_add1_signer failed"));
  for (const Bytes& der : chain) {
    X509Ptr cert = parseCertificate(der);
    if (X509_cmp(cert.get(), state_->signer.get()) == 0) continue;
    if (CMS_add1_cert(state_->cms.get(), cert.get()) != 1) {
      // A certificate already present is not an error worth stopping for.
      ERR_clear_error();
    }
  }
  ASN1_OBJECT* data = OBJ_nid2obj(NID_pkcs7_data);
  if (CMS_signed_add1_attr_by_NID(state_->signerInfo, NID_pkcs9_contentType, V_ASN1_OBJECT, data,
                                  -1) != 1 ||
      CMS_signed_add1_attr_by_NID(state_->signerInfo, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                  contentDigest.data(),
                                  static_cast<int>(contentDigest.size())) != 1) {
    throw CmsError(opensslError("cannot add the signed attributes"));
  }
}

CmsSignature::~CmsSignature() = default;

Bytes CmsSignature::signedAttributes() const {
  // The SET OF in DER: each attribute encoded, sorted by its encoding
  // (X.690 11.6), which is also how OpenSSL writes the [0] IMPLICIT form.
  std::vector<Bytes> encoded;
  const int count = CMS_signed_get_attr_count(state_->signerInfo);
  for (int i = 0; i < count; ++i) {
    X509_ATTRIBUTE* attr = CMS_signed_get_attr(state_->signerInfo, i);
    unsigned char* der = nullptr;
    const int length = i2d_X509_ATTRIBUTE(attr, &der);
    if (length <= 0) throw CmsError(opensslError("cannot encode a signed attribute"));
    encoded.emplace_back(der, der + length);
    OPENSSL_free(der);
  }
  std::sort(encoded.begin(), encoded.end());
  size_t total = 0;
  for (const Bytes& e : encoded) total += e.size();
  Bytes out{0x31};
  appendLength(out, total);
  for (const Bytes& e : encoded) out.insert(out.end(), e.begin(), e.end());
  return out;
}

Bytes CmsSignature::signedAttributesDigest() const { return sha256(signedAttributes()); }

void CmsSignature::setSignature(const Bytes& signature) {
  EVP_PKEY* publicKey = X509_get0_pubkey(state_->signer.get());
  const Bytes digest = signedAttributesDigest();
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(publicKey, nullptr));
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1) {
    throw CmsError(opensslError("cannot check the signature"));
  }
  if (EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(),
                      digest.size()) != 1) {
    ERR_clear_error();
    throw CmsError("the token's signature does not verify with the certificate's public key");
  }
  ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(state_->signerInfo);
  if (ASN1_STRING_set(value, signature.data(), static_cast<int>(signature.size())) != 1) {
    throw CmsError(opensslError("cannot store the signature"));
  }
  signature_ = signature;
}

void CmsSignature::addTimeStampToken(const Bytes& token) {
  if (CMS_unsigned_add1_attr_by_NID(state_->signerInfo, NID_id_smime_aa_timeStampToken,
                                    V_ASN1_SEQUENCE, token.data(),
                                    static_cast<int>(token.size())) != 1) {
    throw CmsError(opensslError("cannot add the time-stamp token"));
  }
}

Bytes CmsSignature::der() const {
  if (signature_.empty()) throw CmsError("the CMS has no signature yet");
  unsigned char* der = nullptr;
  const int length = i2d_CMS_ContentInfo(state_->cms.get(), &der);
  if (length <= 0) throw CmsError(opensslError("cannot encode the CMS"));
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

}  // namespace vellumark::sign
