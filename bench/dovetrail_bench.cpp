// Benchmarks that compare each piece of the engine with a plain baseline
// measured in the same process, so the ratios hold on any machine:
//   collection run   vs  a bare sequential FetchPage loop over the same numbers
//   ParseShopPage    vs  std::string::find of the same markers
//   shop log append  at 100k existing keys vs at 1k
//   shop log rerun   same values over 10k of 200k keys vs 10k new keys
//   results store    vs  a vector of string arrays, 1M rows appended and read
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "collect/collector.h"
#include "collect/shop_task.h"
#include "settings/ini_file.h"
#include "shoppage/fetch_page.h"
#include "shoppage/shop_page.h"
#include "text/gbk_text.h"
#include "tools/marketsim/marketsim.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace sim = dt::marketsim;

// Keeps results alive so the optimiser cannot drop the work.
volatile std::size_t gSink = 0;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Seconds per call: repeats `work` until `minimum` has passed, best of
// `rounds` such measurements.
double PerCall(const std::function<void()>& work, double minimum = 0.2, int rounds = 3) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    long calls = 0;
    const auto begin = Clock::now();
    double elapsed = 0;
    do {
      work();
      ++calls;
      elapsed = Seconds(Clock::now() - begin);
    } while (elapsed < minimum);
    best = std::min(best, elapsed / static_cast<double>(calls));
  }
  return best;
}

struct Row {
  std::string name, unit;
  double baseline, measured;
};

