// Shared pieces of the shell's widget tests: the application object, a
// collection engine with fakes, and a browser launcher that records calls.
#pragma once

#include <QApplication>
#include <QString>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collect/collector.h"
#include "collect/worker_pool.h"
#include "shell/main_window.h"
#include "shell/open_address.h"
#include "text/gbk_codec.h"

namespace dt::shell::testing {

// One application object for the whole test binary, on the offscreen
// platform unless the caller chose another.
inline QApplication& App() {
  static int argc = 1;
  static char name[] = "shell_tests";
  static char* argv[] = {name, nullptr};
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Fixtures derive from this first, so the application exists before any
// widget member is made.
struct WithApp {
  WithApp() { App(); }
};

// GBK bytes of a UTF-8 literal, and display text of GBK bytes.
inline std::string G(std::string_view utf8) {
  return Utf8ToGbk(utf8);
}
inline QString U(std::string_view gbk) {
  return QString::fromStdString(GbkToUtf8(gbk));
}

class RecordingLauncher : public BrowserLauncher {
 public:
  struct Call {
    bool started;  // StartBrowser, else OpenDefault
    std::string url;
    bool operator==(const Call&) const = default;
    friend void PrintTo(const Call& call, std::ostream* out) {
      *out << (call.started ? "StartBrowser(" : "OpenDefault(") << call.url << ")";
    }
  };
  void OpenDefault(const std::string& url) override { calls.push_back({false, url}); }
  bool StartBrowser(const std::string& url) override {
    calls.push_back({true, url});
    return browserStarts;
  }
  bool browserStarts = true;
  std::vector<Call> calls;
};

// A collector over a real worker pool with a test's page work or fetcher.
class TestEngine {
 public:
  explicit TestEngine(CollectorConfig config) : collector_(pool_, lock_, std::move(config)) {}
  explicit TestEngine(std::function<void(ShopNumber)> pageWork)
      : collector_(pool_, lock_, std::move(pageWork)) {}
  ~TestEngine() { collector_.Run().WaitUntilIdle(std::chrono::seconds(30)); }
  Collector& collector() { return collector_; }

 private:
  WorkerPool pool_;
  RunLock lock_;
  Collector collector_;
};

}  // namespace dt::shell::testing
