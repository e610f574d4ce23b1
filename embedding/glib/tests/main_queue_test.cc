#include "embedding_glib/main_queue.h"

#include <glib.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "embedding/messenger.h"

namespace vellumark {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

void pumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
  }
}

TEST(GlibMainQueue, RunsPostedTasksLaterInOrderOnTheMainThread) {
  GlibMainQueue queue;
  std::vector<int> ran;
  std::vector<std::thread::id> threads;
  queue.post([&] {
    ran.push_back(1);
    // Posted from inside a task: runs after the ones already queued.
    queue.post([&] { ran.push_back(4); });
  });
  queue.post([&] { ran.push_back(2); });
  EXPECT_TRUE(ran.empty()) << "post() must not run the task in place";
  // From a worker, while nobody iterates the context: still the main thread's.
  std::thread worker([&] {
    queue.post([&] {
      ran.push_back(3);
      threads.push_back(std::this_thread::get_id());
    });
  });
  worker.join();
  pumpUntil([&] { return ran.size() == 4; });
  EXPECT_THAT(ran, ElementsAre(1, 2, 3, 4));
  EXPECT_THAT(threads, ElementsAre(std::this_thread::get_id()));
}

TEST(GlibMainQueue, DelayedTasksWaitTheirTurnAndFaultsAreContained) {
  GlibMainQueue queue;
  std::vector<std::string> lines;
  setEngineLogSink([&](const std::string& line) { lines.push_back(line); });
  std::vector<int> ran;
  const auto start = std::chrono::steady_clock::now();
  queue.postAfter(60ms, [&] { ran.push_back(2); });
  queue.postAfter(20ms, [&] { ran.push_back(1); });
  queue.post([] { throw std::runtime_error("boom"); });
  pumpUntil([&] { return ran.size() == 2; });
  EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
  EXPECT_THAT(ran, ElementsAre(1, 2));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("boom"), std::string::npos);
  setEngineLogSink(nullptr);
}

}  // namespace
}  // namespace vellumark
