// The marketplace simulator: generated shop pages for shop numbers, served
// over HTTP the way the marketplace answers, plus what a sound collector
// should take from them. Everything is derived from the seed and the shop
// number alone, so pages and truth never depend on request order or timing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dt::marketsim {

enum class Fault {
  None,
  NotFound,      // 404 with a "no such shop" page
  ServerError,   // 500 with an error page
  Refuse,        // the connection is closed without any response
  ResetMidBody,  // headers and part of the body before the markers, then the connection drops
  Stall,         // a few bytes, then nothing for stallMs, then the connection drops
  Redirect,      // 302 to another path on the simulator that serves the shop page
  RedirectLoop,  // 302 to a path that redirects to itself
  NulBytes,      // a NUL byte before "data-value"
  HugeBody,      // the shop page followed by hugeFillerBytes of filler
  InvalidGbk,    // invalid GBK bytes in the shop name, still a shop
  UnknownRank,   // a rank code outside the credit table
  ControlBytesInAccount,  // TAB, LF and CR inside the account
  EmptyItemCount,
  // The account and the creation date both run on for almost the whole body
  // cap: "创店时间：</span><b class=hCard>" followed by ~32 MiB of "x" and "</li>".
  HostileOverlap,
  // The whole page, announced a little longer than it is; the connection
  // closes after its last byte, every time (a misconfigured server or proxy).
  CutAfterBody,
};

// How the marketplace refuses a client for good.
enum class BlockForm {
  TooMany,    // 429 without Retry-After
  Forbidden,  // 403
  SignIn,     // 302 to a sign-in page on login.taobao.com, which answers 200
  Verify,     // 200 with a verification (slider) page and no shop on it
};

// What a field cut from such a page keeps at most (the collector's limit).
inline constexpr std::size_t kHostileFieldBytes = 64 * 1024;

struct Options {
  std::uint64_t seed = 1;
  double density = 0.5;           // share of numbers that have a shop
  int latencyMs = 0;              // added before every answer
  double faultShare = 0.0;        // share of numbers (chosen from the seed) that get a fault
  std::vector<Fault> faultKinds;  // the kinds drawn from, per number, for the share
  std::map<int, Fault> faultAt;   // explicit faults for chosen numbers (wins over the share)
  int stallMs = 60000;
  std::size_t hugeFillerBytes = (std::size_t{32} << 20) + 65536;  // filler after a HugeBody page
  // The run-on of a HostileOverlap page: just inside the fetcher's 32 MiB cap.
  std::size_t hostileFillerBytes = (std::size_t{32} << 20) - 65536;

  // The network between the program and the marketplace. All off by default.
  // Shares of attempts: each request for a number is drawn on its own, from
  // the seed, the number and how many requests for it came before, so a retry
  // draws afresh and a run is reproducible. A dropped attempt wins over a busy one.
  double busyShare = 0.0;  // answered 503 with a small error page
  int busyRetryAfter = 0;  // seconds a busy 503 gives in Retry-After; 0: no header
  double dropShare = 0.0;  // the connection closed without an answer
  // More than this many shop requests within the last second are answered
  // 429 with "Retry-After: 1"; those refused do not count towards it. 0: no limit.
  int rateLimit = 0;
  // Once more than outageAfter shop requests came in, every connection in
  // the following outageMs milliseconds is closed unanswered.
  std::optional<int> outageAfter;
  int outageMs = 0;
  // Every shop request after the blockAfter-th is refused for good, in the
  // block form.
  std::optional<int> blockAfter;
  BlockForm blockForm = BlockForm::TooMany;
  // Share of numbers (from the seed) whose pages come in UTF-8, declared in
  // the header and a <meta charset>. Pages whose bytes are not text in any
  // set (invalid GBK, NUL bytes, hostile overlap, huge body) stay GBK. Some of
  // these shops have a character GBK lacks in their name.
  double utf8Share = 0.0;
  // A round trip added to every answer, and one more for the first request
  // on a new connection (its handshake); latencyMs is the server's own time.
  int rttMs = 0;

  // A marketplace that grows: from the server's start, the numbers above
  // topAtStart are given out at risePerSecond a second, in order; a number
  // not given out yet has no shop. As the numbers given out reach a skip's
  // `at`, the next one given out is at + width: the stretch stays empty.
  std::optional<int> topAtStart;
  double risePerSecond = 0;
  std::vector<std::pair<int, int>> skips;  // (at, width), ascending
  // The block ends this long after the first request it refused (0: never).
  int blockForMs = 0;
};

