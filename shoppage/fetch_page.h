// One HTTP GET of a page, returning its body as raw bytes.
#pragma once

#include <cstddef>
#include <string>

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

}  // namespace dt
