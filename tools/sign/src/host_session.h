// The signing command's line to the host: the running one on the usual
// bridge socket, or one started from the bundle on a private socket and
// stopped again when the session ends.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "embedding/bridge_client.h"
#include "embedding/channel_value.h"

namespace vellumark::sign {

// No host could be reached or started, or the connection was lost.
class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The host answered the call with an error envelope.
class HostCallError : public std::runtime_error {
 public:
  HostCallError(std::string code, std::string message)
      : std::runtime_error(code + ": " + message),
        code_(std::move(code)),
        message_(std::move(message)) {}
  const std::string& code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  std::string code_;
  std::string message_;
};

class HostSession {
 public:
  using Duration = bridge::BridgeClient::Duration;

  // Connects to the host at `socketPath`; when nobody answers there, starts
  // `hostProgram` with the same environment on a private socket. Throws
  // HostError.
  HostSession(const std::string& socketPath, const std::string& hostProgram);
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // A call on the signing channel; its result. Throws HostCallError or HostError.
  ChannelValue call(const std::string& method, const ChannelValue& args,
                    Duration timeout = bridge::BridgeClient::kDefaultTimeout);

  // A call that is safe to repeat ("initialize"): a host that has not yet
  // seen the previous UI hang up turns a new connection away before reading
  // anything, so on a lost connection it connects again and repeats.
  ChannelValue callRepeatable(const std::string& method, const ChannelValue& args);

  // The process group of the host this session started, or -1.
  pid_t startedHost() const { return pid_; }

 private:
  void startHost(const std::string& hostProgram);
  void stopHost();

  bridge::BridgeClient client_;
  std::string socket_;
  pid_t pid_ = -1;
  std::string privateDir_;
};

}  // namespace vellumark::sign
