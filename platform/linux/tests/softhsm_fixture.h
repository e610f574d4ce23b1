// SoftHSM2 tokens, certificates, an NSS database and a pinentry stand-in for
// the token service's integration tests. Keys are generated once per test
// run into a template token folder; every test works on its own copy.
#pragma once

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/tokens.h"
#include "platform_linux/token_service.h"

namespace vellumark::linux_platform::testing {

namespace fs = std::filesystem;
using platform::Bytes;

inline constexpr const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";

inline std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline Bytes readBytes(const fs::path& path) {
  std::string text = readText(path);
  return Bytes(text.begin(), text.end());
}

inline void writeText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs a command line; its output goes to the log beside the fixtures.
inline void run(const std::string& command, const fs::path& log) {
  std::string line = command + " >>" + shellQuote(log.string()) + " 2>&1";
  int status = std::system(line.c_str());
  if (status != 0) {
    ADD_FAILURE() << "failed (" << status << "): " << command << "\n" << readText(log);
  }
}

inline std::string makeTempDir(const std::string& stem) {
  std::string pattern = (fs::temp_directory_path() / (stem + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
  return pattern;
}

inline void useTokenFolder(const fs::path& dir) {
  fs::path conf = dir / "softhsm2.conf";
  writeText(conf, "directories.tokendir = " + (dir / "tokens").string() +
                      "\nobjectstore.backend = file\nlog.level = ERROR\n");
  setenv("SOFTHSM2_CONF", conf.c_str(), 1);
}

struct FixtureCert {
  std::string name;      // also the subject CN
  std::string token;     // token label
  std::string id;        // CKA_ID, hex
  std::string keyUsage;  // value of the keyUsage extension
  bool alwaysAuthenticate = false;
  std::string publicKeyOf;  // another entry's key goes into the certificate
  bool withKey = true;      // false: a certificate alone on the token
};

struct FixtureToken {
  std::string label;
  std::string pin;
};

inline Bytes fromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// Everything made once per test run.
class Fixtures {
 public:
  static Fixtures& get() {
    static Fixtures fixtures;
    return fixtures;
  }

  fs::path root;
  fs::path templateDir;  // holds tokens/
  fs::path log;
  fs::path standin;  // the pinentry stand-in program
  fs::path caPem;
  std::map<std::string, Bytes> certs;    // name -> DER
  std::map<std::string, Bytes> modulus;  // name -> key modulus (token keys)
  fs::path nssDir;
  Bytes nssCert;

  static const std::vector<FixtureToken>& tokens() {
    static const std::vector<FixtureToken> list{{"Alpha", "1234"}, {"Beta", "4321"}};
    return list;
  }
  static const std::vector<FixtureCert>& plannedCertificates() {
    static const std::vector<FixtureCert> list{
        {"Alice Signer", "Alpha", "a1", "critical,nonRepudiation", false, "", true},
        {"Alice Auth", "Alpha", "a2", "digitalSignature", false, "", true},
        {"Alice Qualified", "Alpha", "a3", "critical,nonRepudiation", true, "", true},
        {"Loose CA Copy", "Alpha", "c0", "keyCertSign", false, "", false},
        {"Bob Signer", "Beta", "b1", "nonRepudiation", false, "", true},
        {"Bob Mismatch", "Beta", "b2", "nonRepudiation", false, "Bob Signer", true},
    };
    return list;
  }

 private:
  Fixtures() {
    root = makeTempDir("vellumark-p11");
    log = root / "fixtures.log";
    templateDir = root / "template";
    fs::create_directories(templateDir / "tokens");
    useTokenFolder(templateDir);
    makeCa();
    for (const FixtureToken& token : tokens()) {
      run("softhsm2-util --init-token --free --label " + token.label + " --pin " + token.pin +
              " --so-pin 99999999",
          log);
    }
    populateTokens();
    makeNssDatabase();
    makeStandin();
  }
  ~Fixtures() {
    std::error_code error;
    fs::remove_all(root, error);
  }

 public:
  // A certificate for the public key in the PEM file, issued by the test CA.
  Bytes issue(const std::string& name, const fs::path& publicKeyPem, const std::string& usage,
              const std::string& serial, int days = 730) {
    fs::path ext = root / (name + ".ext");
    writeText(ext, "keyUsage=" + usage + "\nbasicConstraints=CA:FALSE\n");
    fs::path out = root / (name + ".der");
    run("openssl x509 -new -force_pubkey " + shellQuote(publicKeyPem.string()) + " -CA " +
            caPem.string() + " -CAkey " + (root / "ca.key").string() + " -subj " +
            shellQuote("/C=EE/O=Vellumark Tests/CN=" + name) + " -set_serial " + serial +
            " -days " + std::to_string(days) + " -extfile " + shellQuote(ext.string()) +
            " -outform DER -out " + shellQuote(out.string()),
        log);
    return readBytes(out);
  }

 private:
  void makeCa() {
    caPem = root / "ca.pem";
    run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + (root / "ca.key").string() +
            " -out " + caPem.string() +
            " -subj '/O=Vellumark Tests/CN=Vellumark Test CA' -days 3650",
        log);
  }

 public:
  static void check(CK_RV rv, const char* what) {
    if (rv != CKR_OK) ADD_FAILURE() << what << " failed: 0x" << std::hex << rv;
  }

  static Bytes subjectOf(const Bytes& der) {
    const unsigned char* p = der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    Bytes subject;
    if (!cert) return subject;
    unsigned char* out = nullptr;
    int length = i2d_X509_NAME(X509_get_subject_name(cert), &out);
    if (length > 0) subject.assign(out, out + length);
    OPENSSL_free(out);
    X509_free(cert);
    return subject;
  }

  static void writePublicKeyPem(const Bytes& n, const Bytes& e, const fs::path& path) {
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    BIGNUM* bn = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
    BIGNUM* be = BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, bn);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, be);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    FILE* file = std::fopen(path.c_str(), "w");
    PEM_write_PUBKEY(file, key);
    std::fclose(file);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    BN_free(bn);
    BN_free(be);
  }

