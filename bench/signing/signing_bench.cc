// "signBytes" over the bridge to the built host (a process of its own, logged
// in, RSA-3072 on SoftHSM2) beside raw C_SignInit + C_Sign on the same key in
// this process, in the same run; "getCertificates" on 4 tokens with 5
// certificates each. The same calls through the plugin in-process (codec, no
// socket) and the token service's own steps show where the time goes.
//
// The host needs a display: run it as ./run bench does, inside
// tests/env/with-test-env.sh. Goal: the bridge round trip within 1.25x of raw
// C_Sign.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <glib.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "embedding/bridge_client.h"
#include "embedding/codec.h"
#include "embedding/engine.h"
#include "embedding/registrar.h"
#include "embedding/task_queue.h"
#include "embedding/testing.h"
#include "embedding_glib/main_queue.h"
#include "platform_linux/token_service.h"
#include "tessel_macos/tessel_macos_plugin.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using vellumark::Bytes;
using vellumark::ChannelMap;
using vellumark::ChannelValue;

constexpr const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* kPin = "1234";
constexpr const char* kSignerToken = "Bench1";
constexpr CK_BYTE kSignerId = 0x10;
constexpr size_t kSignatureSize = 384;  // RSA-3072
constexpr auto kHostStart = std::chrono::seconds(30);

void sh(const std::string& command, const fs::path& log) {
  std::string line = command + " >>'" + log.string() + "' 2>&1";
  if (std::system(line.c_str()) != 0) {
    std::fprintf(stderr, "setup failed: %s (see %s)\n", command.c_str(), log.c_str());
    std::exit(1);
  }
}

Bytes readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  return Bytes(s.begin(), s.end());
}

Bytes digestOf(const std::string& text) {
  Bytes digest(32);
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

Bytes keyIdOf(const Bytes& certDer) {
  const unsigned char* p = certDer.data();
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(certDer.size()));
  Bytes id(20);
  unsigned char* out = nullptr;
  int length = cert ? i2d_PublicKey(X509_get0_pubkey(cert), &out) : 0;
  unsigned int size = 0;
  if (length > 0) {
    EVP_Digest(out, static_cast<size_t>(length), id.data(), &size, EVP_sha1(), nullptr);
  }
  OPENSSL_free(out);
  X509_free(cert);
  return id;
}

// The benchmark's own tokens, in a private folder removed at exit: 4 tokens
// with 5 certificates each; the signer's RSA-3072 key is made on Bench1.
struct Tokens {
  fs::path root;
  Bytes signerCert;
  Bytes signerKeyId;  // SHA-1 of the certificate's public key, as listed

