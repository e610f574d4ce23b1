// A service made on first use. Backends with heavy libraries (libsecret,
// libcurl, OpenSSL) live in modules of the bundle that are loaded only when
// a plugin first needs them, so start-up neither loads nor links them.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace vellumark::platform {

// Copies share one instance. Any thread.
template <typename T>
class Lazy {
 public:
  using Factory = std::function<std::shared_ptr<T>()>;

  Lazy() = default;
  explicit Lazy(Factory factory) : state_(std::make_shared<State>()) {
    state_->factory = std::move(factory);
  }
  // Already made (tests, cheap services).
  static Lazy of(std::shared_ptr<T> made) {
    Lazy lazy;
    lazy.state_ = std::make_shared<State>();
    lazy.state_->made = std::move(made);
    lazy.state_->tried = true;
    return lazy;
  }

  // False when the process has no such service at all.
  explicit operator bool() const { return state_ != nullptr; }

  // Makes the service on the first call (a factory that fails is not retried;
  // callers then see null). Calls that race wait for the one making it.
  std::shared_ptr<T> get() const {
    if (!state_) return nullptr;
    std::call_once(state_->once, [state = state_.get()] {
      if (!state->tried) {
        auto made = state->factory ? std::exchange(state->factory, nullptr)() : nullptr;
        std::lock_guard lock(state->mutex);
        state->made = std::move(made);
        state->tried = true;
      }
    });
    std::lock_guard lock(state_->mutex);
    return state_->made;
  }

  // The service if it has been made, without making it.
  std::shared_ptr<T> ifMade() const {
    if (!state_) return nullptr;
    std::lock_guard lock(state_->mutex);
    return state_->made;
  }

 private:
  struct State {
    std::once_flag once;
    std::mutex mutex;
    Factory factory;
    std::shared_ptr<T> made;
    bool tried = false;
  };
  std::shared_ptr<State> state_;
};

}  // namespace vellumark::platform
