// The CMS signed with a software key standing in for the token: OpenSSL's own
// verifier must accept it over the detached content, with the attributes
// PAdES baseline asks for.
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "cms_signature.h"
#include "time_stamp.h"

namespace vellumark::sign {
namespace {

struct Identity {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
  Bytes certDer;
};

Identity makeIdentity(const char* commonName) {
  Identity id;
  id.key.reset(EVP_RSA_gen(2048));
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_set_pubkey(cert.get(), id.key.get());
  X509_sign(cert.get(), id.key.get(), EVP_sha256());
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert.get(), &der);
  id.certDer.assign(der, der + length);
  OPENSSL_free(der);
  return id;
}

// What the token does for "signBytes": RSASSA-PKCS1-v1_5 over a SHA-256 digest.
Bytes tokenSign(EVP_PKEY* key, const Bytes& digest) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr),
                                                                  EVP_PKEY_CTX_free);
  EVP_PKEY_sign_init(ctx.get());
  EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
  EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256());
  size_t length = 0;
  EVP_PKEY_sign(ctx.get(), nullptr, &length, digest.data(), digest.size());
  Bytes signature(length);
  EVP_PKEY_sign(ctx.get(), signature.data(), &length, digest.data(), digest.size());
  signature.resize(length);
  return signature;
}

bool verifies(const Bytes& cmsDer, const std::string& content, std::string* attributes) {
  const unsigned char* p = cmsDer.data();
  std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cms(
      d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(cmsDer.size())), CMS_ContentInfo_free);
  if (!cms) return false;
  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
  for (int i = 0; i < CMS_signed_get_attr_count(si); ++i) {
    char name[80];
    OBJ_obj2txt(name, sizeof name, X509_ATTRIBUTE_get0_object(CMS_signed_get_attr(si, i)), 0);
    *attributes += std::string(name) + ";";
  }
  std::unique_ptr<BIO, decltype(&BIO_free)> data(
      BIO_new_mem_buf(content.data(), static_cast<int>(content.size())), BIO_free);
  return CMS_verify(cms.get(), nullptr, nullptr, data.get(), nullptr,
                    CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1;
}

TEST(CmsSignature, TokenSignatureMakesADetachedCadesSignatureThatVerifies) {
  Identity signer = makeIdentity("Signer");
  Identity issuer = makeIdentity("Issuer");
  const std::string content = "the signed byte range";
  CmsSignature cms(signer.certDer, {issuer.certDer, signer.certDer},
                   sha256(Bytes(content.begin(), content.end())));
  EXPECT_EQ(cms.signedAttributes()[0], 0x31);  // a DER SET OF
  cms.setSignature(tokenSign(signer.key.get(), cms.signedAttributesDigest()));
  const Bytes der = cms.der();
  std::string attributes;
  EXPECT_TRUE(verifies(der, content, &attributes));
  EXPECT_EQ(attributes.find("signingTime"), std::string::npos) << attributes;
  for (const char* wanted : {"contentType", "messageDigest", "signingCertificateV2"}) {
    EXPECT_NE(attributes.find(wanted), std::string::npos) << wanted << " in " << attributes;
  }
  std::string ignored;
  EXPECT_FALSE(verifies(der, content + "!", &ignored));
}

TEST(CmsSignature, RefusesASignatureTheCertificateDoesNotVouchFor) {
  Identity signer = makeIdentity("Signer");
  Identity other = makeIdentity("Other");
  CmsSignature cms(signer.certDer, {}, Bytes(32, 0xAB));
  EXPECT_THROW(cms.setSignature(tokenSign(other.key.get(), cms.signedAttributesDigest())),
               CmsError);
  EXPECT_THROW(cms.setSignature(Bytes(256, 0)), CmsError);
  EXPECT_THROW(cms.der(), CmsError);  // nothing set
  EXPECT_THROW(CmsSignature(Bytes{1, 2, 3}, {}, Bytes(32)), CmsError);
  EXPECT_THROW(CmsSignature(signer.certDer, {}, Bytes(20)), CmsError);
}

TEST(TimeStamp, RepliesThatAreNotGrantedTokensAreRefused) {
  const Bytes request = makeTimeStampRequest(Bytes(256, 0x42));
  EXPECT_THROW(tokenFromReply(request, Bytes{0x30, 0x03, 0x02, 0x01, 0x00}), TimeStampError);
  EXPECT_THROW(tokenFromReply(request, Bytes{}), TimeStampError);
  // status 2 (rejection), no token
  EXPECT_THROW(tokenFromReply(request, Bytes{0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x02}),
               TimeStampError);
}

}  // namespace
}  // namespace vellumark::sign
