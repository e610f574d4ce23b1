// vellumark-sign on a 50 MB PDF against its floor: `sha256sum` of the same
// file plus one "signBytes" round trip to the same running host, measured
// alternately in one run (medians of kRounds). Also its peak memory on a
// 5 MB and a 50 MB document: the document is streamed, so it must not grow.
//
// The host needs a display: run it as ./run bench does, inside
// tests/env/with-test-env.sh.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "embedding/bridge_client.h"
#include "embedding/codec.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using vellumark::Bytes;
using vellumark::ChannelMap;
using vellumark::ChannelValue;

constexpr const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
constexpr const char* kPin = "1234";
constexpr int kRounds = 5;
constexpr size_t kLarge = 50'000'000;
constexpr size_t kSmall = 5'000'000;
constexpr double kGoal = 1.5;
constexpr double kMemoryGrowthLimitMb = 8.0;

void sh(const std::string& command, const fs::path& log) {
  if (std::system((command + " >>'" + log.string() + "' 2>&1").c_str()) != 0) {
    std::fprintf(stderr, "setup failed: %s (see %s)\n", command.c_str(), log.c_str());
    std::exit(1);
  }
}

Bytes readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string hex(const Bytes& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

// A one-page PDF whose bulk is an unreferenced-by-content binary stream.
void writePdf(const fs::path& path, size_t bulk) {
  std::ofstream out(path, std::ios::binary);
  std::vector<size_t> offsets;
  size_t at = 0;
  auto put = [&](const std::string& s) {
    out << s;
    at += s.size();
  };
  put("%PDF-1.7\n%\xE2\xE3\xCF\xD3\n");
  offsets.push_back(at);
  put("1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");
  offsets.push_back(at);
  put("2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n");
  offsets.push_back(at);
  put("3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /PieceInfo << /Bench 4 0 R >> "
      ">>\nendobj\n");
  offsets.push_back(at);
  put("4 0 obj\n<< /Length " + std::to_string(bulk) + " >>\nstream\n");
  std::mt19937_64 random(42);
  std::vector<uint64_t> chunk(1 << 16);
  for (size_t left = bulk; left > 0;) {
    for (uint64_t& v : chunk) v = random();
    const size_t n = std::min(left, chunk.size() * sizeof(uint64_t));
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
    at += n;
    left -= n;
  }
  put("\nendstream\nendobj\n");
  const size_t xref = at;
  put("xref\n0 5\n0000000000 65535 f \n");
  for (size_t o : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", o);
    put(line);
  }
  put("trailer\n<< /Size 5 /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n");
}

struct Run {
  double ms = 0;
  long maxRssKb = 0;
  int status = -1;
};

Run runProgram(std::vector<std::string> args, const std::vector<std::string>& extraEnv,
               const fs::path& log) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  Run run;
  pid_t pid = -1;
  const auto start = Clock::now();
  const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return run;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  run.maxRssKb = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  std::string pattern = (fs::temp_directory_path() / "vellumark-sign-bench-XXXXXX").string();
  const fs::path root = mkdtemp(pattern.data());
  const fs::path log = root / "setup.log";
  const std::string r = root.string();
  fs::create_directories(root / "tokens");
  std::ofstream(root / "softhsm2.conf") << "directories.tokendir = " << (root / "tokens").string()
                                        << "\nobjectstore.backend = file\nlog.level = ERROR\n";
  setenv("SOFTHSM2_CONF", (root / "softhsm2.conf").c_str(), 1);
  const std::string tool = std::string("pkcs11-tool --module ") + kSoftHsm +
                           " --token-label SignBench --login --pin " + kPin;
  sh("softhsm2-util --init-token --free --label SignBench --pin " + std::string(kPin) +
         " --so-pin 99999999",
     log);
  sh("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + r + "/ca.key -out " + r +
         "/ca.pem -subj /CN=SignBench-CA -days 30",
     log);
  std::ofstream(root / "ext") << "keyUsage=critical,nonRepudiation\n";
  sh(tool + " --keypairgen --key-type rsa:3072 --usage-sign --id 10 --label signer", log);
  sh(tool + " --read-object --type pubkey --id 10 -o " + r + "/pub.der", log);
  sh("openssl pkey -pubin -inform DER -in " + r + "/pub.der -out " + r + "/pub.pem", log);
  sh("openssl x509 -new -force_pubkey " + r + "/pub.pem -CA " + r + "/ca.pem -CAkey " + r +
         "/ca.key -subj /CN=SignBench-Signer -days 30 -extfile " + r + "/ext -outform DER -out " +
         r + "/cert.der",
     log);
  sh(tool + " --write-object " + r + "/cert.der --type cert --id 10", log);
  const Bytes certDer = readBytes(root / "cert.der");
  std::ofstream(root / "pinentry") << "#!/bin/sh\necho 'OK Pleased to meet you'\n"
                                      "while IFS= read -r line; do\n  case \"$line\" in\n"
                                      "    GETPIN) echo 'D "
                                   << kPin
                                   << "'; echo OK ;;\n    BYE) echo OK; exit 0 ;;\n"
                                      "    *) echo OK ;;\n  esac\ndone\n";
  fs::permissions(root / "pinentry", fs::perms::owner_all);
  writePdf(root / "large.pdf", kLarge);
  writePdf(root / "small.pdf", kSmall);

  // The host, on a socket of the run; vellumark-sign finds it there.
  const fs::path socket = root / "ui.sock";
  setenv("VELLUMARK_UI_SOCKET", socket.c_str(), 1);
  setenv("VELLUMARK_PINENTRY", (root / "pinentry").c_str(), 1);
  pid_t host = fork();
  if (host == 0) {
    const int fd = open((root / "host.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    execl(VELLUMARK_HOST_PATH, VELLUMARK_HOST_PATH, nullptr);
    _exit(127);
  }
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!fs::exists(socket)) {
    if (Clock::now() > deadline || waitpid(host, nullptr, WNOHANG) == host) {
      std::fprintf(stderr, "the host did not start (it needs a display; see %s/host.log)\n",
                   r.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const auto codec = vellumark::StandardMethodCodec::sharedInstance();
  Bytes keyId;
  auto signBytes = [&](vellumark::bridge::BridgeClient& client) {
    Bytes hash(32, 0x5A);
    ChannelMap args{{"keyId", ChannelValue::bytes(keyId)},
                    {"hash", ChannelValue::bytes(hash)},
                    {"certDer", ChannelValue::bytes(certDer)}};
    Bytes reply =
        client.call("tessel_macos", codec->encodeMethodCall({"signBytes", ChannelValue(args)}),
                    std::chrono::seconds(60));
    auto envelope = codec->decodeEnvelope(reply);
    auto* value = std::get_if<ChannelValue>(&envelope);
    return value && value->asBytes() && value->asBytes()->size() == 384;
  };
  {
    vellumark::bridge::BridgeClient client;
    client.connect(socket.string());
    client.call("tessel_macos", codec->encodeMethodCall({"initialize", ChannelValue()}));
    Bytes listed =
        client.call("tessel_macos",
                    codec->encodeMethodCall(
                        {"getCertificates", ChannelValue(ChannelMap{{"onlyForSigning", true}})}));
    auto envelope = codec->decodeEnvelope(listed);
    const auto* list = std::get<ChannelValue>(envelope).asList();
    if (!list || list->empty()) {
      std::fprintf(stderr, "the host lists no signing certificate\n");
      return 1;
    }
    keyId = *list->front().asMap()->find("keyId")->asBytes();
    // Log in once, as a person would before the measured signatures.
    if (!signBytes(client)) {
      std::fprintf(stderr, "the first signature failed (see %s/host.log)\n", r.c_str());
      return 1;
    }
  }

  std::vector<double> sha, roundTrip, sign;
  long largeRss = 0, smallRss = 0;
  const fs::path runLog = root / "runs.log";
  auto signRun = [&](const fs::path& in) {
    return runProgram({VELLUMARK_SIGN_PATH, in.string(), "-o", (root / "out.pdf").string(),
                       "--key-id", hex(keyId)},
                      {}, runLog);
  };
  for (int round = 0; round < kRounds; ++round) {
    sha.push_back(runProgram({"sha256sum", (root / "large.pdf").string()}, {}, runLog).ms);
    {
      vellumark::bridge::BridgeClient client;
      client.connect(socket.string());
      const auto start = Clock::now();
      if (!signBytes(client)) {
        std::fprintf(stderr, "signBytes failed\n");
        return 1;
      }
      roundTrip.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    Run large = signRun(root / "large.pdf");
    if (large.status != 0) {
      std::fprintf(stderr, "vellumark-sign failed (%d); see %s\n", large.status, runLog.c_str());
      return 1;
    }
    sign.push_back(large.ms);
    largeRss = std::max(largeRss, large.maxRssKb);
    Run small = signRun(root / "small.pdf");
    smallRss = std::max(smallRss, small.maxRssKb);
  }
  kill(host, SIGTERM);
  waitpid(host, nullptr, 0);

  const double floor = median(sha) + median(roundTrip);
  const double ratio = median(sign) / floor;
  const double growthMb = static_cast<double>(largeRss - smallRss) / 1024.0;
  std::printf("sha256sum of the 50 MB PDF  %8.1f ms (median of %d)\n", median(sha), kRounds);
  std::printf("signBytes round trip        %8.1f ms\n", median(roundTrip));
  std::printf("vellumark-sign, 50 MB PDF   %8.1f ms, peak RSS %.1f MB (5 MB PDF: %.1f MB)\n",
              median(sign), static_cast<double>(largeRss) / 1024.0,
              static_cast<double>(smallRss) / 1024.0);
  std::printf(
      "vellumark-sign / (sha256sum + signBytes) = %.2fx (%.1f ms / %.1f ms), goal <= %.2fx, %s\n",
      ratio, median(sign), floor, kGoal, ratio <= kGoal ? "met" : "missed");
  std::printf("peak memory growth from a 5 MB to a 50 MB PDF = %+.1f MB, goal < %.0f MB, %s\n",
              growthMb, kMemoryGrowthLimitMb, growthMb < kMemoryGrowthLimitMb ? "met" : "missed");
  fs::remove_all(root);
  return 0;
}
