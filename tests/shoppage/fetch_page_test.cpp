#include "shoppage/fetch_page.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace dt {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

// A loopback HTTP server on a free port, serving from its own thread for the
// whole suite.
class LoopbackServer {
 public:
  LoopbackServer() {
    server_.Get("/agent", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.method + "|" + req.get_header_value("User-Agent") + "|" +
                          req.get_header_value("Cache-Control") + "|" +
                          req.get_header_value("Pragma") + "|" +
                          (req.has_header("Accept-Encoding") ? "encoding" : "identity"),
                      "text/plain");
    });
    server_.Get("/moved", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("/arrived");
    });
    server_.Get("/arrived", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("arrived", "text/plain");
    });
    server_.Get("/loop",
                [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop"); });
    server_.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("<html>no such shop</html>", "text/html");
    });
    server_.Get("/broken", [](const httplib::Request&, httplib::Response& res) {
      res.status = 500;
      res.set_content("server fault", "text/plain");
    });
    server_.Get("/nul", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("before\0middle\0\0after"s, "application/octet-stream");
    });
    server_.Get("/exact2048", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(Exact2048(), "application/octet-stream");
    });
    server_.Get("/path/.*", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.path, "text/plain");
    });
    server_.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain",
                                       [this](size_t offset, httplib::DataSink& sink) {
                                         if (offset == 0) return sink.write("partial-", 8);
                                         // Hold the connection open without sending, until the
                                         // suite ends.
                                         for (int i = 0; i < 1000 && !stopping_; ++i)
                                           std::this_thread::sleep_for(10ms);
                                         return false;
                                       });
    });
    // Two bytes a second, fast enough for the low-speed limit, for about 10 s.
    server_.Get("/drip", [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain",
                                       [this](size_t offset, httplib::DataSink& sink) {
                                         if (offset >= kDrip.size()) {
                                           sink.done();
                                           return true;
                                         }
                                         if (offset > 0) {
                                           for (int i = 0; i < 100 && !stopping_; ++i)
                                             std::this_thread::sleep_for(10ms);
                                         }
                                         return !stopping_ && sink.write(kDrip.data() + offset, 2);
                                       });
    });
    server_.Get("/endless", [](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(size_t{1} << 30, "application/octet-stream",
                               [](size_t, size_t length, httplib::DataSink& sink) {
                                 const std::string block(std::min<size_t>(length, 65536), 'z');
                                 return sink.write(block.data(), block.size());
                               });
    });
    // Anything else, the absolute-form proxy request included, is recorded.
    server_.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lastTarget_ = req.target;
        lastHost_ = req.get_header_value("Host");
      }
      res.set_content("proxied", "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // A stop() that comes before the accept loop has begun is lost and the
    // join would wait forever, so only hand the server out once it runs.
    while (!server_.is_running()) std::this_thread::sleep_for(1ms);
  }

  ~LoopbackServer() {
    stopping_ = true;
    server_.stop();
    thread_.join();
  }

  static std::string Exact2048() {
    std::string body(2048, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + 3);
    return body;
  }

  static constexpr std::string_view kDrip = "abcdefghijklmnopqrst";

  int port() const { return port_; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::pair<std::string, std::string> LastProxied() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {lastTarget_, lastHost_};
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::string lastTarget_, lastHost_;
};

class FetchPageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new LoopbackServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_GT(server_->port(), 0);
    // A proxy configured on the machine must not take the loopback requests.
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
      unsetenv(name);
  }
  static std::string Fetch(const std::string& path, const FetchLimits& limits = FetchLimits{}) {
    std::string address = server_->Url(path);
    return FetchPage(address, limits);
  }
  static LoopbackServer* server_;
};
LoopbackServer* FetchPageTest::server_ = nullptr;

TEST_F(FetchPageTest, SendsPlainGetWithAgentAndNoCache) {
  EXPECT_EQ(Fetch("/agent"), "GET|cctv.mtv|no-cache|no-cache|identity");
}

