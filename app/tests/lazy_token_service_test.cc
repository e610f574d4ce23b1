#include "lazy_token_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vellumark {
namespace {

class CountingTokens : public platform::TokenService {
 public:
  std::vector<std::string> tokenIDs() override { return {"t1"}; }
  platform::QueryResult copyMatching(const platform::IdentityQuery&) override {
    return {platform::status::kSuccess, nullptr, {}};
  }
  std::optional<std::string> copyErrorMessageString(int32_t) override { return "text"; }
  void cancelInteraction() override { ++cancels; }
  std::atomic<int> cancels{0};
};

TEST(LazyTokenServiceTest, MakesTheServiceOnceOnFirstUse) {
  int made = 0;
  LazyTokenService lazy([&] {
    ++made;
    return std::make_shared<CountingTokens>();
  });
  EXPECT_EQ(made, 0);
  EXPECT_EQ(lazy.tokenIDs(), std::vector<std::string>{"t1"});
  EXPECT_EQ(lazy.copyMatching({}).status, platform::status::kSuccess);
  EXPECT_EQ(lazy.copyErrorMessageString(-50), "text");
  EXPECT_EQ(made, 1);
}

TEST(LazyTokenServiceTest, AFactoryThatFailsLeavesNoTokensAndNoCrash) {
  int made = 0;
  LazyTokenService lazy([&] {
    ++made;
    return std::shared_ptr<platform::TokenService>();
  });
  EXPECT_TRUE(lazy.tokenIDs().empty());
  EXPECT_EQ(lazy.copyMatching({}).status, platform::status::kNotAvailable);
  EXPECT_FALSE(lazy.copyErrorMessageString(-50));
  lazy.cancelInteraction();
  EXPECT_EQ(made, 1);  // not retried on every call
}

TEST(LazyTokenServiceTest, CancelReachesAMadeServiceAndNeverMakesOne) {
  auto tokens = std::make_shared<CountingTokens>();
  int made = 0;
  LazyTokenService lazy([&] {
    ++made;
    return tokens;
  });
  lazy.cancelInteraction();  // nothing made, so no dialog to dismiss
  EXPECT_EQ(made, 0);
  EXPECT_FALSE(lazy.created());

  // Calls on a worker thread, cancels from this one, as the app does.
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 200; ++i) lazy.copyMatching({});
    done = true;
  });
  while (!done) lazy.cancelInteraction();
  worker.join();
  EXPECT_EQ(made, 1);
  const int before = tokens->cancels.load();
  lazy.cancelInteraction();
  EXPECT_EQ(tokens->cancels.load(), before + 1);
}

}  // namespace
}  // namespace vellumark
