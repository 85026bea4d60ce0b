// The built program as a user starts it: one copy at a time, a crash leaves
// nothing in the way, the settings survive a restart, a close during a slow
// run ends the process at once, the shop log stays beside the program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "settings/ini_file.h"
#include "shell/single_instance.h"
#include "tests/process/child_process.h"
#include "tests/support/temp_folder.h"
#include "text/gbk_codec.h"
#include "tools/marketsim/marketsim.h"

namespace dt {
namespace {

using namespace std::chrono_literals;
using shell::SingleInstance;
using testing::ChildOptions;
using testing::ChildProcess;

// Every start gets a temporary HOME (so the documents folder is a temporary
// one), TMPDIR and XDG_RUNTIME_DIR (mode 0700, so the instance lock and socket
// are private to the test and concurrent test runs never meet).
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.isValid() && temp_.isValid() && runtime_.isValid());
    QDir(home_.path()).mkpath("Documents");
    statusFolder_ = runtime_.path();
  }

  ChildOptions Options(std::string program, std::vector<std::string> args = {}) {
    ChildOptions options;
    options.args.push_back(std::move(program));
    for (auto& arg : args) options.args.push_back(std::move(arg));
    options.setEnv = {{"HOME", home_.path().toStdString()},
                      {"TMPDIR", temp_.path().toStdString()},
                      {"QT_QPA_PLATFORM", "offscreen"},
                      {"XDG_CONFIG_HOME", home_.path().toStdString() + "/.config"},
                      {"XDG_RUNTIME_DIR", runtime_.path().toStdString()}};
    options.unsetEnv = {
        "XDG_DOCUMENTS_DIR", "XDG_CACHE_HOME", "http_proxy", "https_proxy",
        "HTTP_PROXY",        "no_proxy",       "NO_PROXY",   "DBUS_SESSION_BUS_ADDRESS"};
    return options;
  }

  std::string SettingsFile() const { return home_.path().toStdString() + "/Documents/Quorle.ini"; }

  // The answer to a status query of the copy whose socket lies in
  // statusFolder_, empty while none answers.
  std::string Status() const {
    QByteArray answer;
    if (!SingleInstance::SendRequest(SingleInstance::ServerNameIn(statusFolder_), "status\n",
                                     &answer))
      return {};
    return answer.toStdString();
  }

  // The value of one key=value pair of an answer; nullopt when it lacks it.
  static std::optional<std::string> Figure(const std::string& answer, const std::string& key) {
    std::size_t at = 0;
    while (at < answer.size()) {
      const std::size_t end = std::min(answer.find(' ', at), answer.size());
      const std::string pair = answer.substr(at, end - at);
      if (pair.rfind(key + "=", 0) == 0) return pair.substr(key.size() + 1);
      at = end + 1;
    }
    return std::nullopt;
  }

  // Waits for an answer that carries the pair expected ("key=value") and
  // starts with the run's state.
  bool WaitForStatus(const std::string& expected, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string key = expected.substr(0, expected.find('='));
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string answer = Status();
      if (answer.rfind("state=", 0) == 0 && Figure(answer, key) == expected.substr(key.size() + 1))
        return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  // The simulator of this test on a free loopback port; MarketProxy() names
  // it as a child's proxy. It stops with the test.
  void StartMarket(const marketsim::Options& options) {
    market_ = std::make_unique<marketsim::Server>(options);
    marketPort_ = market_->Start();
    ASSERT_GT(marketPort_, 0);
  }
  std::string MarketProxy() const { return "http://127.0.0.1:" + std::to_string(marketPort_); }

  std::unique_ptr<marketsim::Server> market_;
  int marketPort_ = 0;
  QTemporaryDir home_, temp_, runtime_;
  QString statusFolder_;
};

TEST_F(ProgramTest, SecondCopyAsksTheFirstToShowAndEndsWithoutAWindow) {
  ChildProcess first(Options(DT_PROGRAM));
  ASSERT_TRUE(WaitForStatus("shows=0", 20s)) << "the first copy never listened";

  ChildProcess second(Options(DT_PROGRAM));
  EXPECT_EQ(second.WaitForExit(10s), std::optional<int>(0));
  EXPECT_TRUE(WaitForStatus("shows=1", 5s));

  ChildProcess third(Options(DT_PROGRAM));
  EXPECT_EQ(third.WaitForExit(10s), std::optional<int>(0));
  EXPECT_TRUE(WaitForStatus("shows=2", 5s));
  EXPECT_FALSE(first.WaitForExit(0ms)) << "the first copy must keep running";
}

TEST_F(ProgramTest, OneCopyPerUserWhateverTheTempFolder) {
  ChildProcess first(Options(DT_PROGRAM));
  ASSERT_TRUE(WaitForStatus("shows=0", 20s)) << "the first copy never listened";
  QTemporaryDir otherTemp;
  ChildOptions options = Options(DT_PROGRAM);
  options.setEnv["TMPDIR"] = otherTemp.path().toStdString();
  ChildProcess second(options);
  EXPECT_EQ(second.WaitForExit(10s), std::optional<int>(0));
  EXPECT_TRUE(WaitForStatus("shows=1", 5s));
  EXPECT_FALSE(first.WaitForExit(0ms));
}

TEST_F(ProgramTest, AFirstCopyThatDoesNotAnswerDoesNotHoldUpTheSecond) {
  ChildProcess first(Options(DT_PROGRAM));
  ASSERT_TRUE(WaitForStatus("shows=0", 20s));
  first.Kill(SIGSTOP);
  const auto begin = std::chrono::steady_clock::now();
  ChildProcess second(Options(DT_PROGRAM));
  const std::optional<int> exitCode = second.WaitForExit(10s);
  const auto took = std::chrono::steady_clock::now() - begin;
  first.Kill(SIGCONT);
  EXPECT_EQ(exitCode, std::optional<int>(0));
  EXPECT_LT(took, 2s);
  EXPECT_FALSE(first.WaitForExit(300ms)) << "the first copy goes on once it runs again";
}