TEST_F(FetchPageTest, ReturnsBodiesWholeWhateverTheStatus) {
  const struct {
    const char* path;
    std::string body;
    const char* finalPath;  // where the answer came from
  } cases[] = {
      {"/moved", "arrived", "/arrived"},
      {"/missing", "<html>no such shop</html>", "/missing"},
      {"/broken", "server fault", "/broken"},
      {"/nul", "before\0middle\0\0after"s, "/nul"},
      {"/exact2048", LoopbackServer::Exact2048(), "/exact2048"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string address = server_->Url(c.path);
    FetchOutcome outcome;
    const std::string body = FetchPage(address, outcome);
    EXPECT_EQ(body.size(), c.body.size());
    EXPECT_EQ(body, c.body);
    EXPECT_EQ(outcome.finalAddress, server_->Url(c.finalPath));
  }
}

TEST_F(FetchPageTest, RedirectLoopEndsWithoutAShopPage) {
  const auto started = std::chrono::steady_clock::now();
  const std::string body = Fetch("/loop");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(body.find("data-value"), std::string::npos);
}

TEST_F(FetchPageTest, BackslashesBecomeSlashesInTheCallersAddress) {
  std::string address = "http://127.0.0.1:" + std::to_string(server_->port()) + "\\path\\a\\b";
  EXPECT_EQ(FetchPage(address), "/path/a/b");
  EXPECT_EQ(address, "http://127.0.0.1:" + std::to_string(server_->port()) + "/path/a/b");
}

TEST_F(FetchPageTest, BackslashAsSecondByteOfAGbkCharacterStays) {
  // 0x5C after the lead byte 0x81 is half of one character, not a backslash.
  std::string address = "http://127.0.0.1:1/\x81\x5C\\x";
  FetchPage(address);
  EXPECT_EQ(address, "http://127.0.0.1:1/\x81\x5C/x");
}

int ClosedLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  socklen_t length = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  close(fd);
  return ntohs(addr.sin_port);
}

TEST_F(FetchPageTest, RefusedConnectionGivesEmptyBody) {
  const int port = ClosedLoopbackPort();
  ASSERT_GT(port, 0);
  std::string address = "http://127.0.0.1:" + std::to_string(port) + "/";
  EXPECT_EQ(FetchPage(address), "");
}

TEST_F(FetchPageTest, MalformedOrForeignAddressesGiveEmptyBody) {
  const std::string addresses[] = {"", "not an address", "file:///etc/passwd", "http://",
                                   // would fetch /path/a if the NUL cut the address short
                                   server_->Url("/path/a\0/b"s)};
  for (std::string address : addresses) {
    SCOPED_TRACE(address);
    EXPECT_EQ(FetchPage(address), "");
  }
}

TEST_F(FetchPageTest, StalledServerEndsWithinTheLowSpeedLimitKeepingTheBytesSoFar) {
  FetchLimits limits;
  // The client averages speed over a few seconds, so a high floor makes the
  // stall count from its first second.
  limits.lowSpeedTimeSeconds = 1;
  limits.lowSpeedBytesPerSecond = 1000;
  const auto started = std::chrono::steady_clock::now();
  const std::string body = Fetch("/stall", limits);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(body, "partial-");
  EXPECT_LT(took, 4s);
}

TEST_F(FetchPageTest, DrippingServerEndsAtTheTotalLimitKeepingTheBytesSoFar) {
  FetchLimits limits;
  limits.totalTimeoutMilliseconds = 1000;
  const auto started = std::chrono::steady_clock::now();
  std::string address = server_->Url("/drip");
  FetchOutcome outcome;
  const std::string body = FetchPage(address, outcome, limits);
  const auto took = std::chrono::steady_clock::now() - started;
  // A time-out, which the run tries again, not a page cut short.
  EXPECT_EQ(outcome.transport, Transport::TimedOut);
  EXPECT_LT(took, 3s);
  EXPECT_GE(body.size(), 2u);
  EXPECT_LE(body.size(), 6u);
  EXPECT_EQ(body, LoopbackServer::kDrip.substr(0, body.size()));
}

