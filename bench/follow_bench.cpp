// Following the newest shops, over the simulator with a 20 ms round trip:
//   finding the top from 10^6 and 10^7 below it: requests and seconds, against
//   walking the same distance at 16 at once (the walk's cost worked out from
//   a measured 20,000-number walk in the same process);
//   following a top that rises one number a second at four shops in ten, at
//   the 5 s and the 60 s poll: requests per new shop (every request counted)
//   and the mean delay from a shop's opening to its listing. The follow
//   run's waits are scaled (the poll is 5 s or 60 s of follow time); the
//   delay is given in follow time, so the link's 20 ms weigh scale times
//   more in it than they would in the program.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "collect/collector.h"
#include "shoppage/fetch_page.h"
#include "tools/marketsim/marketsim.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace sim = dt::marketsim;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

sim::Options Link(int top, double rise) {
  sim::Options options;
  options.seed = 30;
  options.density = 0.4;
  options.rttMs = 20;
  options.topAtStart = top;
  options.risePerSecond = rise;
  return options;
}

// A simulator named as the proxy for as long as it lives.
struct Proxy {
  explicit Proxy(const sim::Options& options) : server(options) {
    const int port = server.Start();
    if (port <= 0) std::abort();
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
  }
  ~Proxy() { unsetenv("http_proxy"); }
  sim::Server server;
};

dt::CollectorConfig RealFetch() {
  dt::CollectorConfig config;
  config.fetchPage = [](std::string& a, dt::FetchOutcome& o) { return dt::FetchPage(a, o); };
  return config;
}

bool WaitFor(dt::Collector& collector, dt::RunState state, std::chrono::seconds timeout) {
  const auto until = Clock::now() + timeout;
  while (collector.Progress().state != state) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Seconds per number of a 16-at-once walk.
double WalkPerNumber(int first, int count) {
  Proxy proxy(Link(first + count, 0));
  dt::WorkerPool pool;
  dt::RunLock lock;
  dt::Collector collector(pool, lock, RealFetch());
  collector.SetRequestsAtOnce(16);
  collector.Run().SetLastNumber(first + count - 1);
  const auto begin = Clock::now();
  collector.Start(first);
  if (!collector.Run().WaitUntilIdle(600s)) std::abort();
  return Seconds(Clock::now() - begin) / count;
}

void FindTheTop(double walkPerNumber) {
  for (const int below : {1'000'000, 10'000'000}) {
    const int top = 200'000'000;
    Proxy proxy(Link(top, 0));
    dt::WorkerPool pool;
    dt::RunLock lock;
    dt::Collector collector(pool, lock, RealFetch());
    collector.SetRequestsAtOnce(16);
    const auto begin = Clock::now();
    collector.StartFollow(top - below, std::nullopt, dt::FollowSettings{});
    if (!WaitFor(collector, dt::RunState::Following, 600s)) std::abort();
    const double seconds = Seconds(Clock::now() - begin);
    const int requests = proxy.server.TotalRequests();
    collector.Run().Stop();
    const double walk = walkPerNumber * below;
    std::printf("%-58s %6d req %8.1f s  walk %10.0f s  ratio %.5f\n",
                ("follow: top from " + std::to_string(below) + " below, 16 at once").c_str(),
                requests, seconds, walk, seconds / walk);
  }
}

void FollowRisingTop(int pollSeconds, double scale, double followSeconds) {
  const sim::Options options = Link(50'000'000, scale);  // one number a second of follow time
  Proxy proxy(options);
  dt::WorkerPool pool;
  dt::RunLock lock;
  dt::Collector collector(pool, lock, RealFetch());
  collector.SetRequestsAtOnce(4);
  std::mutex mutex;
  std::map<std::int64_t, Clock::time_point> listedAt;
  collector.OnFollowNews([&](const dt::FollowNews& news) {
    std::lock_guard<std::mutex> guard(mutex);
    for (const std::int64_t n : news.numbers) listedAt.emplace(n, Clock::now());
  });
  const auto started = Clock::now();
  collector.StartFollow(*options.topAtStart - 200, std::nullopt,
                        dt::FollowSettings{std::chrono::seconds(pollSeconds), scale});
  if (!WaitFor(collector, dt::RunState::Following, 600s)) std::abort();
  const int from = proxy.server.Newest();
  const int requestsBefore = proxy.server.TotalRequests();
  std::this_thread::sleep_for(std::chrono::duration<double>(followSeconds / scale));
  const int to = proxy.server.Newest();
  // The polls that list the last of them.
  std::this_thread::sleep_for(std::chrono::duration<double>((2 * pollSeconds + 2) / scale));
  if (!WaitFor(collector, dt::RunState::Following, 600s)) std::abort();
  const int requests = proxy.server.TotalRequests() - requestsBefore;
  collector.Run().Stop();
  int shops = 0, listed = 0;
  double delay = 0;
  std::lock_guard<std::mutex> guard(mutex);
  for (int n = from + 1; n <= to; ++n) {
    if (!sim::TruthFor(options, n)) continue;
    ++shops;
    const auto it = listedAt.find(n);
    if (it == listedAt.end()) continue;
    ++listed;
    delay += (Seconds(it->second - started) - *sim::OpenedAt(options, n)) * scale;
  }
  std::printf("%-58s %6.2f req/shop  mean delay %5.1f s  listed %d/%d\n",
              ("follow: 1 number/s, 4 in 10, poll " + std::to_string(pollSeconds) + " s").c_str(),
              shops > 0 ? static_cast<double>(requests) / shops : 0.0,
              listed > 0 ? delay / listed : 0.0, listed, shops);
}

}  // namespace

// The follow lines of the benchmark; printed after the table.
void PrintFollowBench() {
  const double walk = WalkPerNumber(67'808'220, 20'000);
  FindTheTop(walk);
  FollowRisingTop(5, 20, 600);
  FollowRisingTop(60, 60, 3600);
}
