#include "collect/worker_pool.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace dt {
namespace {

using namespace std::chrono_literals;

// Counts down to zero; Wait gives up after the timeout.
class Countdown {
 public:
  explicit Countdown(int count) : count_(count) {}
  void Done() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (--count_ == 0) zero_.notify_all();
  }
  bool Wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return zero_.wait_for(lock, timeout, [this] { return count_ <= 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable zero_;
  int count_;
};

// Chains that post their successors, as a run does, and posts from several
// threads at once: with threads parked and handed on, every task still runs
// exactly once.
TEST(WorkerPoolTest, EveryPostedTaskRunsExactlyOnce) {
  constexpr int kChains = 20, kPerChain = 200, kTasks = kChains * kPerChain;
  WorkerPool pool;
  std::array<std::atomic<int>, kTasks> runs{};
  Countdown allRan(kTasks);
  std::function<void(int)> post = [&](int task) {
    ASSERT_TRUE(pool.StartThread([&, task] {
      runs[static_cast<std::size_t>(task)].fetch_add(1);
      if (task + kChains < kTasks) post(task + kChains);
      allRan.Done();
    }));
  };
  std::vector<std::thread> posters;
  for (int chain = 0; chain < kChains; chain += 5) {
    posters.emplace_back([&post, chain] {
      for (int c = chain; c < chain + 5; ++c) post(c);
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(allRan.Wait(60s));
  for (int task = 0; task < kTasks; ++task) {
    EXPECT_EQ(runs[static_cast<std::size_t>(task)].load(), 1) << "task " << task;
  }
  EXPECT_LE(WorkerPool::ParkedThreads(), WorkerPool::kParkedThreadsMax);
}

// A posted task never waits for another one, parked threads or not: tasks
// that each wait until all of them are running all get there.
TEST(WorkerPoolTest, TasksNeverWaitForEachOther) {
  WorkerPool pool;
  // Park some threads first, so that the posts below reuse them.
  Countdown warm(WorkerPool::kParkedThreadsMax);
  for (int i = 0; i < WorkerPool::kParkedThreadsMax; ++i) {
    ASSERT_TRUE(pool.StartThread([&warm] { warm.Done(); }));
  }
  ASSERT_TRUE(warm.Wait(10s));

  constexpr int kTogether = 3 * WorkerPool::kParkedThreadsMax;
  Countdown running(kTogether), finished(kTogether);
  for (int i = 0; i < kTogether; ++i) {
    ASSERT_TRUE(pool.StartThread([&] {
      running.Done();
      EXPECT_TRUE(running.Wait(30s)) << "a task waited for a busy thread";
      finished.Done();
    }));
  }
  EXPECT_TRUE(finished.Wait(60s));
}

}  // namespace
}  // namespace dt