// As an ordinary user: whatever lies in the temporary folder under the names
// the lock and the socket once had there (another user's files, a lock of a
// live process) keeps no copy from starting; a runtime folder that is not
// the user's own and private is not used, the user's cache folder is, and it
// is made private.
TEST_F(ProgramTest, TheLockLivesInAFolderOfTheUsersOwn) {
  const bool root = ::geteuid() == 0;
  const uid_t user = root ? 65534 : ::geteuid();
  const gid_t group = root ? 65534 : ::getegid();
  const auto own = [&](const QString& path) {
    for (const QString& each : {path, path + "/Documents"})
      if (QFileInfo::exists(each)) {
        ASSERT_EQ(::chown(QFile::encodeName(each), user, group), 0);
      }
  };
  own(home_.path());
  own(runtime_.path());
  // A temporary folder like /tmp: everyone may write, only owners delete.
  ASSERT_EQ(::chmod(QFile::encodeName(temp_.path()), 01777), 0);
  const QString oldName = temp_.path() + "/20110831736-" + QString::number(user);
  const QByteArray liveLock = QByteArray::number(::getpid()) + "\n" +
                              QCoreApplication::applicationName().toUtf8() + "\n" +
                              QSysInfo::machineHostName().toUtf8() + "\n";
  for (const QString& planted : {oldName + ".lock", oldName}) {
    dt::testing::WriteBytes(planted.toStdString(), liveLock.toStdString());
    ASSERT_EQ(::chmod(QFile::encodeName(planted), 0600), 0);
    if (root) {
      ASSERT_EQ(::chown(QFile::encodeName(planted), 1, 1), 0);
    }
  }
  QTemporaryDir foreign;  // the test's own: another user's when run as root
  const QString homeCache = home_.path() + "/.cache/dovetrail";
  const QString notPrivate = home_.path() + "/shared";
  QDir().mkpath(notPrivate);
  own(notPrivate);
  ::chmod(QFile::encodeName(notPrivate), 0755);

  const struct {
    const char* what;
    std::optional<QString> runtimeFolder;  // nullopt: unset
    QString lockFolder;
    mode_t cacheFolderMode = 0;  // else the cache folder is made anew with this mode first
  } cases[] = {
      {"own private runtime folder", runtime_.path(), runtime_.path()},
      {"runtime folder not private", notPrivate, homeCache},
      {"no runtime folder", std::nullopt, homeCache},
      {"another user's runtime folder", root ? foreign.path() : QStringLiteral("/"), homeCache},
      {"an existing cache folder others may enter", std::nullopt, homeCache, 0755},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    statusFolder_ = c.lockFolder;
    if (c.cacheFolderMode != 0) {
      QDir(homeCache).removeRecursively();
      ASSERT_TRUE(QDir().mkpath(homeCache));
      own(homeCache);
      ASSERT_EQ(::chmod(QFile::encodeName(homeCache), c.cacheFolderMode), 0);
    }
    ChildOptions options = Options(DT_PROGRAM);
    if (root) {
      options.args.insert(options.args.begin(),
                          {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    if (c.runtimeFolder) {
      options.setEnv["XDG_RUNTIME_DIR"] = c.runtimeFolder->toStdString();
    } else {
      options.setEnv.erase("XDG_RUNTIME_DIR");
      options.unsetEnv.push_back("XDG_RUNTIME_DIR");
    }
    ChildProcess first(options);
    ASSERT_TRUE(WaitForStatus("shows=0", 20s)) << "the first copy never listened";
    ChildProcess second(options);
    EXPECT_EQ(second.WaitForExit(10s), std::optional<int>(0));
    EXPECT_TRUE(WaitForStatus("shows=1", 5s));
    EXPECT_FALSE(first.WaitForExit(0ms));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(c.lockFolder).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, user);
  }
}

TEST_F(ProgramTest, TheCommandLineIsNotRead) {
  // Not even the toolkit's own options: a platform named there would end the
  // program before it ever shows its window.
  ChildProcess run(Options(DT_PROGRAM, {"-platform", "nosuchplatform", "-reverse"}));
  EXPECT_TRUE(WaitForStatus("shows=0", 20s)) << "the program did not come up";
  EXPECT_FALSE(run.WaitForExit(0ms));
}

TEST_F(ProgramTest, ACrashedCopyDoesNotKeepTheNextOneFromStarting) {
  {
    ChildProcess crashed(Options(DT_PROGRAM));
    ASSERT_TRUE(WaitForStatus("shows=0", 20s));
    crashed.Kill(SIGKILL);
    ASSERT_EQ(crashed.WaitForExit(5s), std::optional<int>(-SIGKILL));
  }
  ChildProcess next(Options(DT_PROGRAM));
  EXPECT_TRUE(WaitForStatus("shows=0", 20s)) << "the stale lock kept the new copy out";
  EXPECT_FALSE(next.WaitForExit(500ms));
}

TEST_F(ProgramTest, SettingsSurviveARestartButTheStatusBoxDoesNot) {
  const std::string first = Utf8ToGbk("编辑框编号1");
  {
    ChildProcess run(
        Options(DT_PROBE, {"--set", "编辑框编号1=123", "--set", "编辑框编号2=4567", "--check",
                           "选择框0宝贝=1", "--check", "选择框3=1", "--check", "选择框1=0",
                           "--type-status", "typed", "--esc-after", "0"}));
    ASSERT_EQ(run.WaitForExit(20s), std::optional<int>(0));
  }
  const std::string file = dt::testing::ReadBytes(SettingsFile());
  ASSERT_EQ(file.rfind("[Dovetrail]\r\n", 0), 0u) << file;
  const auto has = [&](const char* utf8Line) {
    return file.find(Utf8ToGbk(utf8Line) + "\r\n") != std::string::npos;
  };
  EXPECT_TRUE(has("编辑框编号1=123"));
  EXPECT_TRUE(has("编辑框编号2=4567"));
  EXPECT_TRUE(has("选择框0宝贝=真"));
  EXPECT_TRUE(has("选择框3=真"));
  EXPECT_TRUE(has("选择框1=假"));
  EXPECT_TRUE(has("组合框类别=所有类别&0^"));
  EXPECT_EQ(file.find(Utf8ToGbk("编辑框提示")), std::string::npos);
  EXPECT_EQ(file.find('\n'), file.find("\r\n") + 1) << "lines end in CR LF";

  ChildProcess again(Options(DT_PROBE, {"--print", "编辑框编号1", "--print", "编辑框编号2",
                                        "--print", "选择框0宝贝", "--print", "选择框3", "--print",
                                        "选择框1", "--print", "编辑框提示", "--esc-after", "0"}));
  ASSERT_EQ(again.WaitForExit(20s), std::optional<int>(0));
  const std::vector<std::string> expected = {"编辑框编号1=123", "编辑框编号2=4567", "选择框0宝贝=1",
                                             "选择框3=1",       "选择框1=0",        "编辑框提示="};
  std::vector<std::string> printed;
  for (const auto& line : again.Lines())
    if (line.find('=') != std::string::npos) printed.push_back(line);
  EXPECT_EQ(printed, expected);
}

// A run closed part-way goes on where it stopped: the next start's status
// answer names the resume point, every number below it was fetched, and the
// offer puts it into the first-number box.
TEST_F(ProgramTest, ARunClosedPartWayOffersItsResumePointAfterARestart) {
  marketsim::Options market;
  market.seed = 3;
  market.latencyMs = 15;
  StartMarket(market);
  ChildOptions options =
      Options(DT_PROBE, {"--set", "编辑框编号1=1000", "--set", "编辑框编号2=9999", "--click",
                         "按钮开始1", "--esc-after", "1500"});
  options.setEnv["http_proxy"] = MarketProxy();
  {
    ChildProcess run(options);
    ASSERT_EQ(run.WaitForExit(30s), std::optional<int>(0));
  }
  ChildProcess again(Options(DT_PROBE, {"--wait", "3000", "--click", "progressResume", "--print",
                                        "编辑框编号1", "--esc-after", "0"}));
  ASSERT_TRUE(WaitForStatus("state=idle", 20s));
  const std::string answer = Status();
  EXPECT_EQ(Figure(answer, "first"), "1000") << answer;
  EXPECT_EQ(Figure(answer, "last"), "9999") << answer;
  const int resume = std::stoi(Figure(answer, "resume").value_or("0"));
  EXPECT_GT(resume, 1000 + 20) << answer;
  EXPECT_LT(resume, 9999) << answer;
  for (int n = 1000; n < resume; ++n) EXPECT_GE(market_->RequestCount(n), 1) << n;
  ASSERT_EQ(again.WaitForExit(20s), std::optional<int>(0));
  const std::vector<std::string> lines = again.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "编辑框编号1=" + std::to_string(resume)),
            lines.end());
}

