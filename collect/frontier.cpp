#include "collect/frontier.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "collect/run_report.h"

namespace dt {
namespace {

constexpr std::int64_t kNearTop = 1000;       // the gap rule looks this far below the frontier
constexpr std::int64_t kLeastGap = 20;        // G never below this
constexpr std::int64_t kLeapReach = 1000000;  // how far past the frontier a leap looks
constexpr int kEmptyPollsBeforeLeap = 10;
constexpr double kLeapEvery = 3600;         // seconds: at least one leap an hour
constexpr double kFirstBlockWait = 300;     // 5 min, doubling
constexpr double kLongestBlockWait = 3600;  // to at most an hour
constexpr double kAnswerWait = 1;           // ask again this soon while pages are out
// A probe window is made wide enough that, at the density seen, a window
// below the top holds no shop only this rarely.
constexpr double kMissOdds = 1e-5;
constexpr std::int64_t kNarrowestProbe = 16;
constexpr std::int64_t kWidestProbe = 4000;
constexpr std::int64_t kFirstFindStep = 64;
constexpr std::int64_t kHighestNumber = INT32_MAX;  // shop numbers are 32-bit

constexpr std::string_view kStateHeader = "dovetrail-follow 1";

}  // namespace

// --- the state file ---

std::string FollowStateText(const FollowState& state) {
  std::string text = std::string(kStateHeader) + "\n";
  text += "frontier=" + std::to_string(state.frontier) + "\n";
  text += "gap=" + std::to_string(state.widestGap) + "\n";
  text += "next_poll=" + std::to_string(state.nextPoll) + "\n";
  text += "known=" + std::to_string(state.knownShop) + "\n";
  const std::size_t kept = std::min(state.skipped.size(), kMostSkippedStretches);
  for (std::size_t i = 0; i < kept; ++i) {
    text += "skipped=" + std::to_string(state.skipped[i].first) + "-" +
            std::to_string(state.skipped[i].second) + "\n";
  }
  return text;
}

std::optional<FollowState> ParseFollowState(std::string_view text) {
  if (text.size() > kMaxFollowStateFileBytes) return std::nullopt;
  constexpr std::int64_t kHighest = INT32_MAX;  // shop numbers are 32-bit
  FollowState state;
  std::map<std::string, int, std::less<>> keys;
  bool header = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!header) {
      if (line != kStateHeader) return std::nullopt;
      header = true;
      continue;
    }
    if (line.empty()) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view key = line.substr(0, eq);
    const std::string_view value = line.substr(eq + 1);
    if (key == "skipped") {
      const std::size_t dash = value.find('-');
      if (dash == std::string_view::npos) return std::nullopt;
      const auto from = StrictNumber(value.substr(0, dash), 1, kHighest);
      const auto to = StrictNumber(value.substr(dash + 1), 1, kHighest);
      if (!from || !to || *from > *to) return std::nullopt;
      if (state.skipped.size() >= kMostSkippedStretches) return std::nullopt;
      state.skipped.emplace_back(*from, *to);
      continue;
    }
    // Every other key once: a key twice leaves no way to tell which was meant.
    if (++keys[std::string(key)] > 1) return std::nullopt;
    std::int64_t* field = key == "frontier"    ? &state.frontier
                          : key == "gap"       ? &state.widestGap
                          : key == "next_poll" ? &state.nextPoll
                          : key == "known"     ? &state.knownShop
                                               : nullptr;
    if (field == nullptr) continue;  // a key of a later version
    const std::int64_t high = key == "next_poll" ? std::int64_t{1} << 40 : kHighest;
    const auto number = StrictNumber(value, 0, high);
    if (!number) return std::nullopt;
    *field = *number;
  }
  if (!header || !keys.contains("frontier")) return std::nullopt;
  // A gap as wide as the reach of a leap would make every poll read that far.
  state.widestGap = std::min(state.widestGap, kLeapReach / 2);
  // Skipped stretches lie below the frontier.
  std::erase_if(state.skipped, [&](const auto& s) { return s.second > state.frontier; });
  if (state.knownShop > state.frontier) state.knownShop = 0;
  return state;
}

// --- the frontier ---

