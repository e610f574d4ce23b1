// Defers making the token service until the first call: loading every
// PKCS#11 module costs start-up time and memory, and many runs never sign.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "platform/lazy.h"
#include "platform/tokens.h"

namespace vellumark {

// Its calls come from the token worker thread, one at a time, like the
// service's; cancelInteraction() comes from any thread (the main thread).
class LazyTokenService : public platform::TokenService {
 public:
  using Factory = std::function<std::shared_ptr<platform::TokenService>()>;
  explicit LazyTokenService(Factory factory) : service_(std::move(factory)) {}

  // Worker thread.
  std::vector<std::string> tokenIDs() override {
    auto s = service_.get();
    return s ? s->tokenIDs() : std::vector<std::string>{};
  }
  // Worker thread.
  platform::QueryResult copyMatching(const platform::IdentityQuery& query) override {
    auto s = service_.get();
    return s ? s->copyMatching(query)
             : platform::QueryResult{platform::status::kNotAvailable, nullptr, {}};
  }
  // Worker thread.
  std::optional<std::string> copyErrorMessageString(int32_t status) override {
    auto s = service_.get();
    return s ? s->copyErrorMessageString(status) : std::nullopt;
  }
  // Any thread. Never makes the service (with none made there is no dialog),
  // and never waits for one being made: loading the modules takes seconds.
  void cancelInteraction() override {
    if (auto s = service_.ifMade()) s->cancelInteraction();
  }

  // Any thread.
  bool created() const { return service_.ifMade() != nullptr; }

 private:
  platform::Lazy<platform::TokenService> service_;
};

}  // namespace vellumark