  Tokens() {
    std::string pattern = (fs::temp_directory_path() / "vellumark-bench-XXXXXX").string();
    root = mkdtemp(pattern.data());
    fs::path log = root / "setup.log";
    fs::create_directories(root / "tokens");
    std::ofstream(root / "softhsm2.conf") << "directories.tokendir = " << (root / "tokens").string()
                                          << "\nobjectstore.backend = file\nlog.level = ERROR\n";
    // Before any module loads; the host process inherits it.
    setenv("SOFTHSM2_CONF", (root / "softhsm2.conf").c_str(), 1);
    std::string r = root.string();
    std::string tool = std::string("pkcs11-tool --module ") + kSoftHsm + " --login --pin " + kPin;
    sh("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + r + "/ca.key -out " + r +
           "/ca.pem -subj /CN=Bench-CA -days 30",
       log);
    std::ofstream(root / "ext") << "keyUsage=critical,nonRepudiation\n";
    auto issue = [&](const std::string& pub, const std::string& cn, const std::string& out) {
      sh("openssl x509 -new -force_pubkey " + pub + " -CA " + r + "/ca.pem -CAkey " + r +
             "/ca.key -subj /CN=" + cn + " -days 30 -extfile " + r + "/ext -outform DER -out " +
             out,
         log);
    };
    for (int t = 1; t <= 4; ++t) {
      std::string label = "Bench" + std::to_string(t);
      sh("softhsm2-util --init-token --free --label " + label + " --pin " + kPin +
             " --so-pin 99999999",
         log);
      std::string onToken = tool + " --token-label " + label;
      for (int k = 0; k < 5; ++k) {
        std::string id = std::to_string(t) + std::to_string(k);
        std::string cert = r + "/cert" + id + ".der";
        if (t == 1 && k == 0) {
          sh(onToken + " --keypairgen --key-type rsa:3072 --usage-sign --id " + id +
                 " --label signer",
             log);
          sh(onToken + " --read-object --type pubkey --id " + id + " -o " + r + "/signer.pub.der",
             log);
          sh("openssl pkey -pubin -inform DER -in " + r + "/signer.pub.der -out " + r +
                 "/signer.pub.pem",
             log);
          issue(r + "/signer.pub.pem", "Bench-Signer", cert);
          signerCert = readBytes(cert);
          signerKeyId = keyIdOf(signerCert);
        } else {
          // A key of its own: identities are told apart by their keys.
          std::string key = r + "/soft" + id;
          sh("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -outform DER -out " +
                 key + ".der",
             log);
          sh("openssl pkey -inform DER -in " + key + ".der -pubout -out " + key + ".pub.pem", log);
          sh(onToken + " --write-object " + key + ".der --type privkey --usage-sign --id " + id,
             log);
          issue(key + ".pub.pem", "Bench-" + id, cert);
        }
        sh(onToken + " --write-object " + cert + " --type cert --id " + id, log);
      }
    }
    // The host's PIN dialog: answers the bench PIN, as a user would once.
    fs::path pinentry = root / "pinentry";
    std::ofstream(pinentry) << "#!/bin/sh\necho 'OK Pleased to meet you'\n"
                               "while IFS= read -r line; do\n  case \"$line\" in\n"
                               "    GETPIN) echo 'D "
                            << kPin
                            << "'; echo OK ;;\n    BYE) echo OK; exit 0 ;;\n"
                               "    *) echo OK ;;\n  esac\ndone\n";
    fs::permissions(pinentry, fs::perms::owner_all);
  }
  ~Tokens() {
    std::error_code error;
    fs::remove_all(root, error);
  }
};

// C_SignInit + C_Sign on the signer's key, through the module loaded by hand,
// in a session of its own, logged in once.
struct RawToken {
  CK_FUNCTION_LIST* fn = nullptr;
  CK_SLOT_ID slot = 0;
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  std::string failure;

  RawToken() {
    fn = p11_kit_module_load(kSoftHsm, 0);
    if (!fn || p11_kit_module_initialize(fn) != CKR_OK) {
      failure = "cannot load " + std::string(kSoftHsm);
      return;
    }
    CK_SLOT_ID slots[16];
    CK_ULONG count = 16;
    if (fn->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) {
      failure = "C_GetSlotList failed";
      return;
    }
    for (CK_ULONG i = 0; i < count && session == CK_INVALID_HANDLE; ++i) {
      CK_TOKEN_INFO info{};
      if (fn->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
      std::string label(reinterpret_cast<char*>(info.label), sizeof info.label);
      if (label.substr(0, label.find_last_not_of(' ') + 1) != kSignerToken) continue;
      slot = slots[i];
      if (fn->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) {
        failure = "C_OpenSession failed";
        return;
      }
    }
    if (session == CK_INVALID_HANDLE) {
      failure = "no token labelled " + std::string(kSignerToken);
      return;
    }
    std::string pin = kPin;
    CK_RV rv =
        fn->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size());
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
      failure = "C_Login failed";
      return;
    }
    key = findKey();
    if (key == CK_INVALID_HANDLE) failure = "the signer's private key is not on the token";
  }

  CK_OBJECT_HANDLE findKey() {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_BYTE id = kSignerId;
    CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, &id, 1}};
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    CK_ULONG found = 0;
    if (fn->C_FindObjectsInit(session, pattern, 2) != CKR_OK) return CK_INVALID_HANDLE;
    fn->C_FindObjects(session, &object, 1, &found);
    fn->C_FindObjectsFinal(session);
    return found == 1 ? object : CK_INVALID_HANDLE;
  }

  ~RawToken() {
    if (!fn) return;
    if (session != CK_INVALID_HANDLE) fn->C_CloseSession(session);
    p11_kit_module_finalize(fn);
    p11_kit_module_release(fn);
  }
};

class FixedPin : public vellumark::linux_platform::PinPrompt {
 public:
  vellumark::linux_platform::PinReply ask(const vellumark::linux_platform::PinRequest&) override {
    vellumark::linux_platform::PinReply reply;
    reply.outcome = vellumark::linux_platform::PinReply::Outcome::Entered;
    for (const char* c = kPin; *c; ++c) reply.pin.append(*c);
    return reply;
  }
};

