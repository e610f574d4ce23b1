// The platform services a plugin may use, handed out by its registrar.
// The app wires the Linux backends in; tests wire fakes. Each service is an
// interface of its own header in this folder; a null pointer means the
// service is not available in this process.
#pragma once

#include <memory>

#include "platform/task_queue.h"

namespace vellumark::platform {

class View;
class Bundle;
class TokenService;

struct Services {
  std::shared_ptr<Bundle> bundle;
  std::shared_ptr<TokenService> tokens;
  // The main queue: the GLib main context in the app, a queue the test
  // drains in tests. Never null in a running host.
  std::shared_ptr<TaskQueue> mainQueue;
};

// The UI view the engine draws into; its window is the main window. Later
// window services extend this interface.
class View {
 public:
  virtual ~View() = default;
};

}  // namespace vellumark::platform
