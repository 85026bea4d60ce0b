// One HTTP GET of a page, returning its body as raw bytes.
#pragma once

#include <cstddef>
#include <string>

namespace dt {

// Bounds that keep one silent or hostile server from holding a fetch (and the
// run lock around it) forever or from filling memory.
struct FetchLimits {
  long connectTimeoutSeconds = 20;  // kConnectTimeoutSeconds
  long lowSpeedTimeSeconds = 30;  // slower than lowSpeedBytesPerSecond for this long = failed read
  long lowSpeedBytesPerSecond = 1;
  std::size_t maxBodyBytes = 32u << 20;  // the rest of a longer body is dropped
};

inline constexpr long kConnectTimeoutSeconds = 20;

// Prepares the HTTP client once per process; safe to call from any thread and
// any number of times. FetchPage calls it itself.
void InitPageFetcher();

// Fetches the address with a plain GET (user agent "cctv.mtv", caches
// bypassed, redirects followed, proxy taken from the environment) and returns
// the body byte for byte, whatever the HTTP status. Every "\" of the address
// becomes "/" first, in the caller's string. A failed connection gives the
// empty body; a read that fails part-way gives the bytes received before it.
// Each call has its own handle, so calls on different threads are independent.
std::string FetchPage(std::string& address, const FetchLimits& limits = FetchLimits{});

}  // namespace dt