// The failed list of an earlier start comes back with the program: counted in
// the status answer, offered by its button, run again by a click, and left
// empty on disk once every number was read.
TEST_F(ProgramTest, FailedNumbersOfAnEarlierStartAreRunAgainAndLeaveTheList) {
  StartMarket(marketsim::Options{});
  const std::string dataFolder = home_.path().toStdString() + "/.local/share/dovetrail";
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(dataFolder)));
  const std::string listFile = dataFolder + "/failed-numbers.txt";
  {
    std::ofstream out(listFile, std::ios::binary);
    out << "dovetrail-failed 1\n1003\n1007\n";
  }
  ChildOptions options =
      Options(DT_PROBE, {"--wait", "1500", "--click", "progressRetryFailed", "--wait-until",
                         "按钮开始1=开始采集", "--esc-after", "0"});
  options.setEnv["http_proxy"] = MarketProxy();
  options.setEnv["XDG_DATA_HOME"] = home_.path().toStdString() + "/.local/share";
  ChildProcess run(options);
  ASSERT_TRUE(WaitForStatus("failed=2", 20s));
  ASSERT_EQ(run.WaitForExit(30s), std::optional<int>(0));
  EXPECT_EQ(market_->RequestCount(1003), 1);
  EXPECT_EQ(market_->RequestCount(1007), 1);
  EXPECT_EQ(market_->TotalRequests(), 2);
  EXPECT_EQ(dt::testing::ReadBytes(listFile), "dovetrail-failed 1\n");
}

TEST_F(ProgramTest, ClosingDuringASlowRunSavesAndEndsAtOnce) {
  marketsim::Options slow;
  slow.latencyMs = 5000;
  StartMarket(slow);
  ChildOptions options = Options(DT_PROBE, {"--click", "按钮开始1", "--esc-after", "1500"});
  options.setEnv["http_proxy"] = MarketProxy();
  ChildProcess run(options);
  ASSERT_TRUE(run.WaitForLine("esc", 30s));
  const auto escAt = std::chrono::steady_clock::now();
  EXPECT_EQ(run.WaitForExit(5s), std::optional<int>(0));
  EXPECT_LT(std::chrono::steady_clock::now() - escAt, 1s);
  EXPECT_GE(market_->TotalRequests(), 1) << "the run was not under way";
  EXPECT_FALSE(dt::testing::ReadBytes(SettingsFile()).empty());
}

