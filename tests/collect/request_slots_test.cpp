#include "collect/request_slots.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "collect/collector.h"
#include "tests/support/quick_pace.h"

namespace dt {
namespace {

using namespace std::chrono_literals;

// Blocks of twenty answers: five refusals in one halve the limit at once,
// four never do; a whole block with one refusal at most doubles it, two keep it.
TEST(RequestSlots, TheLimitFollowsTheShareOfRefusals) {
  const AnswerClass good{AnswerKind::Page, Refusal::None};
  const AnswerClass trouble{AnswerKind::Trouble, Refusal::None};
  const AnswerClass busy{AnswerKind::Refusal, Refusal::Busy};
  const AnswerClass gone{AnswerKind::Refusal, Refusal::Gone};
  struct Step {
    const char* what;
    AnswerClass answer;
    int times;
    int limit;  // afterwards
  };
  const Step steps[] = {
      {"four refusals in a block", busy, 4, 16},
      {"one page's trouble is no refusal", trouble, 16, 16},
      {"four refusals", busy, 4, 16},
      {"the fifth of a block halves", gone, 1, 8},
      {"and starts a block afresh", busy, 5 * 3, 1},
      {"never below one", busy, 5, 1},
      {"a block of good answers but one", good, 19, 1},
      {"", busy, 1, 2},
      {"two refusals in a block keep it", busy, 2, 2},
      {"", good, 18, 2},
      {"grows back as fast as it came down", good, 20 * 3, 16},
      {"never above the ceiling", good, 20 * 3, 16},
  };
  RequestSlots slots;
  slots.SetCeiling(16);
  EXPECT_EQ(slots.Limit(), 16);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    for (int i = 0; i < step.times; ++i) slots.After(step.answer);
    EXPECT_EQ(slots.Limit(), step.limit);
  }
}

TEST(RequestSlots, CeilingIsClampedAndCapsTheLimit) {
  RequestSlots slots;
  EXPECT_EQ(slots.Ceiling(), 1);
  const struct {
    int set, ceiling, limit;
  } cases[] = {{0, 1, 1}, {-5, 1, 1}, {99, 20, 20}, {12, 12, 12}, {3, 3, 3}};
  for (const auto& c : cases) {
    slots.SetCeiling(c.set);
    EXPECT_EQ(slots.Ceiling(), c.ceiling) << c.set;
    EXPECT_EQ(slots.Limit(), c.limit) << c.set;
  }
  const AnswerClass busy{AnswerKind::Refusal, Refusal::Busy};
  slots.SetCeiling(16);
  for (int i = 0; i < RequestSlots::kRefusalsToHalve; ++i) slots.After(busy);
  EXPECT_EQ(slots.Limit(), 8);
  slots.SetCeiling(6);  // lower: caps what the marketplace left
  EXPECT_EQ(slots.Limit(), 6);
  for (int i = 0; i < RequestSlots::kRefusalsToHalve; ++i) slots.After(busy);
  slots.Reset();  // a new run starts at the ceiling
  EXPECT_EQ(slots.Limit(), 6);
  // Growing back stops at a ceiling that is no power of two.
  const AnswerClass good{AnswerKind::Page, Refusal::None};
  slots.SetCeiling(5);
  for (int i = 0; i < RequestSlots::kRefusalsToHalve; ++i) slots.After(busy);
  EXPECT_EQ(slots.Limit(), 2);
  for (const int limit : {4, 5, 5}) {
    for (int i = 0; i < RequestSlots::kBlock; ++i) slots.After(good);
    EXPECT_EQ(slots.Limit(), limit);
  }
}

// A collector over a fake marketplace whose pages take a while.
class RequestsAtOnceTest : public ::testing::TestWithParam<int> {
 protected:
  RequestsAtOnceTest() {
    CollectorConfig config;
    config.paceRules = testing::QuickPaceRules();
    config.fetchPage = [this](std::string& address, FetchOutcome& outcome) {
      return Fetch(address, outcome);
    };
    collector_.emplace(pool_, lock_, std::move(config));
  }
  ~RequestsAtOnceTest() override { EXPECT_TRUE(collector_->Run().WaitUntilIdle(30s)); }

  std::string Fetch(std::string& address, FetchOutcome& outcome) {
    const int now = ++inFlight_;
    // Checked at every fetch: never more out than allowed.
    EXPECT_LE(now, limitNow_.load());
    if (checkLock_) {
      // Another thread finds the run lock held exactly when the fetch runs
      // under it.
      const bool free = std::async(std::launch::async, [this] {
                          if (!lock_.try_lock()) return false;
                          lock_.unlock();
                          return true;
                        }).get();
      EXPECT_FALSE(free) << address;
    }
    {
      // Slow pages: each waits a moment for the others to come out too.
      std::unique_lock<std::mutex> guard(mutex_);
      int seen = most_.load();
      while (now > seen && !most_.compare_exchange_weak(seen, now)) {
      }
      allOut_.notify_all();
      allOut_.wait_for(guard, 200ms, [&] { return most_.load() >= waitFor_.load(); });
      ++fetched_[address];
    }
    --inFlight_;
    outcome.transport = Transport::Complete;
    outcome.status = refuse_ && refuse_(address) ? 503 : 200;
    return "<html>no shop here</html>";
  }

  void RunRange(int first, int last) {
    collector_->Run().SetLastNumber(last);
    collector_->Start(first);
    ASSERT_TRUE(collector_->Run().WaitUntilIdle(30s));
  }

  WorkerPool pool_;
  RunLock lock_;
  std::optional<Collector> collector_;
  std::atomic<int> inFlight_{0}, most_{0}, limitNow_{1}, waitFor_{1};
  std::atomic<bool> checkLock_{false};
  std::function<bool(const std::string&)> refuse_;
  std::mutex mutex_;
  std::condition_variable allOut_;
  std::map<std::string, int> fetched_;
};

TEST_P(RequestsAtOnceTest, NeverMoreThanTheSettingAndAllOfItWhenPagesAreSlow) {
  const int n = GetParam();
  collector_->SetRequestsAtOnce(n);
  limitNow_ = n;
  waitFor_ = n;
  checkLock_ = n == 1;
  RunRange(1000, 1199);
  EXPECT_EQ(most_.load(), n);
  EXPECT_EQ(fetched_.size(), 200u);
  for (const auto& [address, count] : fetched_) EXPECT_EQ(count, 1) << address;
  const RunProgress p = collector_->Progress();
  EXPECT_EQ(p.done, 200);
  EXPECT_EQ(p.requestsAtOnce, n);
  EXPECT_EQ(p.requestLimit, n);
  EXPECT_EQ(p.inFlight, 0);
}

INSTANTIATE_TEST_SUITE_P(Settings, RequestsAtOnceTest, ::testing::Values(1, 2, 16, 20),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "at_once_" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace dt
