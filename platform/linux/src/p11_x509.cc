// Certificate facts, public keys and signature checks with OpenSSL.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <ctime>

#include "p11_internal.h"

namespace vellumark::linux_platform::p11 {
namespace {

struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct NameFree {
  void operator()(X509_NAME* name) const { X509_NAME_free(name); }
};
struct TimeFree {
  void operator()(ASN1_TIME* time) const { ASN1_TIME_free(time); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr parse(const Bytes& der) {
  const unsigned char* p = der.data();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  return cert;
}

std::optional<std::string> entryText(const X509_NAME* name, int index) {
  const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, index);
  if (!entry) return std::nullopt;
  unsigned char* utf8 = nullptr;
  int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
  if (length < 0) return std::nullopt;
  std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
  OPENSSL_free(utf8);
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<std::string> commonName(const X509_NAME* name) {
  if (!name) return std::nullopt;
  int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  return index < 0 ? std::nullopt : entryText(name, index);
}

// The common name, else the most telling other part of the name.
std::optional<std::string> summary(const X509_NAME* name) {
  if (auto cn = commonName(name)) return cn;
  if (!name) return std::nullopt;
  for (int nid : {NID_pkcs9_emailAddress, NID_organizationalUnitName, NID_organizationName,
                  NID_surname, NID_givenName}) {
    int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index >= 0) {
      if (auto text = entryText(name, index)) return text;
    }
  }
  for (int index = X509_NAME_entry_count(name) - 1; index >= 0; --index) {
    if (auto text = entryText(name, index)) return text;
  }
  return std::nullopt;
}

std::optional<double> seconds(const ASN1_TIME* time) {
  struct tm parts {};
  if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return std::nullopt;
  return static_cast<double>(timegm(&parts));
}

// The INTEGER's content bytes: its DER without tag and length.
std::optional<Bytes> serialContent(const ASN1_INTEGER* serial) {
  if (!serial) return std::nullopt;
  unsigned char* der = nullptr;
  int length = i2d_ASN1_INTEGER(serial, &der);
  if (length < 2) {
    OPENSSL_free(der);
    return std::nullopt;
  }
  size_t header = 2;
  if (der[1] & 0x80) header += der[1] & 0x7F;
  Bytes content;
  if (header <= static_cast<size_t>(length)) content.assign(der + header, der + length);
  OPENSSL_free(der);
  return content;
}

}  // namespace

namespace {

void readPublicKey(EVP_PKEY* key, CertificateFacts& facts, ParsedCertificate& parsed) {
  facts.rsa = EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
  unsigned char* out = nullptr;
  // PKCS#1 RSAPublicKey for RSA, the encoded point for EC keys.
  int length = i2d_PublicKey(key, &out);
  if (length > 0) facts.publicKey = Bytes(out, out + length);
  OPENSSL_free(out);
  if (EVP_PKEY_up_ref(key) == 1) parsed.publicKey.reset(key, PkeyFree());
}

// The fields one by one, for a certificate OpenSSL refuses as a whole.
void readTolerantly(ParsedCertificate& parsed) {
  auto fields = walkCertificate(parsed.der);
  if (!fields) return;
  CertificateFacts& facts = parsed.facts.emplace();
  facts.serialNumber = fields->serialContent;
  auto name = [](const Bytes& der) {
    const unsigned char* p = der.data();
    return std::unique_ptr<X509_NAME, NameFree>(
        d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size())));
  };
  auto subject = name(fields->subject);
  facts.subjectSummary = summary(subject.get());
  facts.issuerCommonName = commonName(name(fields->issuer).get());
  auto time = [](const Bytes& der) -> std::optional<double> {
    const unsigned char* p = der.data();
    std::unique_ptr<ASN1_TIME, TimeFree> value(
        d2i_ASN1_TIME(nullptr, &p, static_cast<long>(der.size())));
    return seconds(value.get());
  };
  facts.notBefore = time(fields->notBefore);
  facts.notAfter = time(fields->notAfter);
  const unsigned char* p = fields->publicKeyInfo.data();
  std::unique_ptr<EVP_PKEY, PkeyFree> key(
      d2i_PUBKEY(nullptr, &p, static_cast<long>(fields->publicKeyInfo.size())));
  if (key) readPublicKey(key.get(), facts, parsed);
}

}  // namespace

std::shared_ptr<const ParsedCertificate> parseCertificate(Bytes der) {
  auto parsed = std::make_shared<ParsedCertificate>();
  parsed->der = std::move(der);
  X509Ptr cert = parse(parsed->der);
  if (!cert) {
    readTolerantly(*parsed);
    return parsed;
  }
  CertificateFacts& facts = parsed->facts.emplace();
  facts.subjectSummary = summary(X509_get_subject_name(cert.get()));
  facts.issuerCommonName = commonName(X509_get_issuer_name(cert.get()));
  facts.serialNumber = serialContent(X509_get0_serialNumber(cert.get()));
  facts.notBefore = seconds(X509_get0_notBefore(cert.get()));
  facts.notAfter = seconds(X509_get0_notAfter(cert.get()));
  if (EVP_PKEY* key = X509_get0_pubkey(cert.get())) readPublicKey(key, facts, *parsed);
  return parsed;
}

std::shared_ptr<EVP_PKEY> rsaPublicKey(const Bytes& modulus, const Bytes& exponent) {
  if (modulus.empty() || exponent.empty()) return nullptr;
  Bytes der = rsaPublicKeyDer(modulus, exponent);
  const unsigned char* p = der.data();
  EVP_PKEY* key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size()));
  if (!key) return nullptr;
  return std::shared_ptr<EVP_PKEY>(key, PkeyFree());
}

bool verifyDigestSignature(EVP_PKEY* key, const Bytes& digest, const Bytes& signature) {
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key, nullptr));
  // A check that cannot be set up proves nothing either way.
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1) {
    return true;
  }
  return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(),
                         digest.size()) == 1;
}

Bytes sha1(const Bytes& data) {
  Bytes digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha1(), nullptr) != 1) {
    return {};
  }
  digest.resize(length);
  return digest;
}

namespace {

// A certificate's public key: it can be exported but never signs.
class PublicKey : public platform::Key {
 public:
  PublicKey(Bytes external, bool rsa) : external_(std::move(external)), rsa_(rsa) {}
  std::optional<Bytes> copyExternalRepresentation() override { return external_; }
  bool isAlgorithmSupported(platform::KeyOperation, platform::KeyAlgorithm) override {
    return false;
  }
  platform::SignatureResult createSignature(platform::KeyAlgorithm, const Bytes&) override {
    return {std::nullopt,
            platform::SignatureError{rsa_ ? "A public key cannot sign"
                                          : "A public key cannot sign, and this one is not RSA"}};
  }

 private:
  Bytes external_;
  bool rsa_;
};

}  // namespace

std::shared_ptr<platform::Key> makePublicKey(Bytes externalRepresentation, bool rsa) {
  return std::make_shared<PublicKey>(std::move(externalRepresentation), rsa);
}

}  // namespace vellumark::linux_platform::p11