Frontier::Frontier(std::int64_t from, const std::optional<FollowState>& saved,
                   FollowSettings settings, double now, std::uint64_t seed)
    : settings_(settings), random_(static_cast<std::uint32_t>(seed % 2147483646 + 1)) {
  settings_.pollInterval = std::max(settings_.pollInterval, kLeastPollInterval);
  lastLeap_ = now;
  if (saved && saved->frontier > 0) {
    finding_ = false;
    frontier_ = saved->frontier;
    confirmed_ = frontier_;
    savedGap_ = saved->widestGap;
    knownShop_ = saved->knownShop > 0 ? saved->knownShop : saved->frontier;
    skipped_ = saved->skipped;
    if (!skipped_.empty()) skippedNext_ = skipped_.front().first;
    // A restart catches up at once unless the next poll is near; a time
    // further off than one interval is not believed.
    const double interval = static_cast<double>(settings_.pollInterval.count());
    const double at = static_cast<double>(saved->nextPoll);
    phase_ = Phase::Waiting;
    nextPoll_ = at > now ? std::min(at, now + interval) : now;
    wakeAt_ = nextPoll_;
    return;
  }
  base_ = std::max<std::int64_t>(1, from);
  PlanProbe();
}

std::int64_t Frontier::Gap() const {
  std::int64_t widest = 0;
  for (const auto& [shop, gap] : gaps_) widest = std::max(widest, gap);
  if (!gapsFull_) widest = std::max(widest, savedGap_);
  return std::max(kLeastGap, 2 * widest);
}

double Frontier::Density() const {
  // Near the top, from the polls; else from what the probes read.
  if (gaps_.size() >= 10) {
    std::int64_t span = 0;
    for (const auto& [shop, gap] : gaps_) span += gap;
    return static_cast<double>(gaps_.size()) / static_cast<double>(std::max<std::int64_t>(1, span));
  }
  // Before the first pages a thin marketplace is assumed: a wide window.
  return static_cast<double>(probedShops_ + 1) / static_cast<double>(probedNumbers_ + 5);
}

std::int64_t Frontier::ProbeWidth() const {
  const double density = std::clamp(Density(), 1e-4, 0.999);
  const double width = std::ceil(std::log(kMissOdds) / std::log(1 - density));
  std::int64_t w = static_cast<std::int64_t>(std::min(width, 1e6));
  // A window must also span the widest gap seen near the top.
  if (!gaps_.empty()) w = std::max(w, Gap() / 2 + 1);
  return std::clamp(w, kNarrowestProbe, kWidestProbe);
}

void Frontier::PlanProbe() {
  const std::int64_t width = ProbeWidth();
  std::int64_t at = base_ + step_;
  if (finding_) {
    if (low_ && high_) at = *low_ + (*high_ - *low_) / 2;
  } else if (clearTo_ && shopAt_) {
    at = *clearTo_ + (*shopAt_ - *clearTo_) / 2;
  }
  // No probe reaches past the highest number there can be.
  at = std::min(at, kHighestNumber - width + 1);
  probe_ = Window{at, at + width - 1};
  probeNext_ = probe_.from;
  probing_ = true;
  seen_.clear();
}

void Frontier::ProbeDone(double now) {
  probing_ = false;
  std::optional<std::int64_t> highest, lowest;
  std::int64_t failed = 0, read = 0, shops = 0;
  for (std::int64_t n = probe_.from; n <= probe_.to; ++n) {
    const auto it = seen_.find(n);
    if (it == seen_.end()) continue;
    if (it->second == Seen::Failed) {
      ++failed;
      continue;
    }
    ++read;
    if (it->second == Seen::Shop) {
      ++shops;
      highest = n;
      if (!lowest) lowest = n;
    }
  }
  // The density counts windows below the top only: those with shops.
  if (shops > 0) {
    probedNumbers_ += read;
    probedShops_ += shops;
  }
  // Pages that could not be read say nothing: the window reads further on
  // until it is as wide as planned.
  if (!highest && failed > 0 && probe_.to - probe_.from < kWidestProbe) {
    probe_.to += failed;
    probing_ = true;
    return;
  }
  const std::int64_t width = ProbeWidth();
  if (finding_) {
    if (highest) {
      low_ = probe_.from;
      lowShop_ = std::max(lowShop_, *highest);
      knownShop_ = lowShop_;
    } else if (!low_) {
      // Nothing at the start: the top lies below it, or the start is in a
      // stretch without shops; the polls go on from the start.
      FoundTop(base_ - 1);
      return;
    } else {
      high_ = probe_.from;
    }
    if (!high_ && probe_.to >= kHighestNumber) {
      FoundTop(lowShop_);  // shops up to the last number: the polls read on
      return;
    }
    if (!high_) {
      step_ = step_ == 0 ? kFirstFindStep : step_ * 2;
    } else if (*high_ - *low_ <= width) {
      FoundTop(lowShop_);
      return;
    }
    PlanProbe();
    return;
  }
  // A leap past a skip.
  if (highest) {
    shopAt_ = probe_.from;
    firstShopPast_ = lowest;
  } else if (!shopAt_) {
    clearTo_ = probe_.to;
    step_ *= 2;
    if (step_ > kLeapReach || probe_.to >= kHighestNumber) {
      EndLeap(now, false);
      return;
    }
  } else {
    clearTo_ = probe_.to;
  }
  if (shopAt_ && *shopAt_ - *clearTo_ <= 2 * width) {
    EndLeap(now, true);
    return;
  }
  PlanProbe();
}

