// The token service on PKCS#11: tokens of the modules registered with
// p11-kit, identities kept in the user's NSS database, and the PIN dialog
// (a pinentry program). Like the platform API it serves, it is called from
// one worker thread at a time; only cancelInteraction() comes from anywhere.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/tokens.h"

namespace vellumark::linux_platform {

// Memory for a PIN: allocated once, so no reallocation leaves a copy
// behind, and wiped when cleared or destroyed. Move-only.
class SecretBuffer {
 public:
  explicit SecretBuffer(size_t capacity = 256);
  ~SecretBuffer();
  SecretBuffer(SecretBuffer&& other) noexcept;
  SecretBuffer& operator=(SecretBuffer&& other) noexcept;
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;

  // False (and nothing stored) when the buffer is full.
  bool append(char c);
  void clear();
  const char* data() const { return data_.get(); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// A request's cancellation, shared by the service and its PIN dialog. Once
// cancelled it stays so until reset, and its descriptor is readable, so a
// dialog waiting in poll() wakes at once and none opens after it.
class Cancellation {
 public:
  Cancellation();
  ~Cancellation();
  Cancellation(const Cancellation&) = delete;
  Cancellation& operator=(const Cancellation&) = delete;

  // Any thread.
  void cancel();
  bool cancelled() const { return cancelled_.load(); }
  // Readable while cancelled; -1 when no descriptor could be made (then
  // only cancelled() tells).
  int fd() const { return fd_; }
  // The thread that owns the request, when the next one starts.
  void reset();

 private:
  int fd_ = -1;
  std::atomic<bool> cancelled_{false};
};

// What the PIN dialog shows.
struct PinRequest {
  std::string description;  // names the token and the certificate
  std::string prompt;
  std::string error;      // empty on the first ask
  bool finalTry = false;  // one more wrong PIN blocks the token
  // When set and cancelled, the dialog closes (or never opens) as cancelled.
  const Cancellation* cancellation = nullptr;
};

struct PinReply {
  enum class Outcome { Entered, Cancelled, TimedOut, Failed };
  Outcome outcome = Outcome::Failed;
  SecretBuffer pin;
  std::string failure;  // why the dialog could not be shown (Failed)
};

class PinPrompt {
 public:
  virtual ~PinPrompt() = default;
  // Blocks until the user answers or the request's cancellation is set.
  // Worker thread; the pinentry prompt keeps no state between asks, so
  // several threads may ask at once.
  virtual PinReply ask(const PinRequest& request) = 0;
};

struct PinentryOptions {
  // Empty: $VELLUMARK_PINENTRY, else a graphical flavour when DISPLAY is
  // set and one is installed, else pinentry-tty or pinentry-curses.
  std::string program;
  // Terminal for the text flavours; default: $GPG_TTY or our stdin's tty.
  std::optional<std::string> ttyName;
  // Seconds the dialog waits for the user; 0 leaves pinentry's default.
  int timeoutSeconds = 0;
  // The X window id (hexadecimal) the dialog is made transient for, sent as
  // "OPTION parent-wid" when not empty. Called from the asking thread.
  std::function<std::string()> parentWindowId;
};

// The program a default PinentryOptions would run; empty when none exists.
std::string findPinentryProgram();
std::shared_ptr<PinPrompt> createPinentryPrompt(PinentryOptions options = {});

struct TokenServiceOptions {
  // PKCS#11 modules to load by path (p11_kit_module_load).
  std::vector<std::string> modulePaths;
  // An NSS database folder whose identities join the all-identities query.
  std::optional<std::string> nssDatabaseDir;
  // Null: the pinentry prompt.
  std::shared_ptr<PinPrompt> pinPrompt;
};

// The modules registered with p11-kit (trust-policy modules skipped), loaded
// once per process and finalized at exit, plus ~/.pki/nssdb when present;
// the PIN dialog is pinentry with these options.
std::shared_ptr<platform::TokenService> createTokenService(PinentryOptions pinentry = {});
// Explicit modules, for tests and tools; they are finalized when the last
// service using them goes away.
std::shared_ptr<platform::TokenService> createTokenService(const TokenServiceOptions& options);

}  // namespace vellumark::linux_platform