// The newest number given out `seconds` after the start (the top as it grows).
int NewestAt(const Options& options, double seconds);
// When the number was given out, in seconds after the start: 0 for numbers
// at or below topAtStart, nullopt for numbers of a skipped stretch.
std::optional<double> OpenedAt(const Options& options, int number);

// One shop exactly as a sound collector lists it; all texts GBK, except that a
// name from a UTF-8 page with a character GBK lacks holds it as GB18030 (GBK's
// superset: GBK text keeps its bytes, the others take four bytes).
struct TruthShop {
  int number = 0;
  std::string sellerAccount, shopName, shopAddress, creationDate, creditLevel, itemCount;
};

bool operator==(const TruthShop& a, const TruthShop& b);

// The fault of a number. A number with a fault always has a shop behind it,
// whatever the density draw.
Fault FaultFor(const Options& options, int number);

// The shop a sound collector gets for the number: nullopt for numbers
// without a shop and for faults that keep the page from the client (NotFound,
// ServerError, Refuse, ResetMidBody, Stall, RedirectLoop, NulBytes). A
// CutAfterBody page keeps its shop: all of it arrives.
std::optional<TruthShop> TruthFor(const Options& options, int number);
std::vector<TruthShop> Truth(const Options& options, int first, int last);

// The body a client ends up with for http://shop<number>.taobao.com/: the GBK
// shop page, the no-shop page (which has no "data-value"), an error page, or
// the bytes sent before the connection drops (empty for Refuse and
// RedirectLoop). A HugeBody page includes its filler.
std::string ShopPageBody(const Options& options, int number);

// Whether the number's pages come in UTF-8 (ShopPageBody is then UTF-8).
bool ServedInUtf8(const Options& options, int number);

// Whether the attempt-th request for the number (0 the first) has its
// connection dropped, or is answered 503.
bool DroppedAt(const Options& options, int number, int attempt);
bool BusyAt(const Options& options, int number, int attempt);

// "http://shop<number>.taobao.com/"
std::string ShopAddress(int number);

// Fault names as the command line spells them ("not-found", "huge-body", ...).
std::string_view FaultName(Fault fault);
std::optional<Fault> ParseFault(std::string_view name);
std::vector<Fault> AllFaults();
std::string_view BlockFormName(BlockForm form);  // "429", "403", "sign-in", "verify"
std::optional<BlockForm> ParseBlockForm(std::string_view name);

// Where the SignIn block sends every shop address.
inline constexpr std::string_view kSignInAddress = "http://login.taobao.com/member/login.jhtml";

// Truth as text: one GBK line per shop, number, account, name, address,
// creation date, credit level and item count separated by TAB, with TAB, LF,
// CR and backslash escaped as \t \n \r \\ ; or as a JSON array whose strings
// are UTF-8 written as \u escapes (pure ASCII; characters beyond U+FFFF as
// surrogate pairs).
std::string TruthLines(const std::vector<TruthShop>& shops);
std::string TruthJson(const std::vector<TruthShop>& shops);

// The simulator's HTTP server on 127.0.0.1. It answers proxy requests
// (GET http://shopN.taobao.com/) and origin-form requests (GET / with Host
// shopN.taobao.com); anything else gets a 404.
class Server {
 public:
  explicit Server(Options options);
  ~Server();  // stops
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds 127.0.0.1 (0 = a free port) and serves on its own threads; returns
  // the port, or -1 when it cannot bind or is already started.
  int Start(int port = 0);
  // Returns promptly: stalls and latency give up once stopping begins.
  void Stop();

  // Requests for http://shop<number>.taobao.com/ (the path "/") seen so far.
  int RequestCount(int number) const;
  // Every request seen, redirect follow-ups and 404s included.
  int TotalRequests() const;

  // Complete pages served for the number, a shop page or a no-shop page
  // (status 200 or 404, the redirect's target included): what a collector
  // could read. Refusals, 429, 503, 500 and cut pages do not count.
  int PagesServed(int number) const;
  // The number of the first shop request answered by the permanent block, in
  // whatever form.
  std::optional<int> FirstBlockedNumber() const;
  // Answers of the network options: 429 (rate limit and the 429 block), 503 (busy),
  // and connections closed unanswered (drops, the outage, and the refuse fault).
  int Answered429() const;
  int Answered503() const;
  int Dropped() const;
  // A growing marketplace's newest number now (topAtStart before the start).
  int Newest() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dt::marketsim
