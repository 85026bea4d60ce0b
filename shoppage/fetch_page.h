// One HTTP GET of a page, returning its body as raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace dt {

inline constexpr long kConnectTimeoutSeconds = 20;
// A server that keeps sending, however slowly, is ended after this long.
inline constexpr long kTotalTimeoutMilliseconds = 120000;

// Bounds that keep one silent or hostile server from holding a fetch (and the
// run lock around it) forever or from filling memory.
struct FetchLimits {
  long connectTimeoutSeconds = kConnectTimeoutSeconds;
  long lowSpeedTimeSeconds = 30;  // slower than lowSpeedBytesPerSecond for this long = failed read
  long lowSpeedBytesPerSecond = 1;
  // The whole fetch, connection and redirects included; what arrived by then
  // is the body.
  long totalTimeoutMilliseconds = kTotalTimeoutMilliseconds;
  std::size_t maxBodyBytes = 32u << 20;  // the rest of a longer body is dropped
};

// How a fetch ended on the wire.
enum class Transport {
  Complete,      // an answer arrived whole (or was cut by the body cap on purpose)
  NoConnection,  // no connection could be made (refused, no route, name not found)
  NoAnswer,      // connected, but closed without any answer
  Cut,           // the answer broke off part-way
  TimedOut,      // a time limit ended the fetch
  Unusable,      // the address or the client refused the request; trying again cannot help
};

// What happened to one fetch, besides its body.
struct FetchOutcome {
  Transport transport = Transport::Unusable;
  long status = 0;  // the final HTTP status after redirects; 0 without an answer
  // The answer's Retry-After in seconds from now, when it had a usable one.
  std::optional<std::int64_t> retryAfterSeconds;
  std::string contentType;  // the final answer's Content-Type header, as sent
  // Where redirects ended: the address of the final answer; empty when the
  // fetch never got as far as a request.
  std::string finalAddress;
};

// A Retry-After value, either a count of seconds or an HTTP date, as seconds
// from now (a date in the past gives 0); nullopt for anything else.
std::optional<std::int64_t> RetryAfterSeconds(std::string_view value, std::time_t now);

// Prepares the HTTP client once per process; safe to call from any thread and
// any number of times. FetchPage calls it itself.
void InitPageFetcher();

// Fetches the address with a plain GET (user agent "cctv.mtv", caches
// bypassed, redirects followed, proxy taken from the environment) and returns
// the body byte for byte, whatever the HTTP status. Every "\" of the address
// becomes "/" first, in the caller's string. A failed connection gives the
// empty body; a read that fails part-way or runs out of time gives the bytes
// received before it. When the client cannot be given one of the limits or the
// protocol restriction, nothing is fetched and the body is empty.
// Each call has its own handle, so calls on different threads are independent.
std::string FetchPage(std::string& address, const FetchLimits& limits = FetchLimits{});
// The same, telling in outcome how the fetch ended.
std::string FetchPage(std::string& address, FetchOutcome& outcome,
                      const FetchLimits& limits = FetchLimits{});

}  // namespace dt