// A logout or a kill ends the program as its close box does.
TEST_F(ProgramTest, ATerminationSignalSavesTheSettingsAndEnds) {
  for (const int signal : {SIGTERM, SIGHUP}) {
    ChildProcess run(Options(
        DT_PROBE, {"--set", "编辑框编号1=" + std::to_string(signal), "--print", "编辑框编号1"}));
    ASSERT_TRUE(run.WaitForLine("编辑框编号1=" + std::to_string(signal), 20s));
    run.Kill(signal);
    EXPECT_EQ(run.WaitForExit(10s), std::optional<int>(0)) << signal;
    const std::string saved = Utf8ToGbk("编辑框编号1=" + std::to_string(signal)) + "\r\n";
    EXPECT_NE(dt::testing::ReadBytes(SettingsFile()).find(saved), std::string::npos) << signal;
  }
}

TEST_F(ProgramTest, TheShopLogLiesBesideTheProgramWhateverTheCurrentFolder) {
  marketsim::Options market;
  market.seed = 7;
  market.density = 0.6;
  StartMarket(market);
  namespace fs = std::filesystem;
  const fs::path programFolder = fs::path(home_.path().toStdString()) / "程序";
  const fs::path elsewhere = fs::path(home_.path().toStdString()) / "elsewhere";
  fs::create_directories(programFolder);
  fs::create_directories(elsewhere);
  const fs::path probe = programFolder / "dovetrail_probe";
  fs::copy_file(DT_PROBE, probe);

  ChildOptions options = Options(probe.string(), {"--set", "编辑框编号1=100", "--set",
                                                  "编辑框编号2=139", "--click", "按钮开始1"});
  options.setEnv["http_proxy"] = MarketProxy();
  options.workingFolder = elsewhere.string();
  const auto truth = marketsim::Truth(market, 100, 139);
  ASSERT_FALSE(truth.empty());
  const fs::path logFile = programFolder / "店铺信息.ini";
  std::string log;
  {
    ChildProcess run(options);
    // The run ends by itself; the log is complete once every shop has its line.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
      log = dt::testing::ReadBytes(logFile.string());
      if (static_cast<size_t>(std::count(log.begin(), log.end(), '\n')) >= truth.size() + 1) break;
      std::this_thread::sleep_for(50ms);
    }
    EXPECT_FALSE(run.WaitForExit(0ms)) << "the program ended on its own";
  }

  EXPECT_TRUE(fs::is_empty(elsewhere)) << "nothing is written to the current folder";
  std::string expected = Utf8ToGbk("[新开店铺旺旺]") + "\r\n";
  // Row order follows the order the chains finished in; compare as a set.
  for (const auto& shop : truth) {
    std::string account = shop.sellerAccount;
    std::erase(account, '\r');
    std::erase(account, '\n');
    const std::string line =
        std::to_string(shop.number) + "=(" + shop.creationDate + ")" + account + "\r\n";
    EXPECT_NE(log.find("\n" + line), std::string::npos) << shop.number;
  }
  EXPECT_EQ(static_cast<size_t>(std::count(log.begin(), log.end(), '\n')), truth.size() + 1);
}

// The export through the real save dialog: a typed extension chooses the
// format whatever filter is selected; a bare name takes the selected
// filter's extension, "txt" under the text filter.
TEST_F(ProgramTest, TheExportDialogsNameAndFilterChooseTheFormat) {
  marketsim::Options market;
  market.seed = 7;
  market.density = 1.0;
  StartMarket(market);
  const auto truth = marketsim::Truth(market, 100, 104);
  const std::string out = home_.path().toStdString() + "/out";
  std::filesystem::create_directories(out);
  std::vector<std::string> steps = {
      "--set",   "编辑框编号1=100", "--set",        "编辑框编号2=104",
      "--click", "按钮开始1",       "--wait-until", "超级列表框=" + std::to_string(truth.size())};
  const std::pair<std::string, std::string> exports[] = {{"", "rows.csv"},
                                                         {"文本", "rows.XLSX"},
                                                         {"CSV", "bare"},
                                                         {"Excel", "book"},
                                                         {"文本", "plain"}};
  for (const auto& [filter, name] : exports) {
    steps.insert(steps.end(), {"--save-as", filter + "|" + out + "/" + name, "--click", "按钮导出",
                               "--wait-until", "按钮导出"});
  }
  ChildOptions options = Options(DT_PROBE, steps);
  options.setEnv["http_proxy"] = MarketProxy();
  ChildProcess run(options);
  const std::string plain = out + "/plain.txt";  // the last one
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!std::filesystem::exists(plain) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  std::set<std::string> made;
  for (const auto& entry : std::filesystem::directory_iterator(out)) {
    made.insert(entry.path().filename().string());
  }
  EXPECT_EQ(made,
            (std::set<std::string>{"bare.csv", "book.xlsx", "plain.txt", "rows.XLSX", "rows.csv"}));
  const std::string csv = dt::testing::ReadBytes(out + "/rows.csv");
  EXPECT_TRUE(csv.starts_with("\xEF\xBB\xBF卖家旺旺,店铺名称\r\n")) << csv;
  EXPECT_EQ(dt::testing::ReadBytes(out + "/bare.csv"), csv);
  for (const char* workbook : {"/rows.XLSX", "/book.xlsx"}) {
    EXPECT_TRUE(dt::testing::ReadBytes(out + workbook).starts_with("PK\x03\x04")) << workbook;
  }
  const std::string text = dt::testing::ReadBytes(plain);
  EXPECT_FALSE(text.starts_with("\xEF\xBB\xBF")) << "the text export stays GBK lines";
  for (const auto& shop : truth) EXPECT_NE(text.find(shop.sellerAccount), std::string::npos);
}