 private:
  // Keys are made on the token (CKA_ALWAYS_AUTHENTICATE needs our own call);
  // certificates with the openssl CLI over the keys' public halves.
  void populateTokens() {
    CK_FUNCTION_LIST* fn = p11_kit_module_load(kSoftHsm, 0);
    ASSERT_NE(fn, nullptr);
    check(p11_kit_module_initialize(fn), "C_Initialize");
    CK_ULONG count = 16;
    CK_SLOT_ID slots[16];
    check(fn->C_GetSlotList(CK_TRUE, slots, &count), "C_GetSlotList");
    std::map<std::string, CK_SESSION_HANDLE> sessions;
    for (CK_ULONG i = 0; i < count; ++i) {
      CK_TOKEN_INFO info{};
      fn->C_GetTokenInfo(slots[i], &info);
      std::string label(reinterpret_cast<char*>(info.label), sizeof info.label);
      label.erase(label.find_last_not_of(' ') + 1);
      for (const FixtureToken& token : tokens()) {
        if (token.label != label) continue;
        CK_SESSION_HANDLE session = 0;
        check(fn->C_OpenSession(slots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                &session),
              "C_OpenSession");
        check(fn->C_Login(session, CKU_USER,
                          reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(token.pin.data())),
                          token.pin.size()),
              "C_Login");
        sessions[label] = session;
      }
    }
    std::map<std::string, fs::path> publicKeys;
    int serial = 0x9A0F00;
    for (const FixtureCert& planned : plannedCertificates()) {
      CK_SESSION_HANDLE session = sessions[planned.token];
      Bytes id = fromHex(planned.id);
      fs::path pem = root / (planned.name + ".pub.pem");
      if (planned.withKey) {
        Bytes n, e;
        generate(fn, session, id, planned.name, planned.alwaysAuthenticate, n, e);
        writePublicKeyPem(n, e, pem);
        modulus[planned.name] = n;
        publicKeys[planned.name] = pem;
      }
      fs::path keyInCert = planned.publicKeyOf.empty() ? pem : publicKeys[planned.publicKeyOf];
      if (!planned.withKey) keyInCert = publicKeys.begin()->second;
      Bytes der = issue(planned.name, keyInCert, planned.keyUsage, "0x" + toHex(++serial));
      certs[planned.name] = der;
      storeCertificate(fn, session, id, planned.name, der);
    }
    for (auto& [label, session] : sessions) fn->C_CloseSession(session);
    p11_kit_module_finalize(fn);
    p11_kit_module_release(fn);
  }

 public:
  static std::string toHex(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
  }

  static void generate(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, Bytes& id,
                       const std::string& label, bool alwaysAuthenticate, Bytes& n, Bytes& e) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL always = alwaysAuthenticate ? CK_TRUE : CK_FALSE;
    CK_ULONG bits = 2048;
    CK_BYTE exponent[] = {1, 0, 1};
    std::string name = label;
    CK_ATTRIBUTE publicTemplate[] = {
        {CKA_TOKEN, &yes, sizeof yes},          {CKA_VERIFY, &yes, sizeof yes},
        {CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
        {CKA_ID, id.data(), id.size()},         {CKA_LABEL, name.data(), name.size()},
    };
    CK_ATTRIBUTE privateTemplate[] = {
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_SENSITIVE, &yes, sizeof yes},
        {CKA_SIGN, &yes, sizeof yes},
        {CKA_ALWAYS_AUTHENTICATE, &always, sizeof always},
        {CKA_ID, id.data(), id.size()},
        {CKA_LABEL, name.data(), name.size()},
    };
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
    check(
        fn->C_GenerateKeyPair(session, &mechanism, publicTemplate, std::size(publicTemplate),
                              privateTemplate, std::size(privateTemplate), &publicKey, &privateKey),
        "C_GenerateKeyPair");
    n = attribute(fn, session, publicKey, CKA_MODULUS);
    e = attribute(fn, session, publicKey, CKA_PUBLIC_EXPONENT);
  }

  static Bytes attribute(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                         CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query{type, nullptr, 0};
    fn->C_GetAttributeValue(session, object, &query, 1);
    Bytes value(query.ulValueLen);
    query.pValue = value.data();
    check(fn->C_GetAttributeValue(session, object, &query, 1), "C_GetAttributeValue");
    return value;
  }

  static void storeCertificate(CK_FUNCTION_LIST* fn, CK_SESSION_HANDLE session, Bytes& id,
                               const std::string& label, Bytes der) {
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    Bytes subject = subjectOf(der);
    std::string name = label;
    CK_ATTRIBUTE attributes[] = {
        {CKA_CLASS, &certClass, sizeof certClass},
        {CKA_CERTIFICATE_TYPE, &type, sizeof type},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_ID, id.data(), id.size()},
        {CKA_LABEL, name.data(), name.size()},
        {CKA_SUBJECT, subject.data(), subject.size()},
        {CKA_VALUE, der.data(), der.size()},
    };
    CK_OBJECT_HANDLE object = 0;
    check(fn->C_CreateObject(session, attributes, std::size(attributes), &object),
          "C_CreateObject");
  }

 private:
  // A software identity in an NSS database made with an empty password.
  void makeNssDatabase() {
    nssDir = root / "nssdb";
    fs::create_directories(nssDir);
    fs::path key = root / "nss.key";
    run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + key.string(), log);
    run("openssl pkey -in " + key.string() + " -pubout -out " + (root / "nss.pub.pem").string(),
        log);
    nssCert = issue("Nora Software", root / "nss.pub.pem", "critical,nonRepudiation", "0x4E55");
    run("openssl x509 -inform DER -in " + shellQuote((root / "Nora Software.der").string()) +
            " -out " + (root / "nss.pem").string(),
        log);
    run("openssl pkcs12 -export -inkey " + key.string() + " -in " + (root / "nss.pem").string() +
            " -name Nora -passout pass: -out " + (root / "nss.p12").string(),
        log);
    run("certutil -N -d sql:" + nssDir.string() + " --empty-password", log);
    run("pk12util -i " + (root / "nss.p12").string() + " -d sql:" + nssDir.string() + " -W ''",
        log);
  }

  // Answers GETPIN from $STANDIN_ANSWERS, one line per ask ("PIN:<escaped
  // pin>", "CANCEL", "TIMEOUT", "BLOCK": never answers, as a person who
  // walked away), and logs every command to $STANDIN_LOG.
  void makeStandin() {
    standin = root / "pinentry-standin";
    writeText(standin, R"(#!/bin/bash
echo "OK Pleased to meet you"
while IFS= read -r line; do
  printf '%s\n' "$line" >> "$STANDIN_LOG"
  case "$line" in
    GETPIN)
      answer=$(head -n 1 "$STANDIN_ANSWERS"); sed -i 1d "$STANDIN_ANSWERS"
      case "$answer" in
        PIN:*) pin=${answer#PIN:}; [ -n "$pin" ] && printf 'S PASSWORD_FROM_CACHE\nD %s\n' "$pin"; echo OK ;;
        CANCEL) echo "ERR 83886179 Operation cancelled <Pinentry>" ;;
        TIMEOUT) echo "ERR 83886142 Timeout" ;;
        BLOCK) ;;
        DIE) exit 1 ;;
        *) echo "ERR 83886081 General error" ;;
      esac ;;
    BYE) echo OK; exit 0 ;;
    *) echo OK ;;
  esac
