// The simulator's HTTP side, on cpp-httplib.
#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/marketsim/marketsim.h"
#include "tools/marketsim/sim_pages.h"

namespace dt::marketsim {
namespace {

using namespace std::chrono_literals;

constexpr const char* kHtml = "text/html; charset=gbk";
constexpr const char* kUtf8Html = "text/html; charset=utf-8";
// One worker per open connection, sleeping ones included: twenty clients
// with their retries and keep-alive connections must not wait for a worker.
constexpr std::size_t kWorkerThreads = 64;
// The library listens with a backlog of 5; twenty clients connecting at once
// would overflow it, and the kernel would make the late ones repeat their
// handshake a second later.
constexpr int kListenBacklog = 256;
// How long an idle connection stays open (the keep-alive time-out) with a
// margin: a request from the same client port after a longer pause comes
// on a new connection.
constexpr auto kConnectionIdle = 3s;
constexpr std::size_t kChunkBytes = 64 * 1024;

struct ShopRequest {
  int number = 0;
  std::string path;
};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// "shop<N>.taobao.com" with N in the canonical decimal form the program
// writes (no leading zeros, no plus sign); the port, if any, is ignored.
std::optional<int> ShopNumberOfHost(std::string host) {
  if (auto colon = host.rfind(':'); colon != std::string::npos) host.resize(colon);
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  constexpr std::string_view kPrefix = "shop", kSuffix = ".taobao.com";
  if (host.size() <= kPrefix.size() + kSuffix.size() || !host.starts_with(kPrefix) ||
      !host.ends_with(kSuffix))
    return std::nullopt;
  const std::string digits =
      host.substr(kPrefix.size(), host.size() - kPrefix.size() - kSuffix.size());
  int number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (std::to_string(number) != digits) return std::nullopt;
  return number;
}

// The host a request names, without its port, lower-cased; and its path.
std::pair<std::string, std::string> HostAndPath(const httplib::Request& req) {
  std::string host, path;
  if (StartsWithNoCase(req.target, "http://")) {  // absolute form, as sent to a proxy
    const std::size_t slash = req.target.find('/', 7);
    host = req.target.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
    path = slash == std::string::npos ? "/" : req.target.substr(slash);
  } else {
    host = req.get_header_value("Host");
    path = req.target;
  }
  return {host, path};
}

bool IsSignInHost(std::string host) {
  if (auto colon = host.rfind(':'); colon != std::string::npos) host.resize(colon);
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return host == "login.taobao.com";
}

std::optional<ShopRequest> ResolveShop(const httplib::Request& req) {
  auto [host, path] = HostAndPath(req);
  const auto number = ShopNumberOfHost(host);
  if (!number) return std::nullopt;
  return ShopRequest{*number, path};
}

bool SameEndpoint(const sockaddr_storage& address, const std::string& ip, int port) {
  if (address.ss_family != AF_INET) return false;
  const auto& in = reinterpret_cast<const sockaddr_in&>(address);
  char text[INET_ADDRSTRLEN] = {};
  if (!inet_ntop(AF_INET, &in.sin_addr, text, sizeof text)) return false;
  return ntohs(in.sin_port) == port && ip == text;
}

bool IsConnectionOf(int fd, const httplib::Request& req) {
  sockaddr_storage local{}, peer{};
  socklen_t localLength = sizeof local, peerLength = sizeof peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) return false;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return false;
  return SameEndpoint(local, req.local_addr, req.local_port) &&
         SameEndpoint(peer, req.remote_addr, req.remote_port);
}

// The socket of the request's connection, found by its two endpoints; -1 when
// none matches. The handler runs while the connection is open, so the
// descriptor stays valid for the rest of the handler.
int ConnectionSocket(const httplib::Request& req) {
  std::vector<int> candidates;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') candidates.push_back(std::atoi(entry->d_name));
    }
    closedir(dir);
  } else {
    for (int fd = 0; fd < 1024; ++fd) candidates.push_back(fd);
  }
  for (int fd : candidates) {
    if (IsConnectionOf(fd, req)) return fd;
  }
  return -1;
}

bool PeerClosed(int fd) {
  if (fd < 0) return false;
  pollfd entry{fd, POLLIN | POLLRDHUP, 0};
  if (poll(&entry, 1, 0) <= 0) return false;
  if (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) return true;
  char byte;
  return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

// The listening socket bound to 127.0.0.1:port, -1 when none is found.
int ListeningSocket(int port) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int found = -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    int listening = 0;
    socklen_t length = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || !listening) continue;
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
        SameEndpoint(local, "127.0.0.1", port)) {
      found = fd;
      break;
    }
  }
  closedir(dir);
  return found;
}