// An installed program's folder is not the user's: the shop log goes to the
// user's data folder, and a status line says where.
TEST_F(ProgramTest, AProgramInAFolderTheUserMayNotWriteLogsToTheUsersDataFolder) {
  namespace fs = std::filesystem;
  const bool root = ::geteuid() == 0;
  marketsim::Options market;
  market.seed = 11;
  market.density = 0.6;
  StartMarket(market);
  QTemporaryDir installed;  // root's when run as root, read-only below otherwise
  ::chmod(QFile::encodeName(installed.path()), 0755);
  const fs::path programFolder = fs::path(installed.path().toStdString());
  fs::copy_file(DT_PROBE, programFolder / "dovetrail_probe");
  if (!root) ::chmod(QFile::encodeName(installed.path()), 0555);
  if (root) {
    for (const QString& each :
         {home_.path(), home_.path() + "/Documents", runtime_.path(), temp_.path()}) {
      ASSERT_EQ(::chown(QFile::encodeName(each), 65534, 65534), 0);
    }
  }
  ChildOptions options = Options((programFolder / "dovetrail_probe").string(),
                                 {"--set", "编辑框编号1=100", "--set", "编辑框编号2=129", "--click",
                                  "按钮开始1", "--wait", "300", "--print", "编辑框提示"});
  if (root) {
    options.args.insert(options.args.begin(),
                        {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  options.setEnv["http_proxy"] = MarketProxy();
  options.setEnv["XDG_DATA_HOME"] = home_.path().toStdString() + "/.local/share";
  const std::string logFile = home_.path().toStdString() + "/.local/share/dovetrail/店铺信息.ini";
  const auto truth = marketsim::Truth(market, 100, 129);
  ASSERT_FALSE(truth.empty());
  ChildProcess run(options);
  std::string log;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < deadline) {
    log = dt::testing::ReadBytes(logFile);
    if (static_cast<size_t>(std::count(log.begin(), log.end(), '\n')) >= truth.size() + 1) break;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(static_cast<size_t>(std::count(log.begin(), log.end(), '\n')), truth.size() + 1);
  EXPECT_FALSE(fs::exists(programFolder / "店铺信息.ini"));
  bool said = false;
  std::string shown;
  for (const auto until = std::chrono::steady_clock::now() + 20s;
       !said && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(50ms)) {
    shown.clear();
    for (const std::string& line : run.Lines()) {
      said = said || line.find("店铺日志写在 " + logFile) != std::string::npos;
      shown += line + "\n";
    }
  }
  EXPECT_TRUE(said) << "no status line names the log:\n" << shown;
}

// The results list across a kill -9 mid-run, an Esc and a re-run over the
// same range: every row the list had shown comes back, cell for cell what
// the marketplace showed, in its place, numbered 1, 2, 3, ...; the re-run
// updates rows in place and lists no shop twice.
TEST_F(ProgramTest, TheResultsListSurvivesAKillAnEscAndARerun) {
  marketsim::Options market;
  market.seed = 21;
  market.density = 0.8;
  market.latencyMs = 5;
  StartMarket(market);
  // Each shop's row after its ordinal, as the list shows it (control bytes
  // as blanks), by address.
  std::map<std::string, std::string> rowOf;
  for (const auto& shop : marketsim::Truth(market, 1000, 1199)) {
    std::string row = "-";
    for (std::string cell : {shop.sellerAccount, std::string(), shop.shopName, shop.shopAddress,
                             shop.creationDate, shop.creditLevel, shop.itemCount}) {
      for (char& c : cell) c = static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
      row += "\t" + cell;
    }
    rowOf[shop.shopAddress] = GbkToUtf8(row.substr(2));
  }
  const std::string dump = home_.path().toStdString() + "/list.txt";
  // The dumped list, each row checked against the truth; no shop twice.
  const auto listed = [&] {
    std::vector<std::string> lines;
    std::istringstream in(dt::testing::ReadBytes(dump));
    std::set<std::string> seen;
    for (std::string line; std::getline(in, line); lines.push_back(line)) {
      const std::size_t at = line.find("http://");
      const std::string address = line.substr(at, line.find('\t', at) - at);
      EXPECT_TRUE(seen.insert(address).second) << "listed twice: " << address;
      EXPECT_EQ(line, std::to_string(lines.size() + 1) + "\t" + rowOf[address]);
    }
    return lines;
  };
  const std::vector<std::string> range = {
      "--set", "编辑框编号1=1000", "--set", "编辑框编号2=1199", "--click", "按钮开始1"};
  std::size_t shown = 0;
  {
    ChildOptions options = Options(DT_PROBE, range);
    options.setEnv["http_proxy"] = MarketProxy();
    ChildProcess run(options);
    for (const auto end = std::chrono::steady_clock::now() + 30s;
         shown < 15 && std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms)) {
      shown = std::stoul(Figure(Status(), "rows").value_or("0"));
    }
    // Every row the status counts is one the list shows.
    shown = std::stoul(Figure(Status(), "rows").value_or("0"));
    run.Kill(SIGKILL);
    ASSERT_EQ(run.WaitForExit(5s), std::optional<int>(-SIGKILL));
  }
  ASSERT_GE(shown, 15u);
  ASSERT_LT(shown, rowOf.size()) << "the run ended before the kill";
  ChildProcess again(Options(DT_PROBE, {"--wait", "1500", "--dump", dump, "--esc-after", "0"}));
  ASSERT_EQ(again.WaitForExit(20s), std::optional<int>(0));
  const std::vector<std::string> afterKill = listed();
  EXPECT_GE(afterKill.size(), shown);
  // After that Esc the list is back, and a re-run of the range updates it in place.
  std::vector<std::string> steps = range;
  steps.insert(steps.end(), {"--wait-until", "超级列表框=" + std::to_string(rowOf.size()), "--wait",
                             "500", "--dump", dump, "--esc-after", "0"});
  ChildOptions options = Options(DT_PROBE, steps);
  options.setEnv["http_proxy"] = MarketProxy();
  ChildProcess rerun(options);
  ASSERT_EQ(rerun.WaitForExit(60s), std::optional<int>(0)) << Status();
  const std::vector<std::string> whole = listed();
  EXPECT_EQ(whole.size(), rowOf.size());
  for (std::size_t i = 0; i < std::min(afterKill.size(), whole.size()); ++i) {
    EXPECT_EQ(whole[i], afterKill[i]) << "row " << i + 1 << " moved";
  }
}

// Killed at any moment of a fast run, the shop log still reads whole: every
// line a complete key=value of its one section, no NUL, no key twice, and the
// results file passes SQLite's integrity check. A kill right after the close
// request leaves the settings file old or new, whole.
TEST_F(ProgramTest, AKilledRunLeavesWholeFiles) {
  marketsim::Options market;
  market.seed = 5;
  market.density = 0.9;
  StartMarket(market);
  const std::filesystem::path programFolder =
      std::filesystem::path(home_.path().toStdString()) / "program";
  std::filesystem::create_directories(programFolder);
  const std::string probe = (programFolder / "dovetrail_probe").string();
  std::filesystem::copy_file(DT_PROBE, probe);
  const std::string logFile = (programFolder / "店铺信息.ini").string();
  const std::string header = Utf8ToGbk("[新开店铺旺旺]") + "\r\n";
  std::mt19937 random(12345);
  constexpr int kKills = 30;
  int first = 1000;
  for (int kill = 0; kill < kKills; ++kill) {
    // Half the runs cover numbers the log already holds (rewrites), half new ones.
    const int from = kill % 2 == 0 ? first : 1000;
    ChildOptions options = Options(
        probe, {"--set", "编辑框编号1=" + std::to_string(from), "--set",
                "编辑框编号2=" + std::to_string(from + 400), "--click", "按钮开始1", "--esc-after",
                std::to_string(std::uniform_int_distribution<int>(50, 600)(random))});
    options.setEnv["http_proxy"] = MarketProxy();
    const std::string settingsBefore = dt::testing::ReadBytes(SettingsFile());
    {
      ChildProcess run(options);
      if (kill % 3 == 2) {
        // Right at the close request, while the settings are being saved.
        ASSERT_TRUE(run.WaitForLine("esc", 30s));
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random)));
      } else {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(200, 1200)(random)));
      }
      run.Kill(SIGKILL);
      run.WaitForExit(5s);
    }
    first += 200;
    SCOPED_TRACE("kill " + std::to_string(kill));
    const std::string log = dt::testing::ReadBytes(logFile);
    if (!log.empty()) {
      ASSERT_EQ(log.compare(0, header.size(), header), 0);
      ASSERT_EQ(log.find('\0'), std::string::npos);
      ASSERT_TRUE(log.size() >= 2 && log.compare(log.size() - 2, 2, "\r\n") == 0)
          << "torn last line";
      std::set<std::string> keys;
      std::size_t at = header.size();
      while (at < log.size()) {
        const std::size_t end = log.find("\r\n", at);
        const std::string line = log.substr(at, end - at);
        const std::size_t eq = line.find('=');
        ASSERT_NE(eq, std::string::npos) << line;
        ASSERT_TRUE(keys.insert(line.substr(0, eq)).second) << "key twice: " << line;
        ASSERT_EQ(line.find_first_not_of("0123456789"), eq) << line;
        ASSERT_EQ(line.compare(eq + 1, 1, "("), 0) << line;
        at = end + 2;
      }
    }
    const std::string settings = dt::testing::ReadBytes(SettingsFile());
    if (!settings.empty() && settings != settingsBefore) {
      // A new file is whole: every savable control has its key.
      EXPECT_NE(settings.find(Utf8ToGbk("编辑框关键字=")), std::string::npos);
      EXPECT_EQ(settings.compare(settings.size() - 2, 2, "\r\n"), 0);
    }
    // The results file passes SQLite's own check after every kill.
    const std::string results =
        home_.path().toStdString() + "/.local/share/dovetrail/results.sqlite";
    if (std::filesystem::exists(results)) {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open_v2(results.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
      sqlite3_stmt* check = nullptr;
      ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
      ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
      EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
      sqlite3_finalize(check);
      sqlite3_close(db);
    }
    const auto orphans = std::distance(
        std::filesystem::directory_iterator(home_.path().toStdString() + "/Documents"),
        std::filesystem::directory_iterator());
    EXPECT_LE(orphans, 2) << "temporary files pile up";
  }
}