void Frontier::FoundTop(std::int64_t top) {
  finding_ = false;
  frontier_ = top;
  confirmed_ = top;
  if (lowShop_ == 0) knownShop_ = 0;
  seen_.clear();
  phase_ = Phase::Polling;
  StartPollAt(frontier_ + 1, frontier_, lowShop_ > 0);
  checked_ = true;  // the shop at the top was just read
}

void Frontier::StartLeap() {
  leaping_ = true;
  step_ = Gap() + 1;
  base_ = frontier_;
  clearTo_ = frontier_ + Gap();
  shopAt_.reset();
  firstShopPast_.reset();
  PlanProbe();
}

void Frontier::EndLeap(double now, bool found) {
  leaping_ = false;
  lastLeap_ = now;
  emptyPolls_ = 0;
  if (!found) {
    Wait(now);
    return;
  }
  // The shops past the skip are read first, number by number from the last
  // empty window on; the skipped stretch below them afterwards.
  const std::int64_t from = frontier_ + Gap() + 1;
  const std::int64_t to = *clearTo_;
  if (from <= to) AddSkipped(from, to);
  StartPollAt(*clearTo_ + 1, *firstShopPast_, false);
  checked_ = true;
}

void Frontier::AddSkipped(std::int64_t from, std::int64_t to) {
  if (skipped_.empty()) skippedNext_ = from;
  skipped_.emplace_back(from, to);
  // Too many stretches: the two last ones become one.
  while (skipped_.size() > kMostSkippedStretches) {
    auto& before = skipped_[skipped_.size() - 2];
    before.second = skipped_.back().second;
    skipped_.pop_back();
  }
}

std::int64_t Frontier::Top() const {
  if (finding_) return lowShop_;
  return std::max(frontier_, pollShops_.empty() ? 0 : *pollShops_.rbegin());
}

void Frontier::StartPollAt(std::int64_t start, std::int64_t top, bool topIsShop) {
  phase_ = Phase::Polling;
  leaping_ = false;
  probing_ = false;
  // The poll reads its numbers afresh.
  std::erase_if(unread_, [](const auto& u) { return u.second == Purpose::Poll; });
  seen_.clear();
  pollStart_ = start;
  pollNext_ = start;
  pollTop_ = top;
  pollBase_ = topIsShop ? std::optional<std::int64_t>(top) : std::nullopt;
  pollShops_.clear();
  checking_ = false;
  checked_ = knownShop_ == 0;  // without a known shop there is nothing to check
}

void Frontier::StartPoll() {
  StartPollAt(frontier_ + 1, frontier_, knownShop_ > 0);
}

void Frontier::EndPoll(double now) {
  // The gaps between the poll's shops, each read number by number.
  std::optional<std::int64_t> previous = pollBase_;
  for (const std::int64_t shop : pollShops_) {
    if (previous) gaps_.emplace_back(shop, shop - *previous);
    previous = shop;
  }
  const bool found = !pollShops_.empty();
  if (found) frontier_ = std::max(frontier_, *pollShops_.rbegin());
  while (!gaps_.empty() && gaps_.front().first < frontier_ - kNearTop) {
    gaps_.pop_front();
    gapsFull_ = true;
  }
  if (frontier_ > 0 && found) knownShop_ = frontier_;
  emptyPolls_ = found ? 0 : emptyPolls_ + 1;
  pollShops_.clear();
  seen_.clear();
  if (pending_.count > 0) {
    news_.push_back(std::move(pending_));
    pending_ = FollowNews{};
  }
  if (emptyPolls_ >= kEmptyPollsBeforeLeap || now - lastLeap_ >= kLeapEvery) {
    StartLeap();
    return;
  }
  Wait(now);
}

