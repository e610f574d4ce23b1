// The PKCS#11 token service against SoftHSM2 tokens, an NSS database and a
// scripted PIN dialog.
#include <openssl/sha.h>
#include <sys/wait.h>

#include <chrono>
#include <set>
#include <thread>

#include "softhsm_fixture.h"

namespace vellumark::linux_platform::testing {
namespace {

namespace st = platform::status;
using platform::KeyOperation;

// The identity of the named certificate, found by its key's label.
std::shared_ptr<platform::Identity> identityOf(platform::TokenService& service,
                                               const std::string& name) {
  return service.copyMatching(labelQuery(keyIdOf(name))).item;
}

// The identity of the named certificate, found in the list of all.
std::shared_ptr<platform::Identity> listedIdentity(platform::TokenService& service,
                                                   const std::string& name) {
  for (const auto& item :
       service.copyMatching(allQuery()).items.value_or(std::vector<platform::IdentityItem>{})) {
    if (subjectOf(*item.valueRef) == name) return item.valueRef;
  }
  return nullptr;
}

TEST_F(TokenTest, ListsTokensByStableIdentifiersAndPairsCertificatesWithKeys) {
  start();
  auto ids = service->tokenIDs();
  ASSERT_EQ(ids.size(), 2u);  // SoftHSM's empty slot is not a token
  std::string alpha = tokenId("Alpha");
  ASSERT_TRUE(alpha.starts_with("softhsm2:")) << alpha;

  // Identifiers outlive the service and the slot numbers.
  service.reset();
  start();
  EXPECT_EQ(service->tokenIDs(), ids);

  // The loose CA copy has no key and is not an identity; before login the
  // public key stands in for the hidden private key.
  auto result = service->copyMatching(tokenQuery(alpha));
  ASSERT_EQ(result.status, st::kSuccess);
  EXPECT_EQ(subjects(result),
            (std::set<std::string>{"Alice Signer", "Alice Auth", "Alice Qualified"}));
  // The label is the SHA-1 of the certificate's public key.
  for (const auto& item : *result.items) {
    ASSERT_TRUE(std::holds_alternative<Bytes>(item.applicationLabel));
    EXPECT_EQ(std::get<Bytes>(item.applicationLabel),
              keyIdOf(item.valueRef->copyCertificate().certificate->copyData()));
  }
  EXPECT_EQ(subjects(service->copyMatching(tokenQuery(tokenId("Beta")))),
            (std::set<std::string>{"Bob Signer", "Bob Mismatch"}));

  // Nothing is asked while listing.
  EXPECT_EQ(timesAsked(), 0);
  EXPECT_EQ(service->copyMatching(tokenQuery("softhsm2:0:Gone")).status, st::kItemNotFound);
}

TEST_F(TokenTest, QueriesByLabelAndLimit) {
  start();
  // Bob Mismatch's certificate holds Bob Signer's key too: of the two
  // identities with that label, the one whose key is its certificate's.
  auto one = service->copyMatching(labelQuery(keyIdOf("Bob Signer")));
  ASSERT_EQ(one.status, st::kSuccess);
  ASSERT_TRUE(one.item);
  EXPECT_EQ(subjectOf(*one.item), "Bob Signer");
  EXPECT_FALSE(one.items);

  // A CKA_ID is no label.
  EXPECT_EQ(service->copyMatching(labelQuery(fromHex("b1"))).status, st::kItemNotFound);
  EXPECT_EQ(service->copyMatching(labelQuery(Bytes{})).status, st::kItemNotFound);

  auto all = service->copyMatching(allQuery());
  EXPECT_EQ(all.items->size(), 5u);
}

TEST_F(TokenTest, CertificateAccessorsReadTheCertificate) {
  start();
  auto identity = identityOf(*service, "Alice Signer");
  ASSERT_TRUE(identity);
  auto cert = identity->copyCertificate().certificate;
  ASSERT_TRUE(cert);
  const Bytes& der = Fixtures::get().certs["Alice Signer"];
  EXPECT_EQ(cert->copyData(), der);
  EXPECT_EQ(cert->copySubjectSummary(), "Alice Signer");
  EXPECT_EQ(cert->copyIssuerCommonName(), "Vellumark Test CA");
  // Serials count up from 9A0F01: the high bit set keeps the leading zero.
  auto serial = cert->copySerialNumberData();
  ASSERT_TRUE(serial);
  ASSERT_EQ(serial->size(), 4u);
  EXPECT_EQ((*serial)[0], 0x00);
  EXPECT_EQ((*serial)[1], 0x9A);

  // Validity as the certificate says: 730 days from about now.
  auto before = cert->notValidBefore();
  auto after = cert->notValidAfter();
  ASSERT_TRUE(before && after);
  EXPECT_NEAR(*after - *before, 730.0 * 86400, 1);
  EXPECT_NEAR(*before, static_cast<double>(time(nullptr)), 3600);

  // The external form is PKCS#1 RSAPublicKey holding the token key's modulus.
  auto key = cert->copyKey();
  ASSERT_TRUE(key);
  auto external = key->copyExternalRepresentation();
  ASSERT_TRUE(external);
  const Bytes& modulus = Fixtures::get().modulus["Alice Signer"];
  EXPECT_EQ((*external)[0], 0x30);
  EXPECT_NE(std::search(external->begin(), external->end(), modulus.begin(), modulus.end()),
            external->end());
  EXPECT_FALSE(key->isAlgorithmSupported(KeyOperation::Sign, kRsaSha256));
}

TEST_F(TokenTest, SignsAfterOneLoginThatHoldsForLaterSignatures) {
  start();
  script({"PIN:1234"});
  auto identity = identityOf(*service, "Alice Signer");
  ASSERT_TRUE(identity);
  auto keyResult = identity->copyPrivateKey();
  ASSERT_EQ(keyResult.status, st::kSuccess);
  ASSERT_TRUE(keyResult.key);
  EXPECT_TRUE(keyResult.key->isAlgorithmSupported(KeyOperation::Sign, kRsaSha256));

  Bytes digest = sha256("document one");
  auto result = keyResult.key->createSignature(kRsaSha256, digest);
  ASSERT_TRUE(result.signature) << result.error->description.value_or("");
  EXPECT_EQ(result.signature->size(), 256u);
  EXPECT_TRUE(verifies(Fixtures::get().certs["Alice Signer"], digest, *result.signature));

  // The description names the token and the certificate; no cache offered.
  auto commands = dialogCommands();
  bool described = false;
  for (const auto& line : commands) {
    described |= line.starts_with("SETDESC") && line.find("Alpha") != std::string::npos &&
                 line.find("Alice Signer") != std::string::npos;
    EXPECT_FALSE(line.starts_with("SETKEYINFO")) << line;
    EXPECT_EQ(line.find("allow-external-password-cache"), std::string::npos) << line;
  }
  EXPECT_TRUE(described);

  // Another identity on the same token: the login holds, nobody is asked.
  auto other = identityOf(*service, "Alice Auth")->copyPrivateKey();
  ASSERT_TRUE(other.key);
  auto second = other.key->createSignature(kRsaSha256, sha256("document two"));
  ASSERT_TRUE(second.signature);
  EXPECT_TRUE(
      verifies(Fixtures::get().certs["Alice Auth"], sha256("document two"), *second.signature));
  EXPECT_EQ(timesAsked(), 1);

  // Only a SHA-256 digest is signed.
  for (size_t size : {0u, 20u, 33u, 64u}) {
    auto wrong = keyResult.key->createSignature(kRsaSha256, Bytes(size, 7));
    EXPECT_FALSE(wrong.signature) << size;
    ASSERT_TRUE(wrong.error && wrong.error->description) << size;
    EXPECT_NE(wrong.error->description->find("32"), std::string::npos);
  }
}

TEST_F(TokenTest, WrongPinIsAskedAgainWithAnErrorLine) {
  start();
  script({"PIN:0000", "PIN:4321"});
  auto key = identityOf(*service, "Bob Signer")->copyPrivateKey();
  ASSERT_EQ(key.status, st::kSuccess);
  EXPECT_EQ(timesAsked(), 2);
  int errors = 0;
  for (const auto& line : dialogCommands()) errors += line.starts_with("SETERROR Wrong PIN");
  EXPECT_EQ(errors, 1);
  auto result = key.key->createSignature(kRsaSha256, sha256("x"));
  ASSERT_TRUE(result.signature);
}

TEST_F(TokenTest, CancelledOrFailingDialogIsReported) {
  start();
  script({"CANCEL"});
  auto identity = identityOf(*service, "Bob Signer");
  auto cancelled = identity->copyPrivateKey();
  EXPECT_EQ(cancelled.status, st::kUserCanceled);
  EXPECT_FALSE(cancelled.key);
  EXPECT_TRUE(service->copyErrorMessageString(st::kUserCanceled));

  script({"TIMEOUT"});
  EXPECT_EQ(identity->copyPrivateKey().status, st::kUserCanceled);

  // A dialog program that dies is no cancel.
  script({"DIE"});
  auto broken = identity->copyPrivateKey();
  EXPECT_EQ(broken.status, st::kInteractionNotAllowed);
  auto message = service->copyErrorMessageString(st::kInteractionNotAllowed);
  ASSERT_TRUE(message);
  EXPECT_NE(message->find("PIN dialog"), std::string::npos) << *message;

  // The next request asks again and succeeds.
  script({"PIN:4321"});
  EXPECT_EQ(identity->copyPrivateKey().status, st::kSuccess);
}

TEST_F(TokenTest, AlwaysAuthenticateKeyAsksForEverySignature) {
  start();
  script({"PIN:1234", "PIN:1234", "PIN:9999", "PIN:1234", "CANCEL"});
  auto key = identityOf(*service, "Alice Qualified")->copyPrivateKey();
  ASSERT_EQ(key.status, st::kSuccess);
  EXPECT_EQ(timesAsked(), 1);  // the login

  Bytes digest = sha256("qualified");
  auto first = key.key->createSignature(kRsaSha256, digest);
  ASSERT_TRUE(first.signature) << first.error->description.value_or("");
  EXPECT_TRUE(verifies(Fixtures::get().certs["Alice Qualified"], digest, *first.signature));
  EXPECT_EQ(timesAsked(), 2);

  // A wrong signature PIN is asked again; then it signs.
  auto second = key.key->createSignature(kRsaSha256, digest);
  ASSERT_TRUE(second.signature) << second.error->description.value_or("");
  EXPECT_EQ(timesAsked(), 4);

  // Cancelling the signature PIN fails the signature with a description.
  auto third = key.key->createSignature(kRsaSha256, digest);
  EXPECT_FALSE(third.signature);
  ASSERT_TRUE(third.error && third.error->description);
  EXPECT_NE(third.error->description->find("cancelled"), std::string::npos);

  // The login itself survived: an ordinary key signs without asking.
  auto plain = identityOf(*service, "Alice Signer")->copyPrivateKey();
  ASSERT_TRUE(plain.key);
  EXPECT_TRUE(plain.key->createSignature(kRsaSha256, digest).signature);
  EXPECT_EQ(timesAsked(), 5);
}

TEST_F(TokenTest, SignatureThatDoesNotMatchTheCertificateIsRefused) {
  start();
  script({"PIN:4321"});
  auto key = listedIdentity(*service, "Bob Mismatch")->copyPrivateKey();
  ASSERT_TRUE(key.key);
  auto result = key.key->createSignature(kRsaSha256, sha256("x"));
  EXPECT_FALSE(result.signature);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->description, "Signature does not match the certificate");
}

TEST_F(TokenTest, TokenRemovedBetweenListingAndSigning) {
  start();
  script({"PIN:4321"});
  auto identity = identityOf(*service, "Bob Signer");
  auto key = identity->copyPrivateKey();
  ASSERT_TRUE(key.key);
  ASSERT_TRUE(key.key->createSignature(kRsaSha256, sha256("x")).signature);

  run("softhsm2-util --delete-token --token Beta", Fixtures::get().log);
  EXPECT_EQ(service->tokenIDs().size(), 1u);
  auto result = key.key->createSignature(kRsaSha256, sha256("x"));
  EXPECT_FALSE(result.signature);
  ASSERT_TRUE(result.error && result.error->description);
  EXPECT_NE(result.error->description->find("no longer present"), std::string::npos)
      << *result.error->description;
  EXPECT_EQ(identity->copyPrivateKey().status, st::kNotAvailable);
  // The status's text tells what happened, not a generic line.
  EXPECT_NE(service->copyErrorMessageString(st::kNotAvailable).value_or("").find("no longer"),
            std::string::npos)
      << service->copyErrorMessageString(st::kNotAvailable).value_or("");
}

// Another program changes the objects of a token that stays present: what
// the service kept of it must not outlive the change.

TEST_F(TokenTest, ObjectsChangedWhileTheTokenStaysAreSeen) {
  start();
  std::string alpha = tokenId("Alpha");
  const fs::path& log = Fixtures::get().log;
  ASSERT_EQ(subjects(service->copyMatching(tokenQuery(alpha))).size(), 3u);
  ASSERT_TRUE(identityOf(*service, "Alice Auth"));

  // A certificate removed: the search by label and the token's listing drop it.
  run(onToken("Alpha", "1234") + " --delete-object --type cert --id a2", log);
  EXPECT_EQ(service->copyMatching(labelQuery(keyIdOf("Alice Auth"))).status, st::kItemNotFound);
  EXPECT_EQ(subjects(service->copyMatching(tokenQuery(alpha))),
            (std::set<std::string>{"Alice Signer", "Alice Qualified"}));

  // A new certificate for the key, larger than one read usually takes: the
  // search by label finds it without a listing in between.
  const fs::path& root = Fixtures::get().root;
  fs::path ext = fs::path(dir) / "large.ext";
  std::string names = "subjectAltName=DNS:host0.example.test";
  for (int i = 1; i < 180; ++i) names += ",DNS:host" + std::to_string(i) + ".example.test";
  writeText(ext, names + "\nkeyUsage=digitalSignature\n");
  fs::path der = fs::path(dir) / "large.der";
  run("openssl x509 -new -force_pubkey " + shellQuote((root / "Alice Auth.pub.pem").string()) +
          " -CA " + (root / "ca.pem").string() + " -CAkey " + (root / "ca.key").string() +
          " -subj /CN=Alice-Large -days 30 -extfile " + ext.string() + " -outform DER -out " +
          der.string(),
      log);
  Bytes large = readBytes(der);
  ASSERT_GT(large.size(), 4096u);  // pkcs11-tool takes up to 5000
  run(onToken("Alpha", "1234") + " --write-object " + der.string() + " --type cert --id a2", log);
  auto found = service->copyMatching(labelQuery(keyIdOf(large)));
  ASSERT_EQ(found.status, st::kSuccess);
  EXPECT_EQ(found.item->copyCertificate().certificate->copyData(), large);
  EXPECT_EQ(subjectOf(*found.item), "Alice-Large");
  EXPECT_EQ(subjects(service->copyMatching(tokenQuery(alpha))).size(), 3u);
}

TEST_F(TokenTest, PrivateKeyRemovedWhileTheTokenStays) {
  start();
  script({"PIN:4321"});
  auto identity = identityOf(*service, "Bob Signer");
  auto key = identity->copyPrivateKey();
  ASSERT_TRUE(key.key);
  ASSERT_TRUE(key.key->createSignature(kRsaSha256, sha256("x")).signature);

  run(onToken("Beta", "4321") + " --delete-object --type privkey --id b1", Fixtures::get().log);
  // The key in hand: its handle is looked for again and not found.
  auto result = key.key->createSignature(kRsaSha256, sha256("x"));
  EXPECT_FALSE(result.signature);
  ASSERT_TRUE(result.error && result.error->description);
  EXPECT_NE(result.error->description->find("no longer on the token"), std::string::npos)
      << *result.error->description;
  // A new request: the certificate alone is no identity any more.
  EXPECT_FALSE(listedIdentity(*service, "Bob Signer"));
  // Bob Mismatch, on the same token, still signs with its own key.
  auto other = listedIdentity(*service, "Bob Mismatch")->copyPrivateKey();
  ASSERT_TRUE(other.key);
  EXPECT_TRUE(other.key->isAlgorithmSupported(KeyOperation::Sign, kRsaSha256));
  EXPECT_EQ(timesAsked(), 1);
}

TEST_F(TokenTest, NssDatabaseIdentitiesJoinOnlyTheAllIdentitiesQuery) {
  start(true);
  EXPECT_EQ(service->tokenIDs().size(), 2u);
  auto all = service->copyMatching(allQuery());
  ASSERT_EQ(all.status, st::kSuccess);
  auto names = subjects(all);
  EXPECT_TRUE(names.contains("Nora Software"));
  EXPECT_TRUE(names.contains("Alice Signer"));
  // Token identities come first.
  EXPECT_EQ(subjectOf(*all.items->back().valueRef), "Nora Software");

  // The database has no password: it signs without a dialog.
  auto key = all.items->back().valueRef->copyPrivateKey();
  ASSERT_EQ(key.status, st::kSuccess);
  EXPECT_TRUE(key.key->isAlgorithmSupported(KeyOperation::Sign, kRsaSha256));
  Bytes digest = sha256("software");
  auto result = key.key->createSignature(kRsaSha256, digest);
  ASSERT_TRUE(result.signature) << result.error->description.value_or("");
  EXPECT_TRUE(verifies(Fixtures::get().nssCert, digest, *result.signature));
  EXPECT_EQ(timesAsked(), 0);
}

TEST_F(TokenTest, ThreeWrongPinsEndTheRequest) {
  // SoftHSM counts no tries: without a limit it would ask forever.
  start();
  script({"PIN:0000", "PIN:1111", "PIN:2222", "PIN:4321"});
  auto identity = identityOf(*service, "Bob Signer");
  auto refused = identity->copyPrivateKey();
  EXPECT_EQ(refused.status, st::kAuthFailed);
  EXPECT_EQ(timesAsked(), 3);
  EXPECT_TRUE(service->copyErrorMessageString(st::kAuthFailed)
                  .value_or("")
                  .starts_with("Wrong PIN entered three times"));
  // The next request asks afresh.
  EXPECT_EQ(identityOf(*service, "Bob Signer")->copyPrivateKey().status, st::kSuccess);
}

TEST_F(TokenTest, ModuleThatFailsToLoadIsReportedNotTakenForNoToken) {
  ::testing::internal::CaptureStderr();
  TokenServiceOptions options;
  options.modulePaths = {"/nonexistent/libnothing.so"};
  auto broken = createTokenService(options);
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(broken->tokenIDs().empty());
  EXPECT_NE(said.find("PKCS#11 module /nonexistent/libnothing.so: p11_kit_module_load"),
            std::string::npos)
      << said;
}

class CancelTest : public TokenTest {
 protected:
  // Cancels from another thread once the dialog was asked `n` times.
  std::thread cancelAfterAsks(int n) {
    return std::thread([this, n] {
      while (timesAsked() < n) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      service->cancelInteraction();
    });
  }
};

TEST_F(CancelTest, CancelDismissesTheOpenDialogAndLeavesNoProgram) {
  start();
  // Wrong PIN, then a dialog nobody answers: cancelled from another thread.
  script({"PIN:0000", "BLOCK"});
  auto identity = identityOf(*service, "Bob Signer");
  std::thread canceller = cancelAfterAsks(2);
  auto key = identity->copyPrivateKey();
  canceller.join();
  EXPECT_EQ(key.status, st::kUserCanceled);
  EXPECT_EQ(timesAsked(), 2);
  // The dialog program was ended and reaped: this process has no child.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  // A cancel with no request running touches no later request.
  service->cancelInteraction();
  script({"PIN:4321"});
  auto again = identityOf(*service, "Bob Signer")->copyPrivateKey();
  EXPECT_EQ(again.status, st::kSuccess);
}

TEST_F(CancelTest, CancelOfTheSignatureDialogFailsTheSignature) {
  start();
  script({"PIN:1234", "BLOCK"});
  auto key = identityOf(*service, "Alice Qualified")->copyPrivateKey();
  ASSERT_TRUE(key.key);
  std::thread canceller = cancelAfterAsks(2);
  auto result = key.key->createSignature(kRsaSha256, sha256("x"));
  canceller.join();
  EXPECT_FALSE(result.signature);
  ASSERT_TRUE(result.error && result.error->description);
  EXPECT_EQ(*result.error->description, "PIN entry was cancelled");
}

// The process-wide service: registered modules and the user's NSS database.
// In a child process, as the modules stay loaded for the process's life.
TEST_F(TokenTest, RegisteredModulesWithoutTrustPolicyAndTheUsersNssDatabase) {
  fs::path home = fs::path(dir) / "home";
  fs::create_directories(home / ".pki");
  fs::copy(Fixtures::get().nssDir, home / ".pki" / "nssdb", fs::copy_options::recursive);
  EXPECT_EXIT(
      {
        setenv("HOME", home.c_str(), 1);
        auto registered = createTokenService();
        auto ids = registered->tokenIDs();
        // No trust-policy module, no empty slot: the two tokens alone.
        bool ok = ids.size() == 2;
        for (const auto& id : ids) {
          ok = ok && id.starts_with("softhsm2:") &&
               (id.ends_with(":Alpha") || id.ends_with(":Beta"));
        }
        auto all = registered->copyMatching(allQuery());
        ok = ok && all.items && all.items->size() == 6 &&
             subjectOf(*all.items->back().valueRef) == "Nora Software";
        if (!ok) {
          for (const auto& id : ids) std::fprintf(stderr, "token %s\n", id.c_str());
          for (const auto& name : subjects(all))
            std::fprintf(stderr, "identity %s\n", name.c_str());
        }
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vellumark::linux_platform::testing