// The command line without a window: a bad value ends with 2 before
// anything starts, --help with 0, and a headless start while a copy runs
// with 1, leaving that copy alone.
TEST_F(ProgramTest, HeadlessStartsEndWithTheirStatus) {
  marketsim::Options slow;
  slow.latencyMs = 200;
  StartMarket(slow);
  const auto options = [this](std::vector<std::string> args) {
    ChildOptions child = Options(DT_PROGRAM, std::move(args));
    child.setEnv["http_proxy"] = MarketProxy();
    return child;
  };
  const struct {
    std::vector<std::string> args;
    int code;
  } cases[] = {{{"--headless", "--poll", "4"}, 2},
               {{"--headless", "--range", "9", "8"}, 2},
               {{"--headless", "--follow", "x"}, 2},
               {{"--range", "1"}, 2},
               {{"--help"}, 0}};
  for (const auto& c : cases) {
    ChildProcess run(options(c.args));
    EXPECT_EQ(run.WaitForExit(10s), std::optional<int>(c.code)) << c.args.back();
    EXPECT_EQ(Status(), "") << "no copy may be left running";
  }
  ChildProcess help(options({"--headless", "--help"}));
  ASSERT_EQ(help.WaitForExit(10s), std::optional<int>(0));
  ASSERT_FALSE(help.Lines().empty());
  EXPECT_EQ(help.Lines().front().rfind("Usage: dovetrail", 0), 0u);

  for (const char* first : {DT_PROGRAM, "headless"}) {
    const bool window = std::string(first) == DT_PROGRAM;
    ChildProcess running(
        options(window ? std::vector<std::string>{}
                       : std::vector<std::string>{"--headless", "--range", "5", "5000000"}));
    ASSERT_TRUE(WaitForStatus("shows=0", 20s)) << first;
    ChildProcess second(options({"--headless", "--follow"}));
    EXPECT_EQ(second.WaitForExit(10s), std::optional<int>(1)) << first;
    EXPECT_TRUE(WaitForStatus("shows=0", 5s)) << "the headless start asked for a window";
    EXPECT_FALSE(running.WaitForExit(0ms)) << first;
  }
}

