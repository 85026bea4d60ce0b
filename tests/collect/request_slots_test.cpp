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

FetchOutcome Answer(long status) {
  FetchOutcome outcome;
  outcome.transport = Transport::Complete;
  outcome.status = status;
  return outcome;
}

FetchOutcome Broken(Transport transport) {
  FetchOutcome outcome;
  outcome.transport = transport;
  return outcome;
}

TEST(RequestSlots, TheLimitHalvesOnRefusalsAndGrowsBackSlowly) {
  const FetchOutcome kGood = Answer(200);
  struct Step {
    const char* what;
    FetchOutcome outcome;
    int times;
    bool staleEpoch;  // the request started before the latest halving
    int limit;        // afterwards
  };
  const Step steps[] = {
      {"a 429 halves", Answer(429), 1, false, 8},
      {"one more halving per refusal of a later request", Answer(503), 1, false, 4},
      {"requests out before a halving do not halve again", Answer(429), 3, true, 4},
      {"a refused connection halves", Broken(Transport::NoConnection), 1, false, 2},
      {"never below one", Answer(503), 3, false, 1},
      {"a time-out or a 500 is no news", Broken(Transport::TimedOut), 30, false, 1},
      {"", Answer(500), 30, false, 1},
      {"a 404 page is a good answer too", Answer(404), 19, false, 1},
      {"the twentieth good answer grows it by one", kGood, 1, false, 2},
      {"and so on", kGood, 20 * 13, false, 15},
      {"", kGood, 20 * 5, false, 16},  // never above the ceiling
      {"a refusal starts the count afresh", kGood, 10, false, 16},
      {"", Answer(429), 1, false, 8},
      {"", kGood, 19, false, 8},
      {"", kGood, 1, false, 9},
  };
  RequestSlots slots;
  slots.SetCeiling(16);
  EXPECT_EQ(slots.Limit(), 16);
  std::uint64_t previousStep = slots.Epoch();
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const std::uint64_t stale = previousStep;
    previousStep = slots.Epoch();
    for (int i = 0; i < step.times; ++i) {
      slots.After(step.outcome, step.staleEpoch ? stale : slots.Epoch());
    }
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
  slots.SetCeiling(16);
  slots.After(Answer(429), slots.Epoch());
  EXPECT_EQ(slots.Limit(), 8);
  slots.SetCeiling(6);  // lower: caps what the marketplace left
  EXPECT_EQ(slots.Limit(), 6);
  slots.After(Answer(429), slots.Epoch());
  slots.Reset();  // a new run starts at the ceiling
  EXPECT_EQ(slots.Limit(), 6);
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

// A refusal halves the limit for the requests that start after it; the next
// run starts at the setting again.
TEST_F(RequestsAtOnceTest, ABusyAnswerHalvesTheLimit) {
  collector_->SetRequestsAtOnce(16);
  limitNow_ = 16;
  waitFor_ = 16;
  std::atomic<bool> refused{false};
  refuse_ = [&](const std::string& address) {
    return address == "http://shop2000.taobao.com/" && !refused.exchange(true);
  };
  RunRange(2000, 2039);
  EXPECT_TRUE(refused);
  // Halved to 8; at most 40 good answers since then grow it by at most two.
  RunProgress p = collector_->Progress();
  EXPECT_GE(p.requestLimit, 8);
  EXPECT_LE(p.requestLimit, 10);
  EXPECT_EQ(p.retries, 1);
  EXPECT_EQ(fetched_.size(), 40u);
  RunRange(3000, 3001);
  EXPECT_EQ(collector_->Progress().requestLimit, 16);
}

}  // namespace
}  // namespace dt
