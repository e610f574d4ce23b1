#include "host_session.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "embedding/codec.h"

extern char** environ;

namespace vellumark::sign {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kChannel[] = "tessel_macos";
constexpr char kSocketVariable[] = "VELLUMARK_UI_SOCKET=";
constexpr auto kConnectTimeout = 3s;
constexpr auto kStartTimeout = 30s;
constexpr auto kStopTimeout = 5s;
constexpr auto kPoll = 20ms;
constexpr int kReconnects = 20;
constexpr auto kReconnectPause = 50ms;

std::string lastLines(const fs::path& log, size_t count) {
  std::ifstream in(log);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  std::string out;
  for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
    out += "\n  | " + lines[i];
  }
  return out;
}

}  // namespace

HostSession::HostSession(const std::string& socketPath, const std::string& hostProgram) {
  std::error_code error;
  if (fs::exists(socketPath, error)) {
    try {
      client_.connect(socketPath, kConnectTimeout);
      socket_ = socketPath;
      return;
    } catch (const bridge::BridgeConnectError&) {
      // A stale socket: nobody answers there. Start a host of our own.
    }
  }
  startHost(hostProgram);
}

HostSession::~HostSession() {
  client_.close();
  stopHost();
}

void HostSession::startHost(const std::string& hostProgram) {
  if (access(hostProgram.c_str(), X_OK) != 0) {
    throw HostError("no host is running and none can be started: " + hostProgram + " is missing");
  }
  std::string pattern = (fs::temp_directory_path() / "vellumark-sign-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw HostError(std::string("cannot make a folder for the host's socket: ") +
                    std::strerror(errno));
  }
  privateDir_ = pattern;
  const fs::path socket = fs::path(privateDir_) / "ui.sock";
  const fs::path log = fs::path(privateDir_) / "host.log";

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, kSocketVariable, sizeof(kSocketVariable) - 1) != 0) env.emplace_back(*e);
  }
  env.push_back(kSocketVariable + socket.string());
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = hostProgram;
  char* argv[] = {program.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  // A group of its own: a Ctrl+C meant for us reaches it through our
  // cleanup, which stops it cleanly.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const int failed = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) {
    pid_ = -1;
    throw HostError("cannot start the host " + hostProgram + ": " + std::strerror(failed));
  }

  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw HostError("no host is running, and the one started from " + hostProgram +
                      " exited at once (it needs a desktop session):" + lastLines(log, 5));
    }
    std::error_code error;
    if (fs::exists(socket, error)) {
      try {
        client_.connect(socket.string(), kConnectTimeout);
        socket_ = socket.string();
        return;
      } catch (const bridge::BridgeConnectError&) {
        // Not listening yet.
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      stopHost();
      throw HostError("the host started from " + hostProgram + " did not open its bridge in time");
    }
    std::this_thread::sleep_for(kPoll);
  }
}

void HostSession::stopHost() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(kPoll);
    }
    pid_ = -1;
  }
  if (!privateDir_.empty()) {
    std::error_code error;
    fs::remove_all(privateDir_, error);
    privateDir_.clear();
  }
}

ChannelValue HostSession::callRepeatable(const std::string& method, const ChannelValue& args) {
  for (int attempt = 1;; ++attempt) {
    try {
      return call(method, args);
    } catch (const HostError&) {
      if (attempt >= kReconnects) throw;
    }
    std::this_thread::sleep_for(kReconnectPause);
    client_.close();
    try {
      client_.connect(socket_, kConnectTimeout);
    } catch (const bridge::BridgeConnectError& e) {
      throw HostError(std::string("lost the host: ") + e.what());
    }
  }
}

ChannelValue HostSession::call(const std::string& method, const ChannelValue& args,
                               Duration timeout) {
  const auto codec = StandardMethodCodec::sharedInstance();
  Bytes reply;
  try {
    reply = client_.call(kChannel, codec->encodeMethodCall({method, args}), timeout);
  } catch (const bridge::BridgeTimeout&) {
    throw HostError("the host did not answer \"" + method + "\" in time");
  } catch (const bridge::BridgeError& e) {
    throw HostError("the connection to the host ended during \"" + method + "\" (" + e.what() +
                    "); is another UI connected to it?");
  }
  if (reply.empty()) throw HostError("the host does not serve \"" + method + "\" on " + kChannel);
  MethodEnvelope envelope;
  try {
    envelope = codec->decodeEnvelope(reply);
  } catch (const std::exception& e) {
    throw HostError("the host's answer to \"" + method + "\" is not readable: " + e.what());
  }
  if (auto* failure = std::get_if<ChannelError>(&envelope)) {
    throw HostCallError(failure->code, failure->message.value_or(""));
  }
  return std::get<ChannelValue>(std::move(envelope));
}

}  // namespace vellumark::sign