// A headless range run walks its range without a display, lists what the
// window would and ends with 0.
TEST_F(ProgramTest, AHeadlessRangeRunNeedsNoDisplayAndEndsByItself) {
  marketsim::Options market;
  market.seed = 5;
  market.latencyMs = 5;
  StartMarket(market);
  {
    ChildOptions options = Options(DT_PROGRAM, {"--headless", "--range", "2000", "2039"});
    options.setEnv["http_proxy"] = MarketProxy();
    options.unsetEnv.push_back("DISPLAY");
    options.setEnv["QT_QPA_PLATFORM"] = "nosuchplatform";  // none is needed
    ChildProcess run(options);
    ASSERT_EQ(run.WaitForExit(30s), std::optional<int>(0));
    for (int n = 2000; n <= 2039; ++n) EXPECT_EQ(market_->RequestCount(n), 1) << n;
    EXPECT_EQ(market_->RequestCount(2040), 0);
  }
  ChildProcess check(Options(DT_PROBE, {"--wait", "1500", "--esc-after", "0"}));
  ASSERT_TRUE(WaitForStatus("state=idle", 20s));
  EXPECT_EQ(Figure(Status(), "rows"), std::to_string(marketsim::Truth(market, 2000, 2039).size()));
  ASSERT_EQ(check.WaitForExit(20s), std::optional<int>(0));
}

// Following without a window, against a marketplace that grows.
class FollowTest : public ProgramTest {
 protected:
  void StartGrowing(double risePerSecond) {
    growing_.seed = 7;
    growing_.topAtStart = kTop;
    growing_.risePerSecond = risePerSecond;
    StartMarket(growing_);
  }
  ChildOptions Headless(std::vector<std::string> args) {
    args.insert(args.begin(), "--headless");
    ChildOptions options = Options(DT_PROGRAM, std::move(args));
    options.setEnv["http_proxy"] = MarketProxy();
    options.setEnv["XDG_DATA_HOME"] = DataHome();
    return options;
  }
  std::string DataHome() const { return home_.path().toStdString() + "/.local/share"; }
  std::int64_t Number(const std::string& key) {
    return std::stoll(Figure(Status(), key).value_or("0"));
  }
  // The frontier the follow state file keeps; 0 without one.
  std::int64_t SavedFrontier() const {
    const std::string text = dt::testing::ReadBytes(DataHome() + "/dovetrail/follow-state.txt");
    const std::size_t at = text.find("\nfrontier=");
    return at == std::string::npos ? 0 : std::stoll(text.substr(at + 10));
  }
  // The shop numbers in the results file.
  std::set<int> Listed() const {
    std::set<int> numbers;
    sqlite3* db = nullptr;
    const std::string path = DataHome() + "/dovetrail/results.sqlite";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt* rows = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT number FROM shops", -1, &rows, nullptr) == SQLITE_OK) {
        while (sqlite3_step(rows) == SQLITE_ROW) numbers.insert(sqlite3_column_int(rows, 0));
      }
      sqlite3_finalize(rows);
    }
    sqlite3_close(db);
    return numbers;
  }
  // The marketplace's shops in (above, upTo].
  std::set<int> Opened(std::int64_t above, std::int64_t upTo) const {
    std::set<int> numbers;
    for (int n = static_cast<int>(above) + 1; n <= upTo; ++n) {
      if (marketsim::OpenedAt(growing_, n) && marketsim::TruthFor(growing_, n)) numbers.insert(n);
    }
    return numbers;
  }

  static constexpr int kTop = 100000;
  marketsim::Options growing_;
};

// SIGTERM stops a headless follow run with its state saved; a window started
// while one runs takes it over and goes on following from that state.
TEST_F(FollowTest, AWindowTakesOverAndSigtermSavesTheState) {
  StartGrowing(2);
  ChildProcess headless(Headless({"--follow", "99000", "--poll", "5"}));
  ASSERT_TRUE(WaitForStatus("state=following", 60s)) << Status();
  EXPECT_EQ(Figure(Status(), "mode"), "follow");
  const std::int64_t found = Number("frontier");
  EXPECT_GE(found, *Opened(99000, kTop).rbegin()) << "the top was not found";

  ChildOptions window =
      Options(DT_PROBE, {"--wait", "4000", "--print", "followNewShops", "--esc-after", "0"});
  window.setEnv["http_proxy"] = MarketProxy();
  window.setEnv["XDG_DATA_HOME"] = DataHome();
  ChildProcess taker(window);
  EXPECT_EQ(headless.WaitForExit(20s), std::optional<int>(0)) << "the headless copy went on";
  const std::int64_t handedOver = SavedFrontier();
  EXPECT_GE(handedOver, found);
  ASSERT_TRUE(WaitForStatus("mode=follow", 20s)) << Status();
  EXPECT_GE(Number("frontier"), handedOver) << "the window did not go on from the state";
  ASSERT_EQ(taker.WaitForExit(30s), std::optional<int>(0));

  ChildProcess again(Headless({"--follow", "--poll", "5"}));
  ASSERT_TRUE(WaitForStatus("state=following", 30s)) << Status();
  std::this_thread::sleep_for(1500ms);  // the file is written at most once a second
  const std::int64_t frontier = Number("frontier");
  again.Kill(SIGTERM);
  ASSERT_EQ(again.WaitForExit(15s), std::optional<int>(0));
  EXPECT_GE(SavedFrontier(), frontier);
  EXPECT_GE(SavedFrontier(), handedOver);
}

