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
constexpr std::size_t kWorkerThreads = 48;
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

std::optional<ShopRequest> ResolveShop(const httplib::Request& req) {
  std::string host, path;
  if (StartsWithNoCase(req.target, "http://")) {  // absolute form, as sent to a proxy
    const std::size_t slash = req.target.find('/', 7);
    host = req.target.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
    path = slash == std::string::npos ? "/" : req.target.substr(slash);
  } else {
    host = req.get_header_value("Host");
    path = req.target;
  }
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

  void Handle(const httplib::Request& req, httplib::Response& res) {
    ++total;
    const auto shop = ResolveShop(req);
    if (shop && shop->path == "/") {
      std::lock_guard<std::mutex> lock(countMutex);
      ++counts[shop->number];
    }
    if (options.latencyMs > 0 && !Wait(options.latencyMs)) {
      res.status = 503;
      return;
    }
    if (!shop || req.method != "GET") {
      res.status = 404;
      res.set_content(detail::NotFoundPage(), kHtml);
      return;
    }
    if (shop->path == "/moved") {
      res.set_content(detail::RedirectedPage(options, shop->number), kHtml);
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
    Answer(req, res, detail::AnswerFor(options, shop->number));
  }

  void Answer(const httplib::Request& req, httplib::Response& res, detail::Answer answer) {
    if (answer.refuse) {
      // The client sees the connection end before any byte of a response.
      if (const int fd = ConnectionSocket(req); fd >= 0) shutdown(fd, SHUT_RDWR);
      // Only seen when the connection could not be found and dropped.
      res.status = 500;
      res.set_content("connection not dropped", "text/plain");
      return;
    }
    if (answer.status == 302) {
      res.set_redirect(answer.location);
      return;
    }
    res.status = answer.status;
    if (answer.dropAfterSent) {
      auto body = std::make_shared<std::string>(std::move(answer.body));
      const std::size_t sent = answer.sentBytes;
      const bool stall = answer.stallFirst;
      const int fd = stall ? ConnectionSocket(req) : -1;
      res.set_content_provider(body->size(), kHtml,
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
    if (answer.fillerBytes > 0) {
      auto shared = std::make_shared<detail::Answer>(std::move(answer));
      res.set_content_provider(
          shared->body.size() + shared->fillerBytes + shared->tail.size(), kHtml,
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
    res.set_content(answer.body, kHtml);
  }

  Options options;
  httplib::Server http;
  std::thread thread;
  std::atomic<bool> stopping{false};
  bool started = false;
  mutable std::mutex countMutex;
  std::map<int, int> counts;
  std::atomic<int> total{0};
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
  impl.stopping = false;
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

}  // namespace dt::marketsim