// The plugin on the real backend in this process, driven through the codec.
struct InProcess {
  std::shared_ptr<vellumark::platform::TokenService> service;
  vellumark::EngineMessenger messenger;
  std::unique_ptr<vellumark::PluginRegistry> registry;
  std::unique_ptr<vellumark::testing::TestUi> ui;

  InProcess() {
    vellumark::linux_platform::TokenServiceOptions options;
    options.modulePaths = {kSoftHsm};
    options.pinPrompt = std::make_shared<FixedPin>();
    service = vellumark::linux_platform::createTokenService(options);
    registry = std::make_unique<vellumark::PluginRegistry>(
        messenger, nullptr, vellumark::platform::Services{nullptr, service, nullptr});
    vellumark::TesselMacosPlugin::registerWithRegistrar(
        registry->registrarForPlugin("TesselMacosPlugin"));
    ui = std::make_unique<vellumark::testing::TestUi>(messenger);
    ui->call("tessel_macos", "initialize");
  }
};

// The built host as a process of its own, spoken to over its bridge socket
// on one connection, as the UI keeps it.
class HostProcess {
 public:
  HostProcess(const fs::path& root) {
    socket_ = root / "ui.sock";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string_view entry(*e);
      if (!entry.starts_with("VELLUMARK_UI_SOCKET=") && !entry.starts_with("VELLUMARK_PINENTRY=")) {
        env.emplace_back(entry);
      }
    }
    env.push_back("VELLUMARK_UI_SOCKET=" + socket_.string());
    env.push_back("VELLUMARK_PINENTRY=" + (root / "pinentry").string());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    // VELLUMARK_BENCH_HOST runs another build's host (a copy of an older
    // bundle, say) against this run's raw baseline.
    const char* other = std::getenv("VELLUMARK_BENCH_HOST");
    std::string program = other && *other ? other : VELLUMARK_HOST_PATH;
    char* argv[] = {program.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string log = (root / "host.log").string();
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
      pid_ = -1;
      failure_ = "cannot start " + program + ": " + std::strerror(error);
      return;
    }
    auto deadline = std::chrono::steady_clock::now() + kHostStart;
    while (!fs::exists(socket_)) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        failure_ = "the host exited at start-up (it needs a display; see " + log + ")";
        return;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        failure_ = "the host did not open its bridge socket";
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    client_.connect(socket_.string());
  }

  ~HostProcess() {
    client_.close();
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }

  const std::string& failure() const { return failure_; }

  // The decoded reply; nullopt for the engine's empty reply.
  std::optional<vellumark::MethodEnvelope> call(const std::string& method,
                                                const ChannelValue& args = ChannelValue()) {
    Bytes reply = client_.call("tessel_macos", codec_->encodeMethodCall({method, args}),
                               std::chrono::seconds(60));
    if (reply.empty()) return std::nullopt;
    return codec_->decodeEnvelope(reply);
  }

 private:
  fs::path socket_;
  pid_t pid_ = -1;
  std::string failure_;
  vellumark::bridge::BridgeClient client_;
  std::shared_ptr<const vellumark::StandardMethodCodec> codec_ =
      vellumark::StandardMethodCodec::sharedInstance();
};

Tokens* tokens = nullptr;
RawToken* raw = nullptr;
InProcess* inProcess = nullptr;
HostProcess* host = nullptr;

ChannelValue signArgs(bool withCertDer) {
  ChannelMap args{{"keyId", ChannelValue::bytes(tokens->signerKeyId)},
                  {"hash", ChannelValue::bytes(digestOf("bench"))}};
  if (withCertDer) args.append(ChannelValue("certDer"), ChannelValue::bytes(tokens->signerCert));
  return ChannelValue(std::move(args));
}

const ChannelValue* resultOf(const std::optional<vellumark::MethodEnvelope>& envelope) {
  return envelope ? std::get_if<ChannelValue>(&*envelope) : nullptr;
}

const ChannelValue* resultOf(const std::optional<vellumark::MethodResponse>& response) {
  return response ? std::get_if<ChannelValue>(&*response) : nullptr;
}

bool isSignature(const ChannelValue* value) {
  return value && value->asBytes() && value->asBytes()->size() == kSignatureSize;
}

bool listsAll(const ChannelValue* value) {
  return value && value->asList() && value->asList()->size() == 20;
}