std::string Human(double seconds) {
  char text[32];
  if (seconds >= 1) {
    std::snprintf(text, sizeof text, "%.3f s", seconds);
  } else if (seconds >= 1e-3) {
    std::snprintf(text, sizeof text, "%.3f ms", seconds * 1e3);
  } else if (seconds >= 1e-6) {
    std::snprintf(text, sizeof text, "%.3f us", seconds * 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.1f ns", seconds * 1e9);
  }
  return text;
}

void Print(const std::vector<Row>& rows) {
  std::printf("%-58s %12s %12s %7s\n", "benchmark", "baseline", "measured", "ratio");
  for (const Row& row : rows) {
    std::printf("%-58s %12s %12s %7.2f\n", (row.name + " (" + row.unit + ")").c_str(),
                Human(row.baseline).c_str(), Human(row.measured).c_str(),
                row.measured / row.baseline);
  }
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dt-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// (a) A run holds the run lock around every fetch, so it can be no faster
// than fetching the same pages one after the other; the ratio shows what the
// 20 chains, the thread per task and the row bookkeeping cost on top.
Row CollectionRunVsFetchLoop() {
  constexpr int kFirst = 67808220, kCount = 2000;
  sim::Options options;
  options.seed = 7;
  options.density = 0.5;
  sim::Server server(options);
  const int port = server.Start();
  if (port <= 0) {
    std::fprintf(stderr, "simulator did not start\n");
    std::exit(1);
  }
  for (const char* name : {"HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    unsetenv(name);
  }
  setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
  dt::InitPageFetcher();

  auto fetchLoop = [&] {
    for (int n = kFirst; n < kFirst + kCount; ++n) {
      std::string address = dt::ShopAddress(n);
      gSink = gSink + dt::FetchPage(address).size();
    }
  };
  dt::WorkerPool pool;
  dt::RunLock lock;
  dt::Collector collector(
      pool, lock, dt::CollectorConfig{[](std::string& a) { return dt::FetchPage(a); }, {}, {}, {}});
  auto collect = [&] {
    dt::CollectionRun& run = collector.Run();
    run.SetLastNumber(kFirst + kCount - 1);
    if (run.Running()) run.Click(0);
    run.Click(kFirst);
    if (!run.WaitUntilIdle(600s)) std::abort();
  };
  fetchLoop();  // warm-up: server threads, page generation paths
  double baseline = 1e300, measured = 1e300;
  for (int round = 0; round < 3; ++round) {  // interleaved, so drift hits both
    auto begin = Clock::now();
    fetchLoop();
    baseline = std::min(baseline, Seconds(Clock::now() - begin) / kCount);
    begin = Clock::now();
    collect();
    measured = std::min(measured, Seconds(Clock::now() - begin) / kCount);
  }
  gSink = gSink + collector.Results().RowCount();
  server.Stop();
  unsetenv("http_proxy");
  return {"collection run vs FetchPage loop", "per number", baseline, measured};
}

// (b) The parser against the cheapest conceivable scan: plain finds of the
// same markers in the same order over the same bytes.
Row ParserVsFind() {
  sim::Options options;
  options.seed = 11;
  options.density = 1;
  const std::string page = sim::ShopPageBody(options, 67808230);
  const std::string creation = "\xB4\xB4\xB5\xEA\xCA\xB1\xBC\xE4\xA3\xBA</span>";
  const std::string items = "\xB1\xA6\xB1\xB4\xCA\xFD\xC1\xBF\xA3\xBA</span>";
  const std::string rank(dt::kRankImagePrefix);
  auto finds = [&] {
    std::size_t sum = 0;
    const std::size_t shop = page.find("data-value");
    const std::size_t name = page.find("name", shop);
    sum += page.find('"', name + 7);
    const std::size_t card = page.find("hCard");
    const std::size_t account = page.find('>', card) + 1;
    sum += page.find('<', account);
    const std::size_t rankAt = page.find(rank, account);
    sum += page.find(".gif", rankAt);
    sum += page.find("</li>", page.find(creation));
    sum += page.find("</li>", page.find(items));
    gSink = gSink + sum;
  };
  auto parse = [&] {
    const auto fields = dt::ParseShopPage(page);
    gSink = gSink + (fields ? fields->sellerAccount.size() : 0);
  };
  return {"ParseShopPage vs std::string::find (" + std::to_string(page.size()) + " B)", "per page",
          PerCall(finds), PerCall(parse)};
}

// (c) Appending a new key to the shop log must not grow with the log.
double AppendCost(const TempFolder& folder, int existingKeys) {
  const std::string path = folder.File("log-" + std::to_string(existingKeys) + ".ini");
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "[" << dt::kShopLogSection << "]\r\n";
    for (int k = 0; k < existingKeys; ++k) out << k << "=(2009-01-01)seller_" << k << "\r\n";
  }
  dt::IniAppendWriter writer(path);
  int key = existingKeys;
  if (!writer.Write(dt::kShopLogSection, std::to_string(key++), "(2009-01-01)first")) {
    std::abort();  // indexes once; a log that cannot be written measures nothing
  }
  constexpr int kAppends = 2000;
  double best = 1e300;
  for (int round = 0; round < 3; ++round) {
    const auto begin = Clock::now();
    for (int i = 0; i < kAppends; ++i) {
      if (!writer.Write(dt::kShopLogSection, std::to_string(key++), "(2009-01-01)seller_new")) {
        std::abort();
      }
    }
    best = std::min(best, Seconds(Clock::now() - begin) / kAppends);
  }
  return best;
}

Row ShopLogAppend() {
  TempFolder folder;
  const double small = AppendCost(folder, 1000);
  const double large = AppendCost(folder, 100000);
  return {"shop log append, 100k keys vs 1k keys", "per entry", small, large};
}

// (c2) A run over numbers the log already holds (the usual restart) must cost
// about what a run over new numbers costs: the same value writes nothing.
Row ShopLogRerun() {
  constexpr int kExisting = 200000;
  constexpr int kWrites = 10000;
  TempFolder folder;
  const std::string path = folder.File("rerun.ini");
  auto value = [](int key) { return "(2009-01-01)seller_" + std::to_string(key); };
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "[" << dt::kShopLogSection << "]\r\n";
    for (int k = 0; k < kExisting; ++k) out << k << "=" << value(k) << "\r\n";
  }
  dt::IniAppendWriter writer(path);
  int next = kExisting;
  auto write = [&](int key) {
    if (!writer.Write(dt::kShopLogSection, std::to_string(key), value(key))) std::abort();
  };
  write(next++);  // indexes once
  auto append = [&] {
    for (int i = 0; i < kWrites; ++i) write(next++);
  };
  auto rerun = [&] {
    for (int i = 0; i < kWrites; ++i) write(i * (kExisting / kWrites));
  };
  const double appended = PerCall(append, 0, 3) / kWrites;
  const double rewritten = PerCall(rerun, 0, 3) / kWrites;
  return {"shop log, same value over 200k keys vs new key", "per entry", appended, rewritten};
}

// (d) The results list's store against the plainest container of the same
// cells: a million rows appended, then every cell of one column read back.
Row ResultsStoreMillion() {
  constexpr std::size_t kRows = 1000000;
  dt::ResultsStore::Cells cells;
  cells[dt::kColAccount] = "\n\t\ttb12345678\n\t\t";
  cells[dt::kColShopName] = "\xB2\xE8\xD2\xB6\xB5\xEA shop";
  cells[dt::kColAddress] = "http://shop67808220.taobao.com/";
  cells[dt::kColCreated] = "2009-03-01";
  cells[dt::kColCredit] = "0";
  cells[dt::kColItems] = "0";

  auto plain = [&] {
    std::vector<dt::ResultsStore::Cells> rows;
    for (std::size_t r = 0; r < kRows; ++r) {
      dt::ResultsStore::Cells row = cells;
      row[dt::kColOrdinal] = dt::ToText(static_cast<long long>(r) + 1);
      rows.push_back(std::move(row));
    }
    std::size_t sum = 0;
    for (std::size_t r = 0; r < kRows; ++r) sum += std::string(rows[r][dt::kColAddress]).size();
    gSink = gSink + sum;
  };
  auto store = [&] {
    dt::ResultsStore results;
    for (std::size_t r = 0; r < kRows; ++r) results.AppendNumberedRow(cells);
    std::size_t sum = 0;
    for (std::size_t r = 0; r < kRows; ++r) sum += results.Cell(r, dt::kColAddress).size();
    gSink = gSink + sum;
  };
  return {"results store vs vector<array<string>>, 1M", "append+read", PerCall(plain, 0, 3),
          PerCall(store, 0, 3)};
}

}  // namespace

int main() {
  std::vector<Row> rows;
  rows.push_back(CollectionRunVsFetchLoop());
  rows.push_back(ParserVsFind());
  rows.push_back(ShopLogAppend());
  rows.push_back(ShopLogRerun());
  rows.push_back(ResultsStoreMillion());
  Print(rows);
  return 0;
}