// Killed while following and kept down for 30 s, the next start's first poll
// lists every shop opened meanwhile, and none it had listed already.
TEST_F(FollowTest, AfterAKillAndThirtySecondsDownEveryNewShopIsListedOnce) {
  StartGrowing(1);
  {
    ChildProcess first(Headless({"--follow", "99000", "--poll", "5"}));
    ASSERT_TRUE(WaitForStatus("state=following", 60s)) << Status();
    std::this_thread::sleep_for(1500ms);  // the state of the last poll on disk
    first.Kill(SIGKILL);
    ASSERT_EQ(first.WaitForExit(5s), std::optional<int>(-SIGKILL));
  }
  const std::int64_t killedAt = SavedFrontier();
  ASSERT_GT(killedAt, 0);
  const std::set<int> before = Listed();
  std::this_thread::sleep_for(30s);
  const int newestAtRestart = market_->Newest();
  ChildProcess again(Headless({"--follow", "--poll", "5"}));
  ASSERT_TRUE(WaitForStatus("state=following", 30s)) << Status();
  const std::int64_t frontier = Number("frontier");
  const std::int64_t listedNew = Number("new");
  again.Kill(SIGTERM);
  ASSERT_EQ(again.WaitForExit(15s), std::optional<int>(0));
  EXPECT_GE(frontier, *Opened(killedAt, newestAtRestart).rbegin());
  const std::set<int> opened = Opened(killedAt, frontier);
  ASSERT_GE(opened.size(), 5u) << "too few shops opened while it was down";
  const std::set<int> listed = Listed();
  for (const int n : opened) EXPECT_EQ(listed.count(n), 1u) << "not listed: " << n;
  EXPECT_EQ(listedNew, static_cast<std::int64_t>(opened.size())) << "a shop listed twice";
  for (const int n : before) EXPECT_LE(n, killedAt) << "listed above the saved frontier";
}

// One desktop notification per poll that listed shops, on a private session
// bus; without a notification service every shop is listed all the same.
TEST_F(FollowTest, EachPollWithNewShopsNotifiesOnceAndNoServiceLosesNothing) {
  StartGrowing(2);
  const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
  ASSERT_FALSE(daemon.isEmpty()) << "dbus-daemon is not installed";
  ChildProcess bus(Options(daemon.toStdString(), {"--session", "--nofork", "--print-address=1"}));
  for (const auto end = std::chrono::steady_clock::now() + 10s;
       bus.Lines().empty() && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_FALSE(bus.Lines().empty());
  const std::string address = bus.Lines().front();
  {
    ChildOptions options = Headless({"--follow", "99000", "--poll", "5"});
    options.setEnv["DBUS_SESSION_BUS_ADDRESS"] = address;
    ChildProcess quiet(options);
    ASSERT_TRUE(WaitForStatus("state=following", 60s)) << Status();
    const std::int64_t top = Number("frontier");
    std::this_thread::sleep_for(7s);
    ASSERT_TRUE(WaitForStatus("state=following", 10s));
    const std::int64_t frontier = Number("frontier");
    quiet.Kill(SIGTERM);
    ASSERT_EQ(quiet.WaitForExit(15s), std::optional<int>(0));
    const std::set<int> listed = Listed();
    const std::set<int> opened = Opened(top, frontier);
    ASSERT_FALSE(opened.empty());
    for (const int n : opened) EXPECT_EQ(listed.count(n), 1u) << "not listed: " << n;
  }
  ChildOptions service = Options(DT_NOTIFIER);
  service.setEnv["DBUS_SESSION_BUS_ADDRESS"] = address;
  ChildProcess notifier(service);
  ASSERT_TRUE(notifier.WaitForLine("ready", 10s));
  ChildOptions options = Headless({"--follow", "--poll", "5"});
  options.setEnv["DBUS_SESSION_BUS_ADDRESS"] = address;
  ChildProcess loud(options);
  ASSERT_TRUE(WaitForStatus("state=following", 30s)) << Status();
  const auto began = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(12s);
  ASSERT_TRUE(WaitForStatus("state=following", 10s));
  const std::int64_t listedNew = Number("new");
  const auto polls = (std::chrono::steady_clock::now() - began) / 4500ms + 2;
  // The shops each notification counts, summed, are the shops listed.
  std::int64_t notified = 0;
  std::size_t notifications = 0;
  for (const auto end = std::chrono::steady_clock::now() + 5s;
       notified < listedNew && std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(50ms)) {
    notified = 0;
    notifications = 0;
    for (const std::string& line : notifier.Lines()) {
      if (line.rfind("notify ", 0) != 0) continue;
      ++notifications;
      notified += std::stoll(line.substr(line.find(' ', 7)));
    }
  }
  loud.Kill(SIGTERM);
  ASSERT_EQ(loud.WaitForExit(15s), std::optional<int>(0));
  EXPECT_EQ(notified, listedNew);
  EXPECT_GE(notifications, 2u);
  EXPECT_LE(static_cast<long>(notifications), static_cast<long>(polls)) << "more than one a poll";
}

}  // namespace
}  // namespace dt

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);  // the local socket wants an application object
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
