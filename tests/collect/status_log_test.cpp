#include "collect/status_log.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "text/gbk_codec.h"
#include "text/gbk_text.h"

namespace dt {
namespace {

TEST(StatusLog, LineIsBreakClockFullWidthColonMessage) {
  StatusLog log([] { return std::string("09:05:03"); });
  log.AppendStatusLine(Utf8ToGbk("过滤 67808220"));
  EXPECT_EQ(log.TakePending(), "\r\n09:05:03\xA3\xBA" + Utf8ToGbk("过滤 67808220"));
  EXPECT_EQ(log.TakePending(), "");
}

TEST(StatusLog, RepeatOfThePreviousMessageIsDropped) {
  StatusLog log([] { return std::string("12:00:00"); });
  log.AppendStatusLine("");  // nothing written yet: an empty message is a repeat
  log.AppendStatusLine("a");
  log.AppendStatusLine("a");
  log.AppendStatusLine("b");
  log.AppendStatusLine("a");
  const std::string colon = "\xA3\xBA";
  EXPECT_EQ(log.TakePending(),
            "\r\n12:00:00" + colon + "a\r\n12:00:00" + colon + "b\r\n12:00:00" + colon + "a");
  log.AppendStatusLine("a");  // still a repeat after the window took the text
  EXPECT_EQ(log.TakePending(), "");
}

TEST(StatusLog, ClockIsReadAtTheCall) {
  int tick = 0;
  StatusLog log([&] { return ToText(++tick); });
  log.AppendStatusLine("x");
  log.AppendStatusLine("x");  // dropped: the clock is not even needed
  log.AppendStatusLine("y");
  EXPECT_EQ(log.TakePending(), "\r\n1\xA3\xBAx\r\n2\xA3\xBAy");
}

TEST(StatusLog, LocalClockHasTwoDigitParts) {
  const std::string clock = LocalClockText();
  ASSERT_EQ(clock.size(), 8u);
  EXPECT_EQ(clock[2], ':');
  EXPECT_EQ(clock[5], ':');
  EXPECT_LT(ToInteger(clock.substr(0, 2)), 24);
}

TEST(StatusLog, ConcurrentWritersLoseNoLine) {
  StatusLog log([] { return std::string("00:00:00"); });
  std::vector<std::thread> threads;
  std::string taken;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 2000; ++i) log.AppendStatusLine("t" + ToText(t) + "-" + ToText(i));
    });
  }
  for (int i = 0; i < 200; ++i) taken += log.TakePending();
  for (auto& th : threads) th.join();
  taken += log.TakePending();
  const auto lines = SplitText(taken, "\r\n");
  std::set<std::string> unique(lines.begin() + 1, lines.end());
  EXPECT_EQ(unique.size(), 8000u);
}

}  // namespace
}  // namespace dt