// The goal's baseline: a signature of a 51-byte SHA-256 DigestInfo.
void BM_RawCSign(benchmark::State& state) {
  static constexpr uint8_t kPrefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                        0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  Bytes data(std::begin(kPrefix), std::end(kPrefix));
  Bytes digest = digestOf("bench");
  data.insert(data.end(), digest.begin(), digest.end());
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  Bytes signature(kSignatureSize);
  for (auto _ : state) {
    CK_ULONG length = signature.size();
    if (raw->fn->C_SignInit(raw->session, &mechanism, raw->key) != CKR_OK ||
        raw->fn->C_Sign(raw->session, data.data(), data.size(), signature.data(), &length) !=
            CKR_OK ||
        length != kSignatureSize) {
      state.SkipWithError("C_Sign failed");
      break;
    }
  }
}

// Calls a backend makes around each signature, for the breakdown.
void BM_RawGetSlotList(benchmark::State& state) {
  for (auto _ : state) {
    CK_SLOT_ID list[16];
    CK_ULONG n = 16;
    raw->fn->C_GetSlotList(CK_TRUE, list, &n);
  }
}

void BM_RawGetTokenInfo(benchmark::State& state) {
  CK_TOKEN_INFO info{};
  for (auto _ : state) raw->fn->C_GetTokenInfo(raw->slot, &info);
}

void BM_RawFindKey(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(raw->findKey());
}

// A listing of every object handle of the token: what a cache of its objects
// needs per request to notice objects added or removed.
void BM_RawListObjects(benchmark::State& state) {
  for (auto _ : state) {
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG count = 0;
    raw->fn->C_FindObjectsInit(raw->session, nullptr, 0);
    do {
      raw->fn->C_FindObjects(raw->session, batch, std::size(batch), &count);
    } while (count > 0);
    raw->fn->C_FindObjectsFinal(raw->session);
  }
}

void BM_RawGetSessionInfo(benchmark::State& state) {
  CK_SESSION_INFO info{};
  for (auto _ : state) raw->fn->C_GetSessionInfo(raw->session, &info);
}

void BM_RawGetAttribute(benchmark::State& state) {
  for (auto _ : state) {
    CK_BYTE id[8];
    CK_ATTRIBUTE query{CKA_ID, id, sizeof id};
    raw->fn->C_GetAttributeValue(raw->session, raw->key, &query, 1);
  }
}

void BM_BridgeSignBytes(benchmark::State& state) {
  ChannelValue args = signArgs(state.range(0) == 1);
  for (auto _ : state) {
    if (!isSignature(resultOf(host->call("signBytes", args)))) {
      state.SkipWithError("signBytes over the bridge failed");
      break;
    }
  }
  state.SetLabel(state.range(0) == 1 ? "keyId+certDer" : "keyId");
}

// The bridge's own cost: a call whose work is next to nothing.
void BM_BridgeRoundTrip(benchmark::State& state) {
  for (auto _ : state) {
    if (!resultOf(host->call("initialize"))) {
      state.SkipWithError("initialize over the bridge failed");
      break;
    }
  }
}

void BM_BridgeGetCertificates(benchmark::State& state) {
  ChannelValue args(ChannelMap{{"onlyForSigning", true}});
  for (auto _ : state) {
    if (!listsAll(resultOf(host->call("getCertificates", args)))) {
      state.SkipWithError("getCertificates over the bridge did not list 20 certificates");
      break;
    }
  }
}

// The plugin's hop without token work: a task to a serial worker that posts
// back to the GLib main queue, waited for by iterating the main context as
// the host's main loop does.
void BM_QueueHop(benchmark::State& state) {
  vellumark::SerialQueue worker("bench.hop");
  auto mainQueue = std::make_shared<vellumark::GlibMainQueue>();
  GMainContext* context = g_main_context_default();
  for (auto _ : state) {
    bool done = false;
    worker.post([mainQueue, &done] { mainQueue->post([&done] { done = true; }); });
    while (!done) g_main_context_iteration(context, TRUE);
  }
}

void BM_InProcessSignBytes(benchmark::State& state) {
  ChannelValue args = signArgs(state.range(0) == 1);
  for (auto _ : state) {
    if (!isSignature(resultOf(inProcess->ui->call("tessel_macos", "signBytes", args)))) {
      state.SkipWithError("signBytes failed");
      break;
    }
  }
  state.SetLabel(state.range(0) == 1 ? "keyId+certDer" : "keyId");
}