// What the network makes of a request before the marketplace sees it.
enum class Verdict { Serve, Drop, Busy, Limited, Blocked };

}  // namespace

struct Server::Impl {
  explicit Impl(Options opts) : options(std::move(opts)) {}

  // Waits in short slices so that Stop() never waits long; false once stopping
  // began or when the client has gone.
  bool Wait(int ms, int fd = -1) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
      if (stopping || PeerClosed(fd)) return false;
      std::this_thread::sleep_for(
          std::min<std::chrono::nanoseconds>(10ms, until - std::chrono::steady_clock::now()));
    }
    return !stopping;
  }

  // Whether the request is the first on its connection. Connections are told
  // apart by the client's port, which no two open ones share; one idle for
  // longer than the keep-alive time-out has been closed.
  bool NewConnection(const httplib::Request& req, std::chrono::steady_clock::time_point now) {
    const std::string key = req.remote_addr + ":" + std::to_string(req.remote_port);
    const auto it = lastSeen.find(key);
    const bool fresh = it == lastSeen.end() || now - it->second > kConnectionIdle;
    if (lastSeen.size() > 4096)
      std::erase_if(lastSeen, [&](const auto& e) { return now - e.second > kConnectionIdle; });
    lastSeen[key] = now;
    return fresh;
  }

  void SeenUntil(const httplib::Request& req) {
    std::lock_guard<std::mutex> lock(countMutex);
    lastSeen[req.remote_addr + ":" + std::to_string(req.remote_port)] =
        std::chrono::steady_clock::now();
  }

  // Decides, as the request arrives, what the network does with it; attempt
  // is the number of earlier requests for the same shop, -1 for other requests.
  Verdict Judge(const std::optional<ShopRequest>& shop, int attempt,
                std::chrono::steady_clock::time_point now) {
    const bool shopRequest = attempt >= 0;
    if (shopRequest) {
      const int sequence = ++shopRequests;
      if (options.blockAfter && sequence > *options.blockAfter) {
        if (!firstBlocked) {
          firstBlocked = shop->number;
          blockedSince = now;
        }
        const bool over = options.blockForMs > 0 &&
                          now - blockedSince >= std::chrono::milliseconds(options.blockForMs);
        if (!over) return Verdict::Blocked;
      }
      if (options.outageAfter && options.outageMs > 0 && !outageStart &&
          sequence > *options.outageAfter) {
        outageStart = now;
      }
    }
    if (outageStart && now - *outageStart < std::chrono::milliseconds(options.outageMs)) {
      return Verdict::Drop;
    }
    if (!shopRequest) return Verdict::Serve;
    if (options.rateLimit > 0) {
      while (!accepted.empty() && now - accepted.front() >= 1s) accepted.pop_front();
      if (accepted.size() >= static_cast<std::size_t>(options.rateLimit)) return Verdict::Limited;
      accepted.push_back(now);
    }
    if (DroppedAt(options, shop->number, attempt)) return Verdict::Drop;
    if (BusyAt(options, shop->number, attempt)) return Verdict::Busy;
    return Verdict::Serve;
  }

  void Handle(const httplib::Request& req, httplib::Response& res) {
    ++total;
    const auto arrived = std::chrono::steady_clock::now();
    const auto shop = ResolveShop(req);
    Verdict verdict = Verdict::Serve;
    bool fresh = false;
    {
      std::lock_guard<std::mutex> lock(countMutex);
      // Only a round trip tells a new connection from an old one.
      fresh = options.rttMs > 0 && NewConnection(req, arrived);
      const int attempt = shop && shop->path == "/" ? counts[shop->number]++ : -1;
      verdict = Judge(shop, attempt, arrived);
    }
    const int delayMs = options.rttMs * (fresh ? 2 : 1) + options.latencyMs;
    const bool waited = delayMs <= 0 || Wait(delayMs);
    if (options.rttMs > 0) SeenUntil(req);
    if (!waited) {
      res.status = 503;
      return;
    }
    switch (verdict) {
      case Verdict::Serve:
        break;
      case Verdict::Drop:
        Refuse(req, res);
        return;
      case Verdict::Busy:
        ++answered503;
        res.status = 503;
        if (options.busyRetryAfter > 0)
          res.set_header("Retry-After", std::to_string(options.busyRetryAfter));
        res.set_content(detail::BusyPage(), kHtml);
        return;
      case Verdict::Limited:
        ++answered429;
        res.status = 429;
        res.set_header("Retry-After", "1");
        res.set_content(detail::TooManyRequestsPage(), kHtml);
        return;
      case Verdict::Blocked:
        Block(res);
        return;
    }
    // Where the sign-in block sends its clients.
    if (!shop && IsSignInHost(HostAndPath(req).first)) {
      res.set_content(detail::SignInPage(), kHtml);
      return;
    }
    if (!shop || req.method != "GET") {
      res.status = 404;
      res.set_content(detail::NotFoundPage(), kHtml);
      return;
    }
    if (shop->path == "/moved") {
      res.set_content(detail::RedirectedPage(options, shop->number),
                      ServedInUtf8(options, shop->number) ? kUtf8Html : kHtml);
      CountPage(shop->number);
      return;
    }
    if (shop->path == "/loop") {
      res.set_redirect("/loop");
      return;
    }
    if (shop->path != "/") {
      res.status = 404;
      res.set_content(detail::NotFoundPage(), kHtml);
      return;
    }
    // A number the growing marketplace has not given out yet, or skipped.
    if (options.topAtStart && shop->number > *options.topAtStart &&
        (shop->number > NewestNow() || !OpenedAt(options, shop->number))) {
      res.set_content(detail::EmptyNumberPage(options, shop->number), kHtml);
      CountPage(shop->number);
      return;
    }
    Answer(req, res, shop->number, detail::AnswerFor(options, shop->number));
  }

  int NewestNow() const {
    if (!options.topAtStart) return INT32_MAX;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
    return NewestAt(options, seconds);
  }

  void Block(httplib::Response& res) {
    switch (options.blockForm) {
      case BlockForm::TooMany:
        ++answered429;
        res.status = 429;
        res.set_content(detail::DeniedPage(), kHtml);
        return;
      case BlockForm::Forbidden:
        res.status = 403;
        res.set_content(detail::ForbiddenPage(), kHtml);
        return;
      case BlockForm::SignIn:
        res.set_redirect(std::string(kSignInAddress));
        return;
      case BlockForm::Verify:
        res.set_content(detail::VerifyPage(), kHtml);
        return;
    }
  }

  void CountPage(int number) {
    std::lock_guard<std::mutex> lock(countMutex);
    ++pages[number];
  }

  void Refuse(const httplib::Request& req, httplib::Response& res) {
    ++dropped;
    // The client sees the connection end before any byte of a response.
    if (const int fd = ConnectionSocket(req); fd >= 0) shutdown(fd, SHUT_RDWR);
    // Only seen when the connection could not be found and dropped.
    res.status = 500;
    res.set_content("connection not dropped", "text/plain");
  }

  void Answer(const httplib::Request& req, httplib::Response& res, int number,
              detail::Answer answer) {
    if (answer.refuse) {
      Refuse(req, res);
      return;
    }
    const char* const type = answer.utf8 ? kUtf8Html : kHtml;
    if (answer.status == 302) {
      res.set_redirect(answer.location);
      return;
    }
    res.status = answer.status;
    if (answer.announcedExtra > 0) {
      // Announced longer than it is: the connection closes after the last byte.
      auto body = std::make_shared<std::string>(std::move(answer.body));
      res.set_content_provider(
          body->size() + answer.announcedExtra, type,
          [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            if (offset >= body->size()) return false;
            return sink.write(body->data() + offset, std::min(length, body->size() - offset));
          });
      return;
    }
    if (answer.dropAfterSent) {
      auto body = std::make_shared<std::string>(std::move(answer.body));
      const std::size_t sent = answer.sentBytes;
      const bool stall = answer.stallFirst;
      const int fd = stall ? ConnectionSocket(req) : -1;
      res.set_content_provider(body->size(), type,
                               [this, body, sent, stall, fd](std::size_t offset, std::size_t length,
                                                             httplib::DataSink& sink) {
                                 if (offset < sent)
                                   return sink.write(body->data() + offset,
                                                     std::min(length, sent - offset));
                                 if (stall) Wait(options.stallMs, fd);
                                 return false;  // the connection drops with the body unfinished
                               });
      return;
    }
    if (answer.status == 200 || answer.status == 404) CountPage(number);
    if (answer.fillerBytes > 0) {
      auto shared = std::make_shared<detail::Answer>(std::move(answer));
      res.set_content_provider(
          shared->body.size() + shared->fillerBytes + shared->tail.size(), type,
          [this, shared](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            if (stopping) return false;
            const detail::Answer& a = *shared;
            if (offset < a.body.size()) {
              return sink.write(a.body.data() + offset, std::min(length, a.body.size() - offset));
            }
            const std::size_t fillerEnd = a.body.size() + a.fillerBytes;
            if (offset >= fillerEnd) {
              const std::size_t at = offset - fillerEnd;
              return sink.write(a.tail.data() + at, std::min(length, a.tail.size() - at));
            }
            const std::string chunk = detail::FillerOf(
                a, offset - a.body.size(), std::min({length, kChunkBytes, fillerEnd - offset}));
            return sink.write(chunk.data(), chunk.size());
          });
      return;
    }
    res.set_content(answer.body, type);
  }

  Options options;
  httplib::Server http;
  std::thread thread;
  std::atomic<bool> stopping{false};
  bool started = false;
  std::chrono::steady_clock::time_point startedAt = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point blockedSince{};
  mutable std::mutex countMutex;
  std::map<int, int> counts;  // shop requests per number
  std::map<int, int> pages;   // complete pages served per number
  std::map<std::string, std::chrono::steady_clock::time_point> lastSeen;  // per client endpoint
  int shopRequests = 0;
  std::deque<std::chrono::steady_clock::time_point> accepted;  // within the last second
  std::optional<std::chrono::steady_clock::time_point> outageStart;
  std::optional<int> firstBlocked;
  std::atomic<int> total{0};
  std::atomic<int> answered429{0}, answered503{0}, dropped{0};
};