done
)");
    fs::permissions(standin, fs::perms::owner_all);
  }
};

// Another program writing to a token of the test's copy: keys made on the
// token and certificates stored as given, byte for byte. Use it before the
// service loads SoftHSM.
class TokenWriter {
 public:
  TokenWriter(const std::string& label, const std::string& pin) {
    fn_ = p11_kit_module_load(kSoftHsm, 0);
    if (!fn_) {
      ADD_FAILURE() << "cannot load " << kSoftHsm;
      return;
    }
    Fixtures::check(p11_kit_module_initialize(fn_), "C_Initialize");
    CK_ULONG count = 16;
    CK_SLOT_ID slots[16];
    Fixtures::check(fn_->C_GetSlotList(CK_TRUE, slots, &count), "C_GetSlotList");
    for (CK_ULONG i = 0; i < count; ++i) {
      CK_TOKEN_INFO info{};
      fn_->C_GetTokenInfo(slots[i], &info);
      std::string name(reinterpret_cast<char*>(info.label), sizeof info.label);
      name.erase(name.find_last_not_of(' ') + 1);
      if (name != label) continue;
      Fixtures::check(fn_->C_OpenSession(slots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                         nullptr, &session_),
                      "C_OpenSession");
      std::string secret = pin;
      Fixtures::check(fn_->C_Login(session_, CKU_USER,
                                   reinterpret_cast<CK_UTF8CHAR*>(secret.data()), secret.size()),
                      "C_Login");
    }
    if (session_ == CK_INVALID_HANDLE) ADD_FAILURE() << "no token " << label;
  }
  ~TokenWriter() {
    if (!fn_) return;
    if (session_ != CK_INVALID_HANDLE) fn_->C_CloseSession(session_);
    p11_kit_module_finalize(fn_);
    p11_kit_module_release(fn_);
  }
  TokenWriter(const TokenWriter&) = delete;
  TokenWriter& operator=(const TokenWriter&) = delete;