TEST_F(FetchPageTest, BodyIsCappedAndTheTransferEnds) {
  FetchLimits limits;
  limits.maxBodyBytes = 100000;
  const auto started = std::chrono::steady_clock::now();
  const std::string body = Fetch("/endless", limits);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(body, std::string(100000, 'z'));

  limits.maxBodyBytes = 2048;  // a cap equal to the body keeps all of it
  EXPECT_EQ(Fetch("/exact2048", limits), LoopbackServer::Exact2048());
  limits.maxBodyBytes = 2047;
  EXPECT_EQ(Fetch("/exact2048", limits), LoopbackServer::Exact2048().substr(0, 2047));
}

TEST_F(FetchPageTest, ProxyFromTheEnvironmentGetsTheAbsoluteAddress) {
  const std::string proxy = "http://127.0.0.1:" + std::to_string(server_->port());
  setenv("http_proxy", proxy.c_str(), 1);
  std::string address = "http://shop5.taobao.com/";
  const std::string body = FetchPage(address);
  unsetenv("http_proxy");
  EXPECT_EQ(body, "proxied");
  const auto [target, host] = server_->LastProxied();
  EXPECT_EQ(target, "http://shop5.taobao.com/");
  EXPECT_EQ(host, "shop5.taobao.com");
}

TEST_F(FetchPageTest, CallsOnManyThreadsAreIndependent) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const std::string path = "/path/" + std::to_string(t) + "/" + std::to_string(i);
        if (Fetch(path) != path) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
}

// A listener whose accept queue is full until `lateBy` has passed: a client's
// handshake goes unanswered until then, as at a server too busy to accept.
// Afterwards it answers each request with "late".
class LateAcceptor {
 public:
  explicit LateAcceptor(std::chrono::milliseconds lateBy) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 0) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
      return;
    port_ = ntohs(addr.sin_port);
    // Connections nobody accepts fill the queue.
    for (int i = 0; i < 3; ++i) {
      const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      (void)connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      fillers_.push_back(filler);
    }
    std::this_thread::sleep_for(50ms);
    thread_ = std::thread([this, lateBy] { Serve(lateBy); });
  }
  ~LateAcceptor() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    for (const int fd : fillers_) close(fd);
    close(listener_);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  int port() const { return port_; }

 private:
  void Serve(std::chrono::milliseconds lateBy) {
    const auto until = std::chrono::steady_clock::now() + lateBy;
    while (!stopping_ && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(10ms);
    // The fillers go first, so that none of them takes the place the client
    // waits for.
    for (const int fd : fillers_) close(fd);
    fillers_.clear();
    while (!stopping_) {
      pollfd listening{listener_, POLLIN, 0};
      if (poll(&listening, 1, 20) != 1) continue;
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      pollfd request{fd, POLLIN, 0};
      char buffer[4096];
      // The fillers never send; only the client's request is answered.
      if (poll(&request, 1, 100) == 1 && read(fd, buffer, sizeof buffer) > 0) {
        static constexpr std::string_view kAnswer =
            "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\nlate";
        (void)!write(fd, kAnswer.data(), kAnswer.size());
      }
      close(fd);
    }
  }

  int listener_ = -1;
  int port_ = -1;
  std::vector<int> fillers_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
};

// The connection limit where it takes effect: a server that accepts within
// it is waited for (the default limit included), one that does not is given up
// on in about that time.
TEST_F(FetchPageTest, ConnectLimitHoldsAgainstAServerThatAcceptsLate) {
  const struct {
    const char* what;
    long connectSeconds;  // 0: the default limits
    std::chrono::milliseconds lateBy;
    const char* body;
  } cases[] = {
      {"accepted within the default limits", 0, 300ms, "late"},
      {"not accepted within the limit", 1, 5000ms, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LateAcceptor server(c.lateBy);
    ASSERT_GT(server.port(), 0);
    FetchLimits limits;
    if (c.connectSeconds > 0) limits.connectTimeoutSeconds = c.connectSeconds;
    std::string address = server.Url();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(FetchPage(address, limits), c.body);
    // Room for a busy machine, below the 5 s a fetch that ignored the limit takes.
    EXPECT_LT(std::chrono::steady_clock::now() - started,
              std::chrono::seconds(limits.connectTimeoutSeconds) + 3s);
  }
}

}  // namespace
}  // namespace dt
