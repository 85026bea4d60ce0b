// marketsim: serves generated shop pages on a loopback port, or prints the
// shops a correct collection run over a range would list.
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/marketsim/marketsim.h"

namespace {

using dt::marketsim::Fault;
using dt::marketsim::Options;

constexpr const char* kUsage =
    "usage: marketsim [--port N] [--seed S] [--density D] [--latency-ms MS]\n"
    "                 [--fault-share F] [--faults kind,kind] [--fault-at N=kind,...]\n"
    "                 [--stall-ms MS] [--truth FIRST LAST [--json]]\n"
    "                 [--busy-share F [--busy-retry-after S]] [--drop-share F]\n"
    "                 [--rate-limit RPS]\n"
    "                 [--outage-after N --outage-ms MS] [--block-after N [--block-form F]]\n"
    "                 [--utf8-share F] [--rtt-ms MS] [--block-for-ms MS]\n"
    "                 [--top N --rise R [--skip AT:WIDTH]...]\n"
    "fault kinds: not-found server-error refuse reset-mid-body stall redirect\n"
    "             redirect-loop nul-bytes huge-body invalid-gbk unknown-rank\n"
    "             control-bytes-in-account empty-item-count hostile-overlap\n"
    "             cut-after-body\n"
    "network:  --busy-share F     that share of attempts is answered 503\n"
    "          --busy-retry-after S\n"
    "                             those 503s carry Retry-After: S\n"
    "          --drop-share F     that share of attempts is closed unanswered\n"
    "          --rate-limit RPS   more shop requests than RPS within a second get\n"
    "                             429 with Retry-After: 1\n"
    "          --outage-after N --outage-ms MS\n"
    "                             after the N-th shop request, every connection\n"
    "                             is closed unanswered for MS milliseconds\n"
    "          --block-after N    every shop request after the N-th is refused for good\n"
    "          --block-form F     how: 429 (the default), 403, sign-in (a redirect to\n"
    "                             a sign-in host) or verify (a 200 check page)\n"
    "          --utf8-share F     that share of numbers is served in UTF-8\n"
    "          --rtt-ms MS        a round trip added to every answer, twice on a\n"
    "                             new connection\n"
    "          --block-for-ms MS  the block ends MS milliseconds after it began\n"
    "growing:  --top N --rise R   numbers above N are given out at R a second from\n"
    "                             the start; those not given out yet have no shop\n"
    "          --skip AT:WIDTH    as the numbers given out reach AT, WIDTH numbers\n"
    "                             are skipped (repeatable, ascending)\n";

template <typename T>
std::optional<T> ParseNumber(std::string_view text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> SplitCommas(std::string_view text) {
  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    pieces.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return pieces;
}

int Fail(const std::string& message) {
  std::cerr << "marketsim: " << message << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int port = 0;
  std::optional<std::pair<int, int>> truthRange;
  bool json = false;

  const std::vector<std::string_view> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    auto value = [&]() -> std::optional<std::string_view> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    auto number = [&]<typename T>(T& out) {
      const auto text = value();
      const auto parsed = text ? ParseNumber<T>(*text) : std::nullopt;
      if (parsed) out = *parsed;
      return parsed.has_value();
    };
    bool ok = true;
    if (arg == "--port") {
      ok = number(port) && port >= 0 && port <= 65535;
    } else if (arg == "--seed") {
      ok = number(options.seed);
    } else if (arg == "--density") {
      ok = number(options.density) && options.density >= 0 && options.density <= 1;
    } else if (arg == "--latency-ms") {
      ok = number(options.latencyMs) && options.latencyMs >= 0;
    } else if (arg == "--fault-share") {
      ok = number(options.faultShare) && options.faultShare >= 0 && options.faultShare <= 1;
    } else if (arg == "--busy-share") {
      ok = number(options.busyShare) && options.busyShare >= 0 && options.busyShare <= 1;
    } else if (arg == "--busy-retry-after") {
      ok = number(options.busyRetryAfter) && options.busyRetryAfter > 0;
    } else if (arg == "--drop-share") {
      ok = number(options.dropShare) && options.dropShare >= 0 && options.dropShare <= 1;
    } else if (arg == "--utf8-share") {
      ok = number(options.utf8Share) && options.utf8Share >= 0 && options.utf8Share <= 1;
    } else if (arg == "--rate-limit") {
      ok = number(options.rateLimit) && options.rateLimit > 0;
    } else if (arg == "--outage-after") {
      int after = 0;
      ok = number(after) && after >= 0;
      options.outageAfter = after;
    } else if (arg == "--outage-ms") {
      ok = number(options.outageMs) && options.outageMs > 0;
    } else if (arg == "--block-after") {
      int after = 0;
      ok = number(after) && after >= 0;
      options.blockAfter = after;
    } else if (arg == "--block-form") {
      const auto text = value();
      const auto form = text ? dt::marketsim::ParseBlockForm(*text) : std::nullopt;
      ok = form.has_value();
      if (form) options.blockForm = *form;
    } else if (arg == "--block-for-ms") {
      ok = number(options.blockForMs) && options.blockForMs >= 0;
    } else if (arg == "--top") {
      int top = 0;
      ok = number(top) && top >= 0;
      options.topAtStart = top;
    } else if (arg == "--rise") {
      ok = number(options.risePerSecond) && options.risePerSecond >= 0;
    } else if (arg == "--skip") {
      const auto text = value();
      const std::size_t colon = text ? text->find(':') : std::string_view::npos;
      const auto at =
          colon == std::string_view::npos ? std::nullopt : ParseNumber<int>(text->substr(0, colon));
      const auto width = colon == std::string_view::npos
                             ? std::nullopt
                             : ParseNumber<int>(text->substr(colon + 1));
      ok = at && width && *at > 0 && *width > 0 &&
           (options.skips.empty() || *at > options.skips.back().first);
      if (ok) options.skips.emplace_back(*at, *width);
    } else if (arg == "--rtt-ms") {
      ok = number(options.rttMs) && options.rttMs >= 0;
    } else if (arg == "--stall-ms") {
      ok = number(options.stallMs) && options.stallMs >= 0;
    } else if (arg == "--faults") {
      const auto text = value();
      ok = text.has_value();
      for (std::string_view name : text ? SplitCommas(*text) : std::vector<std::string_view>{}) {
        const auto fault = dt::marketsim::ParseFault(name);
        if (!fault) return Fail("unknown fault kind: " + std::string(name));
        options.faultKinds.push_back(*fault);
      }
    } else if (arg == "--fault-at") {
      const auto text = value();
      ok = text.has_value();
      for (std::string_view entry : text ? SplitCommas(*text) : std::vector<std::string_view>{}) {
        const std::size_t equals = entry.find('=');
        const auto shop = ParseNumber<int>(entry.substr(0, equals));
        const auto fault = equals == std::string_view::npos
                               ? std::nullopt
                               : dt::marketsim::ParseFault(entry.substr(equals + 1));
        if (!shop || !fault) return Fail("bad --fault-at entry: " + std::string(entry));
        options.faultAt[*shop] = *fault;
      }
    } else if (arg == "--truth") {
      int first = 0, last = 0;
      ok = number(first) && number(last);
      truthRange = std::make_pair(first, last);
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else {
      return Fail("unknown argument: " + std::string(arg));
    }
    if (!ok) return Fail("bad value for " + std::string(arg));
  }

  if (options.outageAfter.has_value() != (options.outageMs > 0)) {
    return Fail("--outage-after and --outage-ms go together");
  }

  if (truthRange) {
    const auto shops = dt::marketsim::Truth(options, truthRange->first, truthRange->second);
    const std::string text =
        json ? dt::marketsim::TruthJson(shops) : dt::marketsim::TruthLines(shops);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }

  // Block the stop signals before any server thread exists, so only sigwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  dt::marketsim::Server server(options);
  const int bound = server.Start(port);
  if (bound < 0) return Fail("cannot listen on 127.0.0.1:" + std::to_string(port));
  std::printf("%d\n", bound);
  std::fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  server.Stop();
  return 0;
}
