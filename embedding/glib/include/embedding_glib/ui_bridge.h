// The engine stand-in's socket server: carries the UI's side of every channel
// to one UI process at a time over a local stream socket. Main-thread only;
// all socket I/O runs on the default GLib main context.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include "embedding/engine.h"

namespace vellumark {

// The bridge should go before the messenger; if the messenger goes first, the
// connection is closed then and later connections are refused.
class UiBridge {
 public:
  explicit UiBridge(EngineMessenger& messenger);
  // Closes the connection (completing what the UI owed the host with empty
  // replies) and removes the socket file if it is still ours.
  ~UiBridge();
  UiBridge(const UiBridge&) = delete;
  UiBridge& operator=(const UiBridge&) = delete;

  // Creates the socket's folder (0700) and the socket (0600), replacing a
  // stale one, and starts accepting. False with a message when another host
  // serves `path` or the socket cannot be made. Prints
  // "UI bridge listening on PATH" to GLib's log on success.
  //
  // A host owns its path by an exclusive lock on "PATH.lock", held while it
  // listens; another host sees the lock taken and never connects to find
  // out, so its look can never be taken for the UI (nor delay a real one).
  bool listen(std::string path, std::string* error);

  // Runs on the main thread each time the connected UI goes away (it hung
  // up, or broke the protocol), after its replies were settled.
  void setOnDisconnect(std::function<void()> observer) { onDisconnect_ = std::move(observer); }

  // The uid a peer must have. Defaults to the process's effective uid.
  void setExpectedUid(uid_t uid) { expectedUid_ = uid; }

  const std::string& path() const { return path_; }
  bool listening() const { return listenFd_ >= 0; }
  bool uiConnected() const { return connection_ != nullptr; }

 private:
  class Connection;
  struct Callbacks;

  void acceptPending();
  void accept(int fd);
  void connectionClosed(Connection* connection);
  void stopListening();
  bool messengerGone() const { return messengerAlive_.expired(); }

  EngineMessenger& messenger_;
  std::weak_ptr<const void> messengerAlive_;
  int lockFd_ = -1;
  std::string lockPath_;
  std::string path_;
  int listenFd_ = -1;
  unsigned acceptSource_ = 0;
  dev_t socketDev_ = 0;
  ino_t socketIno_ = 0;
  uid_t expectedUid_;
  std::shared_ptr<Connection> connection_;
  std::function<void()> onDisconnect_;
};

}  // namespace vellumark
