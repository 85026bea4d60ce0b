#include "shoppage/fetch_page.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <memory>
#include <mutex>

#include "text/failure_log.h"
#include "text/gbk_text.h"

namespace dt {
namespace {

constexpr const char* kUserAgent = "cctv.mtv";
constexpr long kMaxRedirects = 10;

struct BodySink {
  std::string body;
  std::size_t limit = 0;
};

// Keeps at most `limit` bytes; reporting fewer bytes than offered makes the
// client end the transfer, so a longer body costs no further memory or time.
// Nothing may unwind through the client's C code: a body that cannot grow
// (memory exhausted) ends the transfer like the cap does.
size_t AppendBody(char* data, size_t size, size_t count, void* user) noexcept {
  auto* sink = static_cast<BodySink*>(user);
  const size_t offered = size * count;
  const size_t room = sink->limit - sink->body.size();
  try {
    if (offered > room) {
      sink->body.append(data, room);
      return 0;
    }
    sink->body.append(data, offered);
  } catch (...) {
    return 0;
  }
  return offered;
}

// The Retry-After header of the final answer: the header callback sees the
// headers of every answer of a redirect chain, so each status line starts
// the collection afresh.
struct HeaderSink {
  std::string retryAfter;
};

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

size_t KeepHeader(char* data, size_t size, size_t count, void* user) noexcept {
  auto* sink = static_cast<HeaderSink*>(user);
  const std::string_view line(data, size * count);
  try {
    if (StartsWithNoCase(line, "http/")) {
      sink->retryAfter.clear();
    } else if (StartsWithNoCase(line, "retry-after:")) {
      sink->retryAfter.assign(Trimmed(line.substr(12)).substr(0, 64));
    }
  } catch (...) {
    // An unread header costs only the hint it carried.
  }
  return size * count;
}

Transport TransportOf(CURLcode result) {
  switch (result) {
    case CURLE_OK:
    case CURLE_WRITE_ERROR:  // the body cap ended it: the page is what arrived
    case CURLE_TOO_MANY_REDIRECTS:
      return Transport::Complete;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
      return Transport::NoConnection;
    case CURLE_GOT_NOTHING:
      return Transport::NoAnswer;
    case CURLE_OPERATION_TIMEDOUT:
      return Transport::TimedOut;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_OUT_OF_MEMORY:
    case CURLE_FAILED_INIT:
      return Transport::Unusable;
    default:
      // Receive and send errors, a body shorter than announced, a broken
      // chunk, a TLS failure part-way: the answer did not arrive whole.
      return Transport::Cut;
  }
}

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

void InitPageFetcher() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::optional<std::int64_t> RetryAfterSeconds(std::string_view value, std::time_t now) {
  value = Trimmed(value);
  if (value.empty()) return std::nullopt;
  if (std::isdigit(static_cast<unsigned char>(value.front()))) {
    std::int64_t seconds = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (error == std::errc::result_out_of_range) return INT64_MAX;
    if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
    return seconds;
  }
  const std::string date(value);
  const std::time_t at = curl_getdate(date.c_str(), nullptr);
  if (at == -1) return std::nullopt;
  return at > now ? static_cast<std::int64_t>(at - now) : 0;
}

std::string FetchPage(std::string& address, const FetchLimits& limits) {
  FetchOutcome outcome;
  return FetchPage(address, outcome, limits);
}

std::string FetchPage(std::string& address, FetchOutcome& outcome, const FetchLimits& limits) {
  outcome = FetchOutcome{};
  address = ReplaceText(address, "\\", "/");
  // The client reads the address as a C string; an embedded NUL would make it
  // fetch some other, shorter address.
  if (address.find('\0') != std::string::npos) return {};

  InitPageFetcher();
  std::unique_ptr<CURL, EasyDeleter> handle(curl_easy_init());
  if (!handle) return {};
  CURL* curl = handle.get();

  curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
  if (headers) {
    curl_slist* more = curl_slist_append(headers, "Pragma: no-cache");
    if (more) headers = more;
  }
  std::unique_ptr<curl_slist, HeaderListDeleter> headerList(headers);

  BodySink sink;
  sink.limit = limits.maxBodyBytes;
  HeaderSink headerSink;

  // Options without which a fetch could reach other protocols, redirect for
  // ever, run without a time bound, raise signals on a task thread or write
  // the body elsewhere than the sink. If any of them is refused, no fetch is
  // made.
  const bool bounded =
      curl_easy_setopt(curl, CURLOPT_URL, address.c_str()) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
      // Task threads fetch; signals would hit an arbitrary thread.
      curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedTimeSeconds) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, limits.totalTimeoutMilliseconds) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, KeepHeader) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headerSink) == CURLE_OK;
  if (!bounded) return {};

  // The request's form: without these the fetch is still bounded and safe,
  // only its headers or its handling of redirects differ, so a refusal is not
  // worth losing the page for.
  (void)curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  (void)curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  (void)curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList.get());
  (void)curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  // Nothing is kept between fetches.
  (void)curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);

  // Whatever the outcome, the bytes received so far are the body. A refused
  // connection leaves it empty; a failed read, a transfer ended by the time
  // limit or by the body cap leaves what came before. The reason is only told
  // to whoever watches the fetch log.
  const CURLcode result = curl_easy_perform(curl);
  if (result != CURLE_OK && result != CURLE_WRITE_ERROR) {
    ReportFailure(FailureArea::Fetch, address + ": " + curl_easy_strerror(result));
  }
  outcome.transport = TransportOf(result);
  long status = 0;
  if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) outcome.status = status;
  // Connected and closed before a status line: the server said nothing.
  if (outcome.transport == Transport::Cut && outcome.status == 0 && sink.body.empty()) {
    outcome.transport = Transport::NoAnswer;
  }
  const char* type = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr) {
    outcome.contentType.assign(type, std::min<std::size_t>(std::strlen(type), 256));
  }
  const char* finalUrl = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &finalUrl) == CURLE_OK &&
      finalUrl != nullptr) {
    outcome.finalAddress.assign(finalUrl, std::min<std::size_t>(std::strlen(finalUrl), 2048));
  }
  if (!headerSink.retryAfter.empty()) {
    outcome.retryAfterSeconds = RetryAfterSeconds(headerSink.retryAfter, std::time(nullptr));
  }
  return std::move(sink.body);
}

}  // namespace dt
