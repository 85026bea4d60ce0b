// Dovetrail: start-up and shut-down.
#include <QApplication>
#include <QCoreApplication>
#include <cstdlib>
#include <string>
#include <utility>

#include "collect/collector.h"
#include "collect/shop_task.h"
#include "collect/worker_pool.h"
#include "settings/ini_file.h"
#include "shell/main_window.h"
#include "shell/open_address.h"
#include "shoppage/fetch_page.h"

int main(int argc, char** argv) {
  // The HTTP client is prepared before any thread exists.
  dt::InitPageFetcher();
  QApplication app(argc, argv);

  // Program-wide state. None of it is ever destroyed: task threads of a run
  // may still use it when the process ends.
  auto* pool = new dt::WorkerPool;
  dt::RunLock& runLock = dt::WorkerPool::CreateLock();
  const std::string shopLogPath = QCoreApplication::applicationDirPath().toStdString() + "/" +
                                  std::string(dt::kShopLogFileName);
  auto* shopLog = new dt::IniAppendWriter(shopLogPath);

  dt::CollectorConfig config;
  config.fetchPage = [](std::string& address) { return dt::FetchPage(address); };
  // Called under the run lock, so one entry is written at a time.
  config.writeShopLog = [shopLog](std::string_view key, std::string_view value) {
    shopLog->Write(dt::kShopLogSection, key, value);
  };
  auto* collector = new dt::Collector(*pool, runLock, std::move(config));
  auto* launcher = new dt::shell::SystemBrowserLauncher;
  auto* window = new dt::shell::MainWindow(*collector, *launcher);
  window->show();
  app.exec();

  // End at once: tasks still running are not waited for.
  std::_Exit(0);
}
