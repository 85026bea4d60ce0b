#include "shoppage/fetch_page.h"

#include <curl/curl.h>

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

std::string FetchPage(std::string& address, const FetchLimits& limits) {
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
      curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink) == CURLE_OK;
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
  return std::move(sink.body);
}

}  // namespace dt