void BM_InProcessGetCertificates(benchmark::State& state) {
  ChannelValue args(ChannelMap{{"onlyForSigning", true}});
  for (auto _ : state) {
    if (!listsAll(resultOf(inProcess->ui->call("tessel_macos", "getCertificates", args)))) {
      state.SkipWithError("getCertificates did not list 20 certificates");
      break;
    }
  }
}

// Where a signature's time goes, on the token service itself.
void BM_ServiceQuery(benchmark::State& state) {
  vellumark::platform::IdentityQuery query;
  query.applicationLabel = tokens->signerKeyId;
  for (auto _ : state) benchmark::DoNotOptimize(inProcess->service->copyMatching(query));
}

void BM_ServiceCopyKey(benchmark::State& state) {
  vellumark::platform::IdentityQuery query;
  query.applicationLabel = tokens->signerKeyId;
  auto identity = inProcess->service->copyMatching(query).item;
  if (!identity) {
    state.SkipWithError("no identity");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(identity->copyPrivateKey());
}

void BM_ServiceSign(benchmark::State& state) {
  vellumark::platform::IdentityQuery query;
  query.applicationLabel = tokens->signerKeyId;
  auto identity = inProcess->service->copyMatching(query).item;
  auto key = identity ? identity->copyPrivateKey().key : nullptr;
  if (!key) {
    state.SkipWithError("no key");
    return;
  }
  Bytes digest = digestOf("bench");
  for (auto _ : state) {
    benchmark::DoNotOptimize(key->createSignature(
        vellumark::platform::KeyAlgorithm::RSASignatureDigestPKCS1v15SHA256, digest));
  }
}

BENCHMARK(BM_RawCSign)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BridgeSignBytes)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BridgeRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_BridgeGetCertificates)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QueueHop)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_InProcessSignBytes)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InProcessGetCertificates)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServiceQuery)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServiceCopyKey)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServiceSign)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawGetSlotList)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawGetTokenInfo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawFindKey)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawListObjects)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawGetSessionInfo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawGetAttribute)->Unit(benchmark::kMicrosecond);

// Prints as usual and, at the end, the goal: bridge round trip / raw C_Sign.
class GoalReporter : public benchmark::ConsoleReporter {
 public:
  GoalReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions the median stands for the benchmark.
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      perIteration_[run.run_name.str()] =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // One readable line per goal.
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto rawSign = perIteration_.find("BM_RawCSign");
    if (rawSign == perIteration_.end()) return;
    for (const auto& [name, seconds] : perIteration_) {
      if (!name.starts_with("BM_BridgeSignBytes/")) continue;
      double ratio = seconds / rawSign->second;
      std::string label =
          name.starts_with("BM_BridgeSignBytes/1") ? "signBytes with certDer" : "signBytes";
      std::printf("%s / raw C_Sign = %.2fx (%.3f ms / %.3f ms), goal <= 1.25x, %s\n", label.c_str(),
                  ratio, seconds * 1e3, rawSign->second * 1e3, ratio <= 1.25 ? "met" : "missed");
    }
  }

 private:
  std::map<std::string, double> perIteration_;  // seconds
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Tokens made;
  tokens = &made;
  RawToken rawToken;
  if (!rawToken.failure.empty()) {
    std::fprintf(stderr, "raw PKCS#11 set-up: %s\n", rawToken.failure.c_str());
    return 1;
  }
  raw = &rawToken;
  InProcess plugin;
  inProcess = &plugin;
  HostProcess hostProcess(made.root);
  if (!hostProcess.failure().empty()) {
    std::fprintf(stderr, "%s\n", hostProcess.failure().c_str());
    return 1;
  }
  host = &hostProcess;
  // Log in once, as a user would have before the measured signatures: the
  // host asks its PIN dialog, the in-process plugin its fixed PIN.
  host->call("initialize");
  if (!isSignature(resultOf(host->call("signBytes", signArgs(false))))) {
    std::fprintf(stderr, "the host's first signature failed (see %s)\n",
                 (made.root / "host.log").c_str());
    return 1;
  }
  if (!isSignature(resultOf(plugin.ui->call("tessel_macos", "signBytes", signArgs(false))))) {
    std::fprintf(stderr, "the in-process first signature failed\n");
    return 1;
  }
  GoalReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
