// Defers making the token service until the first call: loading every
// PKCS#11 module costs start-up time and memory, and many runs never sign.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "platform/tokens.h"

namespace vellumark {

class LazyTokenService : public platform::TokenService {
 public:
  using Factory = std::function<std::shared_ptr<platform::TokenService>()>;
  explicit LazyTokenService(Factory factory) : factory_(std::move(factory)) {}

  std::vector<std::string> tokenIDs() override {
    auto* s = service();
    return s != nullptr ? s->tokenIDs() : std::vector<std::string>{};
  }
  platform::QueryResult copyMatching(const platform::IdentityQuery& query) override {
    auto* s = service();
    return s != nullptr ? s->copyMatching(query)
                        : platform::QueryResult{platform::status::kNotAvailable, nullptr, {}};
  }
  std::optional<std::string> copyErrorMessageString(int32_t status) override {
    auto* s = service();
    return s != nullptr ? s->copyErrorMessageString(status) : std::nullopt;
  }

  bool created() const { return service_ != nullptr; }

 private:
  platform::TokenService* service() {
    if (!service_ && factory_) service_ = std::exchange(factory_, nullptr)();
    return service_.get();
  }
  Factory factory_;
  std::shared_ptr<platform::TokenService> service_;
};

}  // namespace vellumark