void Frontier::Wait(double now) {
  phase_ = Phase::Waiting;
  const double interval = static_cast<double>(settings_.pollInterval.count());
  // The spread only ever shortens the wait, so a shop is still listed
  // within one interval of its opening.
  const double spread = std::uniform_real_distribution<double>(-0.1, 0.0)(random_);
  nextPoll_ =
      now + std::max(static_cast<double>(kLeastPollInterval.count()), interval * (1 + spread));
  wakeAt_ = nextPoll_;
}

void Frontier::Block(double now) {
  if (!finding_ && frontier_ > confirmed_) {
    // Reads since the last good check may have met the refusal: read them again.
    frontier_ = confirmed_;
    pollShops_.clear();
  }
  if (phase_ != Phase::Blocked) {
    blockedFrom_ = finding_ ? Phase::Finding : Phase::Polling;
    if (!wasBlocked_) {
      FollowNews news;
      news.kind = FollowNews::Blocked;
      news_.push_back(news);
    }
    wasBlocked_ = true;
  }
  phase_ = Phase::Blocked;
  checking_ = false;
  checked_ = false;
  const double wait = std::min(kLongestBlockWait, kFirstBlockWait * std::pow(2.0, blockTries_));
  ++blockTries_;
  wakeAt_ = now + wait;
  nextPoll_ = wakeAt_;
  // The news of the block tells when the next try is.
  for (FollowNews& news : news_) {
    if (news.kind == FollowNews::Blocked && news.nextTry == 0) {
      news.nextTry = static_cast<std::int64_t>(wakeAt_);
    }
  }
}

void Frontier::Unblock() {
  blockTries_ = 0;
  if (wasBlocked_) {
    FollowNews news;
    news.kind = FollowNews::Resumed;
    news_.push_back(news);
  }
  wasBlocked_ = false;
  if (blockedFrom_ == Phase::Finding) {
    phase_ = Phase::Finding;
    return;
  }
  StartPoll();
  checked_ = true;
}

void Frontier::Refused(double now) {
  if (phase_ != Phase::Blocked) Block(now);
}

std::optional<std::int64_t> Frontier::HandOut(std::int64_t number, Purpose purpose) {
  handedOut_[number] = purpose;
  ++requests_;
  return number;
}

std::optional<std::int64_t> Frontier::Next(double now) {
  if (phase_ == Phase::Blocked) {
    if (now < wakeAt_) return std::nullopt;
    if (knownShop_ == 0) {
      Unblock();
    } else {
      if (checking_) {
        wakeAt_ = now + kAnswerWait;
        return std::nullopt;
      }
      checking_ = true;
      return HandOut(knownShop_, Purpose::Check);
    }
  }
  if (!unread_.empty()) {
    const auto [number, purpose] = unread_.front();
    unread_.pop_front();
    return HandOut(number, purpose);
  }
  if (phase_ == Phase::Waiting && now >= nextPoll_) StartPoll();
  if (phase_ == Phase::Polling && !checked_) {
    // Each poll first reads the known shop again: a page without it means
    // the marketplace refuses, and the poll's numbers would all look empty.
    if (!checking_) {
      checking_ = true;
      return HandOut(knownShop_, Purpose::Check);
    }
    wakeAt_ = now + kAnswerWait;
    return std::nullopt;
  }
  if (probing_ && (phase_ == Phase::Finding || leaping_)) {
    if (probeNext_ <= probe_.to) return HandOut(probeNext_++, Purpose::Probe);
  } else if (phase_ == Phase::Polling) {
    const std::int64_t limit = std::min(pollTop_ + Gap(), kHighestNumber);
    if (pollNext_ <= limit) return HandOut(pollNext_++, Purpose::Poll);
  }
  // Skipped stretches are read when nothing else is to do.
  if (phase_ != Phase::Finding && !skipped_.empty()) {
    const std::int64_t number = skippedNext_;
    if (++skippedNext_ > skipped_.front().second) {
      skipped_.erase(skipped_.begin());
      if (!skipped_.empty()) skippedNext_ = skipped_.front().first;
    }
    return HandOut(number, Purpose::Skipped);
  }
  wakeAt_ = phase_ == Phase::Waiting ? nextPoll_ : now + kAnswerWait;
  return std::nullopt;
}