  // A new RSA-2048 key pair; its public key goes to `pem`. Returns n.
  Bytes generate(const std::string& idHex, const std::string& name, const fs::path& pem,
                 Bytes* exponent = nullptr) {
    Bytes id = fromHex(idHex), n, e;
    Fixtures::generate(fn_, session_, id, name, false, n, e);
    Fixtures::writePublicKeyPem(n, e, pem);
    if (exponent) *exponent = e;
    return n;
  }
  void store(const std::string& idHex, const std::string& name, const Bytes& der) {
    Bytes id = fromHex(idHex);
    Fixtures::storeCertificate(fn_, session_, id, name, der);
  }

 private:
  CK_FUNCTION_LIST* fn_ = nullptr;
  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
};

// A private copy of the tokens and a scripted human at the PIN dialog.
class TokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fixtures& fixtures = Fixtures::get();
    dir = makeTempDir("vellumark-token-test");
    fs::copy(fixtures.templateDir / "tokens", fs::path(dir) / "tokens",
             fs::copy_options::recursive);
    useTokenFolder(dir);
    answers = fs::path(dir) / "answers";
    standinLog = fs::path(dir) / "standin.log";
    writeText(answers, "");
    writeText(standinLog, "");
    setenv("STANDIN_ANSWERS", answers.c_str(), 1);
    setenv("STANDIN_LOG", standinLog.c_str(), 1);
  }

  void TearDown() override {
    service.reset();
    std::error_code error;
    fs::remove_all(dir, error);
  }

  // With an NSS database: the fixtures' shared one, or `nssDir`.
  std::shared_ptr<platform::TokenService> start(bool withNss = false,
                                                const std::string& nssDir = "") {
    TokenServiceOptions options;
    options.modulePaths = {kSoftHsm};
    if (withNss) options.nssDatabaseDir = nssDir.empty() ? Fixtures::get().nssDir.string() : nssDir;
    PinentryOptions pinentry;
    pinentry.program = Fixtures::get().standin.string();
    options.pinPrompt = createPinentryPrompt(pinentry);
    service = createTokenService(options);
    return service;
  }

  void script(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    writeText(answers, text);
  }

  // The commands the dialog received, in order.
  std::vector<std::string> dialogCommands() const {
    std::vector<std::string> lines;
    std::istringstream in(readText(standinLog));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  int timesAsked() const {
    int count = 0;
    for (const auto& line : dialogCommands()) count += line == "GETPIN";
    return count;
  }

  std::string tokenId(const std::string& label) {
    for (const auto& id : service->tokenIDs()) {
      if (id.ends_with(":" + label)) return id;
    }
    return "";
  }

  std::string dir;
  fs::path answers;
  fs::path standinLog;
  std::shared_ptr<platform::TokenService> service;
};

