#include "collect/run_report.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>

namespace dt {
namespace {

using namespace std::chrono_literals;

TEST(RunStateFile, WrittenTextReadsBackAndHostileTextIsRefused) {
  const SavedRun run{100, 200, 35, 135};
  EXPECT_EQ(ParseRunStateFile(RunStateFileText(run)), run);
  const SavedRun none{-5, 5, 0, std::nullopt};
  EXPECT_EQ(ParseRunStateFile(RunStateFileText(none)), none);
  const SavedRun drought{100, 2000, 900, 600, 412};
  EXPECT_EQ(ParseRunStateFile(RunStateFileText(drought)), drought);
  EXPECT_EQ(RunStateFileText(run).find("noshop"), std::string::npos);  // as older files read

  const std::string head = "dovetrail-run 1\n";
  const auto padded = [](std::string text, std::size_t size) {
    text.resize(size, '\n');
    return text;
  };
  const struct {
    std::string text;
    std::optional<SavedRun> read;
  } cases[] = {
      {"", std::nullopt},
      {"first=1\nlast=2\n", std::nullopt},  // no header
      {head + "first=1\n", std::nullopt},   // no last
      {head + "first=1\nlast=9\nresume=5\r\n", SavedRun{1, 9, 0, 5}},
      {head + "first=1\nlast=9\nresume=10\n", SavedRun{1, 9, 0, std::nullopt}},  // past the range
      {head + "first=1\nlast=9\nresume=0\n", SavedRun{1, 9, 0, std::nullopt}},
      {head + "first=1\nlast=9\nresume=5x\n", SavedRun{1, 9, 0, std::nullopt}},
      {head + "first=1\nlast=9\nresume= 5\n", SavedRun{1, 9, 0, std::nullopt}},
      {head + "first=1\nlast=99999999999\n", std::nullopt},  // beyond 32 bits
      {head + "first=1\nlast=9\nlast=8\n", std::nullopt},    // a key twice
      {head + "first=1\nlast=9\ngarbage\n", std::nullopt},
      {head + "first=1\nlast=9\ndone=-4\nfuture=x\n", SavedRun{1, 9, 0, std::nullopt}},
      {head + std::string(kMaxRunStateFileBytes, '\n'), std::nullopt},  // too long
      {head + "first=1\nlast=9\nresume=\xB4\xD3\n", SavedRun{1, 9, 0, std::nullopt}},
      {head + "first=1\nlast=9\nresume=9\n", SavedRun{1, 9, 0, 9}},  // the last number
      {head + "first=1\nlast=9\nresume=1\n", SavedRun{1, 9, 0, 1}},  // the first
      {head + "first=1\nlast=9\nresume=3\nnoshop=7\n", SavedRun{1, 9, 0, 3, 7}},
      {head + "first=1\nlast=9\nnoshop=-7\n", SavedRun{1, 9, 0, std::nullopt, 0}},
      {head + "first=1\nlast=9\nnoshop=7\nnoshop=8\n", std::nullopt},
      {padded(head + "first=1\nlast=9\n", kMaxRunStateFileBytes), SavedRun{1, 9, 0, std::nullopt}},
      {padded(head + "first=1\nlast=9\n", kMaxRunStateFileBytes + 1), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseRunStateFile(c.text), c.read) << c.text;
}

TEST(FailedNumbersFile, WrittenListReadsBackAndOddLinesArePassedOver) {
  const std::set<std::int64_t> numbers = {-5, 0, 67808220, 2147483647};
  EXPECT_EQ(ParseFailedNumbersFile(FailedNumbersFileText(numbers)), numbers);
  const std::string head = "dovetrail-failed 1\n";
  const struct {
    std::string text;
    std::set<std::int64_t> read;
  } cases[] = {
      {"", {}},
      {"12\n13\n", {}},  // no header: not ours
      {head + "12\r\n12\n\n x\n13x\n2147483648\n-2147483648\n", {12, -2147483648LL}},
      {head + std::string(kMaxFailedNumbersFileBytes, '\n'), {}},  // too long
  };
  for (const auto& c : cases) EXPECT_EQ(ParseFailedNumbersFile(c.text), c.read) << c.text;
  EXPECT_EQ(RetryFailedText(7), "\xD6\xD8\xCA\xD4\xCA\xA7\xB0\xDC (7)");
}

TEST(RunReport, StatusAnswerCarriesTheFiguresAsPairs) {
  RunProgress p;
  p.state = RunState::Stopped;
  p.first = 100;
  p.last = 199;
  p.next = 141;
  p.done = 37;
  p.shops = 20;
  p.filtered = 5;
  p.failed = 2;      // this run's
  p.failedKept = 3;  // the list's: what can be run again
  p.retries = 4;
  p.paceMilliseconds = 40;
  p.requestsAtOnce = 16;
  p.inFlight = 12;
  p.requestLimit = 8;
  p.resume = 137;
  EXPECT_EQ(StatusAnswer(p, 2.25, SavedRun{1, 2, 3, 2}),
            "state=stopped first=100 last=199 next=141 done=37 size=100 shops=20 filtered=5 "
            "failed=3 rate=2.2 resume=137 unreachable=0 retries=4 pace=40 inflight=12 limit=8 "
            "mode=range frontier=0 next_poll=0 new=0");
  // The readout names the requests at once while the run goes on, and only
  // when more than one is allowed.
  const std::string atOnce = "\xB2\xA2\xB7\xA2 12/8";  // 并发
  EXPECT_EQ(ReadoutText(p, 2.25, std::nullopt).find(atOnce), std::string::npos);
  p.state = RunState::Running;
  EXPECT_NE(ReadoutText(p, 2.25, std::nullopt).find(atOnce), std::string::npos);
  p.requestsAtOnce = 1;
  EXPECT_EQ(ReadoutText(p, 2.25, std::nullopt).find("\xB2\xA2\xB7\xA2"), std::string::npos);
  p.state = RunState::Stopped;
  // A run over the failed list: its length, however far apart its numbers.
  RunProgress list = p;
  list.last = 1000099;
  list.listSize = 3;
  EXPECT_NE(StatusAnswer(list, 0, std::nullopt).find(" done=37 size=3 "), std::string::npos);
  EXPECT_EQ(ResumeOffer(p, std::nullopt), 137);
  // A finished run still offers a number whose task could not start.
  p.state = RunState::Finished;
  EXPECT_EQ(ResumeOffer(p, SavedRun{1, 2, 3, 2}), 137);
  p.state = RunState::Running;
  EXPECT_EQ(ResumeOffer(p, std::nullopt), std::nullopt);

  // Before any run: the file's run.
  RunProgress idle;
  idle.failedInARow = kUnreachableAfterEmptyFetches;
  EXPECT_EQ(StatusAnswer(idle, 0, SavedRun{10, 19, 4, 14}),
            "state=idle first=10 last=19 next=0 done=4 size=10 shops=0 filtered=0 failed=0 "
            "rate=0.0 resume=14 unreachable=1 retries=0 pace=0 inflight=0 limit=1 mode=range "
            "frontier=0 next_poll=0 new=0");
  EXPECT_EQ(ResumeOffer(idle, SavedRun{10, 19, 4, 14}), 14);
  idle.last = 645090000;  // the box's value is no run's range
  EXPECT_EQ(StatusAnswer(idle, 0, std::nullopt)
                .rfind("state=idle first=0 last=0 next=0 done=0 size=0 ", 0),
            0u);
}

TEST(RunReport, FollowRunShowsItsTopNextLookAndNewShops) {
  setenv("TZ", "UTC", 1);
  tzset();
  RunProgress p;
  p.mode = RunMode::Follow;
  p.state = RunState::Following;
  p.frontier = 2100000123;
  p.nextPoll = 1'800'000'000 + 3 * 3600 + 4 * 60 + 5;
  p.newShops = 17;
  const std::string first =
      ReadoutText(p, 0, std::nullopt).substr(0, ReadoutText(p, 0, std::nullopt).find('\n'));
  EXPECT_EQ(first,
            "\xB8\xFA\xD7\xD9\xD6\xD0  \xD7\xEE\xD0\xC2\xB5\xEA\xC6\xCC 2100000123 \xA1\xA4 "
            "\xCF\xC2\xB4\xCE\xB2\xE9\xBF\xB4 " +
                ClockText(*p.nextPoll) +
                " \xA1\xA4 \xD0\xC2\xB5\xEA 17");  // 跟踪中  最新店铺 N · 下次查看 T · 新店 17
  EXPECT_EQ(ClockText(*p.nextPoll), "11:04:05");  // 1.8e9 falls at 08:00 UTC
  EXPECT_EQ(StatusAnswer(p, 0, std::nullopt).rfind("state=following ", 0), 0u);
  EXPECT_NE(StatusAnswer(p, 0, std::nullopt)
                .find(" mode=follow frontier=2100000123 next_poll=1800011045 new=17"),
            std::string::npos);
  // Finding the top: no poll planned yet.
  p.state = RunState::Running;
  p.nextPoll.reset();
  EXPECT_NE(ReadoutText(p, 0, std::nullopt).find("--:--:--"), std::string::npos);
  EXPECT_EQ(ResumeOffer(p, std::nullopt), std::nullopt);
}

TEST(RunReport, RateOverTheLastTenSecondsAndDurations) {
  RateMeter meter;
  const auto t0 = RateMeter::Clock::time_point{} + 1h;
  meter.Sample(t0, 0);
  meter.Sample(t0 + 500ms, 100);
  EXPECT_EQ(meter.PagesPerSecond(), 0);  // under a second of samples
  for (int s = 1; s <= 30; ++s) meter.Sample(t0 + std::chrono::seconds(s), s < 20 ? s * 10 : 190);
  EXPECT_EQ(meter.PagesPerSecond(), 0);  // nothing done in the last ten seconds
  meter.Sample(t0 + 31s, 5);             // a new run
  meter.Sample(t0 + 33s, 9);
  EXPECT_DOUBLE_EQ(meter.PagesPerSecond(), 2);

  EXPECT_EQ(DurationText(0s), "0:00:00");
  EXPECT_EQ(DurationText(3725s), "1:02:05");
  EXPECT_EQ(DurationText(std::chrono::seconds(2 * 86400 + 61)), "2\xCC\xEC 0:01:01");
  EXPECT_EQ(RateText(0.05), "0.1");
}

}  // namespace
}  // namespace dt