bool Frontier::Outstanding(std::int64_t from, std::int64_t to) const {
  for (auto next = handedOut_.lower_bound(from); next != handedOut_.end() && next->first <= to;
       ++next) {
    if (next->second == Purpose::Probe || next->second == Purpose::Poll) return true;
  }
  return std::any_of(unread_.begin(), unread_.end(), [&](const auto& u) {
    return u.first >= from && u.first <= to &&
           (u.second == Purpose::Probe || u.second == Purpose::Poll);
  });
}

void Frontier::Accepted(std::int64_t number, std::string name) {
  const auto it = handedOut_.find(number);
  if (it == handedOut_.end()) return;
  // Only shops the polls and the skipped stretches list are new; the
  // probes and the known shop's check read old ones.
  if (it->second != Purpose::Poll && it->second != Purpose::Skipped) return;
  if (number > confirmed_ && !newsAbove_.insert(number).second) return;  // read again
  ++newShops_;
  ++pending_.count;
  if (pending_.numbers.size() < kNewsNumbers) pending_.numbers.push_back(number);
  if (pending_.firstNames.size() < kNewsNames) pending_.firstNames.push_back(std::move(name));
}

void Frontier::Unread(std::int64_t number) {
  const auto it = handedOut_.find(number);
  if (it == handedOut_.end()) return;
  const Purpose purpose = it->second;
  handedOut_.erase(it);
  if (purpose == Purpose::Check) {
    checking_ = false;
    return;
  }
  unread_.emplace_back(number, purpose);
}

bool Frontier::Record(std::int64_t number, Seen seen, double now) {
  const auto it = handedOut_.find(number);
  if (it == handedOut_.end()) return true;  // not asked for by this run (a redo)
  const Purpose purpose = it->second;
  handedOut_.erase(it);
  switch (purpose) {
    case Purpose::Check:
      checking_ = false;
      if (seen == Seen::Shop) {
        checked_ = true;
        // Everything read before this check was read while it answered.
        confirmed_ = std::max(confirmed_, frontier_);
        newsAbove_.erase(newsAbove_.begin(), newsAbove_.upper_bound(confirmed_));
        if (phase_ == Phase::Blocked) Unblock();
      } else {
        Block(now);
      }
      return false;
    case Purpose::Skipped:
      return true;
    case Purpose::Probe:
    case Purpose::Poll:
      break;
  }
  seen_[number] = seen;
  if (purpose == Purpose::Probe) {
    if (probing_ && probeNext_ > probe_.to && !Outstanding(probe_.from, probe_.to)) ProbeDone(now);
    return true;
  }
  if (phase_ != Phase::Polling || leaping_ || number < pollStart_) return true;
  if (seen == Seen::Shop) {
    pollShops_.insert(number);
    pollTop_ = std::max(pollTop_, number);
  }
  // The poll ends when G numbers past its highest shop were read without one.
  const std::int64_t limit = std::min(pollTop_ + Gap(), kHighestNumber);
  if (pollNext_ > limit && !Outstanding(pollStart_, limit)) EndPoll(now);
  return true;
}

