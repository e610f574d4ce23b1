#include "platform/lazy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace vellumark {
namespace {

TEST(LazyTest, MakesOnceForAllCopiesEvenWhenCallsRace) {
  std::atomic<int> made{0};
  platform::Lazy<int> lazy([&made] {
    ++made;
    return std::make_shared<int>(7);
  });
  const platform::Lazy<int> copy = lazy;
  EXPECT_EQ(copy.ifMade(), nullptr) << "nothing is made before the first use";
  std::vector<std::thread> threads;
  std::vector<std::shared_ptr<int>> seen(8);
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] { seen[i] = (i % 2 ? copy : lazy).get(); });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(made, 1);
  for (const auto& s : seen) EXPECT_EQ(s, seen[0]);
  EXPECT_EQ(lazy.ifMade(), seen[0]);
}

TEST(LazyTest, AFactoryThatMakesNothingIsNotRetried) {
  int calls = 0;
  platform::Lazy<int> lazy([&calls] {
    ++calls;
    return std::shared_ptr<int>();
  });
  EXPECT_TRUE(lazy);
  EXPECT_EQ(lazy.get(), nullptr);
  EXPECT_EQ(lazy.get(), nullptr);
  EXPECT_EQ(calls, 1);
}

TEST(LazyTest, EmptyAndAlreadyMade) {
  EXPECT_FALSE(platform::Lazy<int>());
  EXPECT_EQ(platform::Lazy<int>().get(), nullptr);
  auto value = std::make_shared<int>(3);
  EXPECT_EQ(platform::Lazy<int>::of(value).ifMade(), value);
  EXPECT_EQ(platform::Lazy<int>::of(value).get(), value);
}

}  // namespace
}  // namespace vellumark
