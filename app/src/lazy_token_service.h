// Defers making the token service until the first call: loading every
// PKCS#11 module costs start-up time and memory, and many runs never sign.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/tokens.h"

namespace vellumark {

// Its calls come from the token worker thread, one at a time, like the
// service's; cancelInteraction() comes from any thread (the main thread).
class LazyTokenService : public platform::TokenService {
 public:
  using Factory = std::function<std::shared_ptr<platform::TokenService>()>;
  explicit LazyTokenService(Factory factory) : factory_(std::move(factory)) {}

  // Worker thread.
  std::vector<std::string> tokenIDs() override {
    auto s = service();
    return s ? s->tokenIDs() : std::vector<std::string>{};
  }
  // Worker thread.
  platform::QueryResult copyMatching(const platform::IdentityQuery& query) override {
    auto s = service();
    return s ? s->copyMatching(query)
             : platform::QueryResult{platform::status::kNotAvailable, nullptr, {}};
  }
  // Worker thread.
  std::optional<std::string> copyErrorMessageString(int32_t status) override {
    auto s = service();
    return s ? s->copyErrorMessageString(status) : std::nullopt;
  }
  // Any thread. Never makes the service: with none made there is no dialog.
  void cancelInteraction() override {
    std::shared_ptr<platform::TokenService> s;
    {
      std::lock_guard lock(mutex_);
      s = service_;
    }
    if (s) s->cancelInteraction();
  }

  // Any thread.
  bool created() const {
    std::lock_guard lock(mutex_);
    return service_ != nullptr;
  }

 private:
  // Worker thread. The factory runs outside the lock: loading the modules
  // takes seconds, and a cancel from the main thread must not wait for it.
  std::shared_ptr<platform::TokenService> service() {
    if (factory_) {
      auto made = std::exchange(factory_, nullptr)();
      std::lock_guard lock(mutex_);
      service_ = std::move(made);
    }
    std::lock_guard lock(mutex_);
    return service_;
  }

  Factory factory_;  // worker thread only; null once used
  mutable std::mutex mutex_;
  std::shared_ptr<platform::TokenService> service_;
};

}  // namespace vellumark