FollowState Frontier::State() const {
  FollowState state;
  // While the top is still being looked for there is nothing to go on from.
  if (finding_) return state;
  state.frontier = std::max(frontier_, pollShops_.empty() ? 0 : *pollShops_.rbegin());
  std::int64_t widest = 0;
  for (const auto& [shop, gap] : gaps_) widest = std::max(widest, gap);
  state.widestGap = gapsFull_ ? widest : std::max(widest, savedGap_);
  if (phase_ == Phase::Waiting || phase_ == Phase::Blocked) {
    state.nextPoll = static_cast<std::int64_t>(std::ceil(nextPoll_));
  }
  state.knownShop = knownShop_;
  state.skipped = skipped_;
  if (!state.skipped.empty()) state.skipped.front().first = skippedNext_;
  // Numbers of a skipped stretch handed out but not read stay to do.
  std::optional<std::int64_t> lo, hi;
  const auto note = [&](std::int64_t number, Purpose purpose) {
    if (purpose != Purpose::Skipped) return;
    lo = std::min(lo.value_or(number), number);
    hi = std::max(hi.value_or(number), number);
  };
  for (const auto& [number, purpose] : handedOut_) note(number, purpose);
  for (const auto& [number, purpose] : unread_) note(number, purpose);
  if (lo) {
    if (!state.skipped.empty() && *hi + 1 >= state.skipped.front().first) {
      state.skipped.front().first = std::min(state.skipped.front().first, *lo);
    } else {
      state.skipped.insert(state.skipped.begin(), {*lo, *hi});
    }
  }
  while (state.skipped.size() > kMostSkippedStretches) {
    state.skipped[state.skipped.size() - 2].second = state.skipped.back().second;
    state.skipped.pop_back();
  }
  return state;
}

std::vector<FollowNews> Frontier::TakeNews() {
  std::vector<FollowNews> news;
  news.swap(news_);
  return news;
}

// --- the source ---

FollowSource::FollowSource(std::int64_t from, const std::optional<FollowState>& saved,
                           FollowSettings settings, std::function<void(const FollowNews&)> onNews)
    : settings_(settings),
      steadyStart_(std::chrono::steady_clock::now()),
      wallStart_(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                     .count()),
      onNews_(std::move(onNews)),
      frontier_(from, saved, settings, wallStart_,
                static_cast<std::uint64_t>(steadyStart_.time_since_epoch().count())) {
  if (!(settings_.timeScale > 0)) settings_.timeScale = 1;
}

double FollowSource::Now() const {
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - steadyStart_).count();
  return wallStart_ + elapsed * settings_.timeScale;
}

std::chrono::steady_clock::time_point FollowSource::SteadyAt(double followTime) const {
  const double real = std::max(0.0, followTime - wallStart_) / settings_.timeScale;
  // Far off moments are capped: a wait is asked again long before then.
  const double capped = std::min(real, 1e7);
  return steadyStart_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(capped));
}

std::optional<std::int64_t> FollowSource::Next() {
  std::lock_guard<std::mutex> guard(mutex_);
  return frontier_.Next(Now());
}

NumberSource::Clock::time_point FollowSource::WakeAt() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return SteadyAt(frontier_.WakeAt());
}

bool FollowSource::Counted(std::int64_t number, PageOutcome outcome) {
  std::lock_guard<std::mutex> guard(mutex_);
  switch (outcome) {
    case PageOutcome::Listed:
    case PageOutcome::Filtered:
      return frontier_.Record(number, Frontier::Seen::Shop, Now());
    case PageOutcome::Other:
      return frontier_.Record(number, Frontier::Seen::NoShop, Now());
    case PageOutcome::Failed:
      return frontier_.Record(number, Frontier::Seen::Failed, Now());
    case PageOutcome::NotDone:
      frontier_.Unread(number);
      return true;
  }
  return true;
}

void FollowSource::AfterCount() {
  std::vector<FollowNews> news;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    news = frontier_.TakeNews();
  }
  if (!onNews_) return;
  for (const FollowNews& item : news) onNews_(item);
}

void FollowSource::Accepted(std::int64_t number, std::string name) {
  std::lock_guard<std::mutex> guard(mutex_);
  frontier_.Accepted(number, std::move(name));
}

void FollowSource::Refused() {
  std::lock_guard<std::mutex> guard(mutex_);
  frontier_.Refused(Now());
}

FollowState FollowSource::State() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return frontier_.State();
}

Frontier::Phase FollowSource::CurrentPhase() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return frontier_.CurrentPhase();
}

std::int64_t FollowSource::FrontierNumber() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return frontier_.Top();
}

std::optional<std::int64_t> FollowSource::NextPoll() const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Frontier::Phase phase = frontier_.CurrentPhase();
  if (phase != Frontier::Phase::Waiting && phase != Frontier::Phase::Blocked) return std::nullopt;
  return static_cast<std::int64_t>(std::ceil(frontier_.WakeAt()));
}

std::int64_t FollowSource::NewShops() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return frontier_.NewShops();
}

std::int64_t FollowSource::Requests() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return frontier_.Requests();
}

}  // namespace dt