Server::Server(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() {
  Stop();
}

int Server::Start(int port) {
  Impl& impl = *impl_;
  if (impl.started) return -1;
  // Writing to a connection the client already closed must not end the process.
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    signal(SIGPIPE, SIG_IGN);
  }
  impl.http.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  impl.http.set_keep_alive_timeout(1);
  impl.http.set_read_timeout(2, 0);
  impl.http.set_write_timeout(5, 0);
  impl.http.set_payload_max_length(1 << 20);
  const auto handler = [&impl](const httplib::Request& req, httplib::Response& res) {
    impl.Handle(req, res);
  };
  impl.http.Get(".*", handler);

  int bound = -1;
  if (port == 0) {
    bound = impl.http.bind_to_any_port("127.0.0.1");
  } else if (impl.http.bind_to_port("127.0.0.1", port)) {
    bound = port;
  }
  if (bound <= 0) return -1;
  // Listening again on a listening socket only changes its backlog. Without
  // it the server still works, with slower bursts of new connections.
  if (const int fd = ListeningSocket(bound); fd >= 0) (void)listen(fd, kListenBacklog);
  impl.stopping = false;
  impl.startedAt = std::chrono::steady_clock::now();
  impl.thread = std::thread([&impl] { impl.http.listen_after_bind(); });
  impl.started = true;
  // A stop that comes before the accept loop runs would be lost.
  for (int i = 0; i < 10000 && !impl.http.is_running(); ++i) std::this_thread::sleep_for(1ms);
  return bound;
}

void Server::Stop() {
  Impl& impl = *impl_;
  if (!impl.started) return;
  impl.stopping = true;
  impl.http.stop();
  impl.thread.join();
  impl.started = false;
}

int Server::RequestCount(int number) const {
  std::lock_guard<std::mutex> lock(impl_->countMutex);
  const auto it = impl_->counts.find(number);
  return it == impl_->counts.end() ? 0 : it->second;
}

int Server::TotalRequests() const {
  return impl_->total;
}

int Server::PagesServed(int number) const {
  std::lock_guard<std::mutex> lock(impl_->countMutex);
  const auto it = impl_->pages.find(number);
  return it == impl_->pages.end() ? 0 : it->second;
}

std::optional<int> Server::FirstBlockedNumber() const {
  std::lock_guard<std::mutex> lock(impl_->countMutex);
  return impl_->firstBlocked;
}

int Server::Answered429() const {
  return impl_->answered429;
}

int Server::Answered503() const {
  return impl_->answered503;
}

int Server::Dropped() const {
  return impl_->dropped;
}

int Server::Newest() const {
  return impl_->NewestNow();
}

}  // namespace dt::marketsim
