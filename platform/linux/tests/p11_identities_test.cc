// What the token service lists: tokens as they are at each query, keys told
// apart across cards, and certificates OpenSSL refuses to read as a whole.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "softhsm_fixture.h"

namespace vellumark::linux_platform::testing {
namespace {

namespace st = platform::status;

// The listed identity whose certificate is these bytes.
std::shared_ptr<platform::Identity> byCertificate(platform::TokenService& service,
                                                  const Bytes& der) {
  for (const auto& item :
       service.copyMatching(allQuery()).items.value_or(std::vector<platform::IdentityItem>{})) {
    if (item.valueRef->copyCertificate().certificate->copyData() == der) return item.valueRef;
  }
  return nullptr;
}

Bytes sha1Of(const Bytes& data) {
  Bytes digest(20);
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha1(), nullptr);
  return digest;
}

// PKCS#1 RSAPublicKey of the key in a PEM file.
Bytes rsaPublicKeyOf(const fs::path& pem) {
  FILE* file = std::fopen(pem.c_str(), "r");
  EVP_PKEY* key = file ? PEM_read_PUBKEY(file, nullptr, nullptr, nullptr) : nullptr;
  if (file) std::fclose(file);
  Bytes out;
  unsigned char* der = nullptr;
  int length = key ? i2d_PublicKey(key, &der) : 0;
  if (length > 0) out.assign(der, der + length);
  OPENSSL_free(der);
  EVP_PKEY_free(key);
  return out;
}

bool verifiesWithKey(const fs::path& pem, const Bytes& digest, const Bytes& signature) {
  FILE* file = std::fopen(pem.c_str(), "r");
  EVP_PKEY* key = file ? PEM_read_PUBKEY(file, nullptr, nullptr, nullptr) : nullptr;
  if (file) std::fclose(file);
  EVP_PKEY_CTX* ctx = key ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
  bool ok =
      ctx && EVP_PKEY_verify_init(ctx) == 1 &&
      EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
      EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
      EVP_PKEY_verify(ctx, signature.data(), signature.size(), digest.data(), digest.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(key);
  return ok;
}

// The certificate with serial 05 re-encoded as 00 05: valid BER, not DER.
// Expects openssl's layout: 30 82 LLLL 30 82 LLLL A0 03 02 01 02 02 01 05.
Bytes withPaddedSerial(Bytes der) {
  const Bytes head{0xA0, 0x03, 0x02, 0x01, 0x02, 0x02, 0x01, 0x05};
  EXPECT_TRUE(der.size() > 16 && der[1] == 0x82 && der[5] == 0x82 &&
              std::equal(head.begin(), head.end(), der.begin() + 8));
  der[14] = 0x02;
  der.insert(der.begin() + 15, 0x00);
  for (size_t at : {2u, 6u}) {
    unsigned length = (unsigned{der[at]} << 8 | der[at + 1]) + 1;
    der[at] = static_cast<uint8_t>(length >> 8);
    der[at + 1] = static_cast<uint8_t>(length);
  }
  return der;
}

// The certificate with its key's algorithm made unknown (rsaEncryption
// becomes 1.2.840.113549.1.1.99): its key cannot be read.
Bytes withUnknownKeyAlgorithm(Bytes der) {
  const Bytes rsaEncryption{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
  auto at = std::search(der.begin(), der.end(), rsaEncryption.begin(), rsaEncryption.end());
  EXPECT_NE(at, der.end());
  if (at != der.end()) *(at + 10) = 0x63;
  return der;
}

TEST_F(TokenTest, EveryQuerySeesTheTokenAsItIsNow) {
  start();
  script({"PIN:1234"});
  const Bytes& alice = Fixtures::get().certs["Alice Signer"];
  auto identity = byCertificate(*service, alice);
  ASSERT_TRUE(identity);
  auto key = identity->copyPrivateKey().key;
  ASSERT_TRUE(key);
  ASSERT_TRUE(key->createSignature(kRsaSha256, sha256("x")).signature);

  // An unchanged token gives the same answer.
  auto before = subjects(service->copyMatching(allQuery()));
  EXPECT_EQ(subjects(service->copyMatching(allQuery())), before);

  // Another program deletes the identity: the very next query, and every
  // one after, no longer finds it.
  const fs::path& log = Fixtures::get().log;
  for (const char* type : {"cert", "privkey", "pubkey"}) {
    run(onToken("Alpha", "1234") + " --delete-object --type " + type + " --id a1", log);
  }
  EXPECT_FALSE(byCertificate(*service, alice));
  EXPECT_FALSE(byCertificate(*service, alice));
  EXPECT_EQ(service->copyMatching(labelQuery(keyIdOf("Alice Signer"))).status, st::kItemNotFound);
  before.erase("Alice Signer");
  EXPECT_EQ(subjects(service->copyMatching(allQuery())), before);
}

TEST_F(TokenTest, IdentityAddedToTheNssDatabaseIsListedAtOnce) {
  fs::path nssDir = fs::path(dir) / "nssdb";
  fs::copy(Fixtures::get().nssDir, nssDir, fs::copy_options::recursive);
  start(true, nssDir.string());
  ASSERT_FALSE(subjects(service->copyMatching(allQuery())).contains("Nina Added"));

  Fixtures& fixtures = Fixtures::get();
  fs::path key = fs::path(dir) / "nina.key";
  fs::path pub = fs::path(dir) / "nina.pub.pem";
  fs::path p12 = fs::path(dir) / "nina.p12";
  run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + key.string(),
      fixtures.log);
  run("openssl pkey -in " + key.string() + " -pubout -out " + pub.string(), fixtures.log);
  fixtures.issue("Nina Added", pub, "critical,nonRepudiation", "0x4E56");
  run("openssl pkcs12 -export -inkey " + key.string() + " -in " +
          shellQuote((fixtures.root / "Nina Added.der").string()) +
          " -name Nina -passout pass: -out " + p12.string(),
      fixtures.log);
  run("pk12util -i " + p12.string() + " -d sql:" + nssDir.string() + " -W ''", fixtures.log);

  EXPECT_TRUE(subjects(service->copyMatching(allQuery())).contains("Nina Added"));
}

// OpenSSL 3 refuses a serial number with a needless leading zero byte;
// cards in use carry such certificates.
TEST_F(TokenTest, CertificatesOpenSslRefusesAreReadFieldByField) {
  const fs::path padded = fs::path(dir) / "padded.pub.pem";
  const fs::path unknown = fs::path(dir) / "unknown.pub.pem";
  Bytes paddedDer, unknownDer;
  {
    TokenWriter beta("Beta", "4321");
    beta.generate("d1", "Dora", padded);
    beta.generate("d2", "Uma", unknown);
    paddedDer = withPaddedSerial(
        Fixtures::get().issue("Dora Zero", padded, "critical,nonRepudiation", "5", 30));
    unknownDer = withUnknownKeyAlgorithm(
        Fixtures::get().issue("Uma Unknown", unknown, "critical,nonRepudiation", "0x77", 30));
    beta.store("d1", "Dora", paddedDer);
    beta.store("d2", "Uma", unknownDer);
  }
  const unsigned char* p = paddedDer.data();
  X509* strict = d2i_X509(nullptr, &p, static_cast<long>(paddedDer.size()));
  ASSERT_EQ(strict, nullptr) << "OpenSSL reads it: the test no longer covers the tolerant path";

  start();
  script({"PIN:4321"});
  // Listed with its own facts, not stand-ins.
  auto identity = byCertificate(*service, paddedDer);
  ASSERT_TRUE(identity);
  auto cert = identity->copyCertificate().certificate;
  EXPECT_EQ(cert->copySubjectSummary(), "Dora Zero");
  EXPECT_EQ(cert->copyIssuerCommonName(), "Vellumark Test CA");
  EXPECT_EQ(cert->copySerialNumberData(), (Bytes{0x00, 0x05}));
  ASSERT_TRUE(cert->notValidBefore() && cert->notValidAfter());
  EXPECT_NEAR(*cert->notValidAfter() - *cert->notValidBefore(), 30.0 * 86400, 1);
  ASSERT_TRUE(cert->copyKey());
  EXPECT_EQ(cert->copyKey()->copyExternalRepresentation(), rsaPublicKeyOf(padded));

  // Its key is found by label and signs; the check reads the key too.
  auto byLabel = service->copyMatching(labelQuery(sha1Of(rsaPublicKeyOf(padded))));
  ASSERT_EQ(byLabel.status, st::kSuccess);
  auto key = byLabel.item->copyPrivateKey().key;
  ASSERT_TRUE(key);
  Bytes digest = sha256("padded");
  auto signature = key->createSignature(kRsaSha256, digest);
  ASSERT_TRUE(signature.signature) << signature.error->description.value_or("");
  EXPECT_TRUE(verifiesWithKey(padded, digest, *signature.signature));

  // A certificate whose key cannot be read: the key pair's own public key
  // gives the label and checks the signature, which is not refused.
  auto unreadable = byCertificate(*service, unknownDer);
  ASSERT_TRUE(unreadable);
  EXPECT_FALSE(unreadable->copyCertificate().certificate->copyKey());
  Bytes label = sha1Of(rsaPublicKeyOf(unknown));
  auto found = service->copyMatching(labelQuery(label));
  ASSERT_EQ(found.status, st::kSuccess);
  EXPECT_EQ(found.item->copyCertificate().certificate->copyData(), unknownDer);
  auto unknownKey = found.item->copyPrivateKey().key;
  ASSERT_TRUE(unknownKey);
  EXPECT_EQ(unknownKey->copyExternalRepresentation(), rsaPublicKeyOf(unknown));
  auto second = unknownKey->createSignature(kRsaSha256, digest);
  ASSERT_TRUE(second.signature) << second.error->description.value_or("");
  EXPECT_TRUE(verifiesWithKey(unknown, digest, *second.signature));
  EXPECT_EQ(timesAsked(), 1);
}

}  // namespace
}  // namespace vellumark::linux_platform::testing