// SHA-256 of the text, for digests to sign.
inline Bytes sha256(const std::string& text) {
  Bytes digest(32);
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

// The keyId of a certificate: SHA-1 of its public key's PKCS#1 DER.
inline Bytes keyIdOf(const Bytes& certDer) {
  const unsigned char* p = certDer.data();
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(certDer.size()));
  Bytes id;
  if (!cert) return id;
  unsigned char* out = nullptr;
  int length = i2d_PublicKey(X509_get0_pubkey(cert), &out);
  if (length > 0) {
    id.resize(20);
    unsigned int size = 0;
    EVP_Digest(out, static_cast<size_t>(length), id.data(), &size, EVP_sha1(), nullptr);
  }
  OPENSSL_free(out);
  X509_free(cert);
  return id;
}

inline Bytes keyIdOf(const std::string& fixtureName) {
  return keyIdOf(Fixtures::get().certs[fixtureName]);
}

// pkcs11-tool logged in on one token of the tests' SoftHSM folder: another
// program changing a token the service has open.
inline std::string onToken(const std::string& label, const std::string& pin) {
  return std::string("pkcs11-tool --module ") + kSoftHsm + " --login --pin " + pin +
         " --token-label " + label;
}

inline constexpr platform::KeyAlgorithm kRsaSha256 =
    platform::KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256;

inline platform::IdentityQuery tokenQuery(const std::string& tokenId) {
  platform::IdentityQuery query;
  query.tokenID = tokenId;
  query.returnAttributes = true;
  query.matchLimit = platform::MatchLimit::All;
  return query;
}

inline platform::IdentityQuery allQuery() {
  platform::IdentityQuery query;
  query.returnAttributes = true;
  query.matchLimit = platform::MatchLimit::All;
  return query;
}

inline platform::IdentityQuery labelQuery(const Bytes& label) {
  platform::IdentityQuery query;
  query.applicationLabel = label;
  return query;
}

inline std::string subjectOf(platform::Identity& identity) {
  auto cert = identity.copyCertificate().certificate;
  return cert ? cert->copySubjectSummary().value_or("?") : "?";
}

inline std::set<std::string> subjects(const platform::QueryResult& result) {
  std::set<std::string> names;
  for (const auto& item : result.items.value_or(std::vector<platform::IdentityItem>{})) {
    names.insert(subjectOf(*item.valueRef));
  }
  return names;
}

// Checks the signature with OpenSSL against the certificate, on its own.
inline bool verifies(const Bytes& certDer, const Bytes& digest, const Bytes& signature) {
  const unsigned char* p = certDer.data();
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(certDer.size()));
  if (!cert) return false;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(X509_get0_pubkey(cert), nullptr);
  bool ok =
      EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
      EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256()) == 1 &&
      EVP_PKEY_verify(ctx, signature.data(), signature.size(), digest.data(), digest.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  X509_free(cert);
  return ok;
}

}  // namespace vellumark::linux_platform::testing
