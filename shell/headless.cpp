// The program without a window: the same core as the window's, driven by the
// command line and the saved settings, its status lines on the terminal.
#include <QCoreApplication>
#include <QString>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "collect/run_report.h"
#include "settings/control_states.h"
#include "settings/ini_file.h"
#include "shell/application.h"
#include "shell/form.h"
#include "shell/headless_options.h"
#include "shell/new_shop_notices.h"
#include "shell/program_core.h"
#include "shell/program_settings.h"
#include "shell/run_state_writer.h"
#include "shell/single_instance.h"
#include "text/gbk_codec.h"
#include "text/gbk_text.h"

namespace dt::shell {
namespace {

constexpr std::string_view kSettingsSection = "Dovetrail";
constexpr std::string_view kTrueValue = "\xD5\xE6";  // 真: a ticked box
// The window's proposed range, for a first start without settings.
constexpr std::int64_t kDesignFirst = 67808220;
constexpr std::int64_t kDesignLast = 645090000;
// How often the status lines and the state files are looked at.
constexpr int kTickMilliseconds = 200;

// GBK text for the terminal: in the locale's encoding, one line per line.
void Print(std::FILE* stream, std::string_view gbk) {
  QString text = QString::fromUtf8(GbkToUtf8Lossless(gbk));
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  while (text.startsWith(QLatin1Char('\n'))) text.remove(0, 1);
  if (text.isEmpty()) return;
  if (!text.endsWith(QLatin1Char('\n'))) text += QLatin1Char('\n');
  const QByteArray bytes = text.toLocal8Bit();
  // A closed terminal costs the lines, not the run.
  (void)std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
  (void)std::fflush(stream);
}

// A box of the window as its settings file keeps it; empty when not kept.
std::string SavedBox(const std::string& settingsFile, std::string_view name) {
  return settingsFile.empty() ? std::string()
                              : ReadIniValue(settingsFile, kSettingsSection, name, "");
}

std::int64_t SavedNumber(const std::string& settingsFile, std::string_view name,
                         std::int64_t design) {
  const std::string text = SavedBox(settingsFile, name);
  return text.empty() ? design : ToInteger(text);
}

// The word a window that takes over is told: what this copy was doing.
QByteArray RunWord(const RunProgress& progress) {
  const bool going = progress.state == RunState::Running || progress.state == RunState::Following ||
                     progress.state == RunState::Blocked;
  if (!going) return "idle";
  return progress.mode == RunMode::Follow ? "follow" : "range";
}

// 新店 N 家：name、name、name…
std::string NewShopsLine(const FollowNews& news) {
  std::string line = "\xD0\xC2\xB5\xEA " + ToText(news.count) + " \xBC\xD2\xA3\xBA";
  for (std::size_t i = 0; i < news.firstNames.size(); ++i) {
    if (i > 0) line += "\xA1\xA2";  // 、
    line += news.firstNames[i];
  }
  if (news.count > static_cast<int>(news.firstNames.size())) line += "\xA1\xAD";  // …
  return line;
}

}  // namespace

void RunHeadless(int argc, char** argv, const HeadlessOptions& options) {
  PrepareProcess();
  // No toolkit options and no display: a plain core application.
  static int toolkitArgc = argc > 0 ? 1 : 0;
  auto* app = new QCoreApplication(toolkitArgc, argv);

  auto* instance = new SingleInstance;
  if (!instance->Claim(SingleInstance::Ask::Nothing)) {
    std::fputs("dovetrail: another copy is running for this user; it goes on\n", stderr);
    std::exit(1);
  }
  ProgramCore& core = StartProgramCore();
  Collector& collector = *core.collector;
  const std::string settingsFile = DefaultSettingsPath();
  const std::string programSettings = ProgramSettingsPath();
  const FollowConfig follow = ReadFollowSettings(programSettings);

  // The window's settings: the filters, the range, the requests at once.
  collector.SetZeroItemsFilter(SavedBox(settingsFile, names::kZeroItemsFilter) == kTrueValue);
  collector.SetZeroCreditFilter(SavedBox(settingsFile, names::kZeroCreditFilter) == kTrueValue);
  collector.SetRequestsAtOnce(ReadRequestsAtOnce(programSettings));
  const std::int64_t first =
      options.rangeFirst.value_or(SavedNumber(settingsFile, names::kFirstNumber, kDesignFirst));
  const std::int64_t last =
      options.rangeLast.value_or(SavedNumber(settingsFile, names::kLastNumber, kDesignLast));
  collector.Run().SetLastNumber(static_cast<ShopNumber>(last));
  const bool following = options.follow || (!options.rangeFirst && follow.on);
  const int pollSeconds = options.pollSeconds.value_or(follow.pollSeconds);

  auto* writer = new RunStateWriter(collector);
  KeepStateFiles(core, *writer, [&collector] { return FollowStateFileText(collector); });
  auto* rate = new RateMeter;
  instance->SetStatusProvider([&collector, rate, &core] {
    return StatusAnswerOf(collector, rate->PagesPerSecond(), core.savedRun);
  });
  auto* notices = new NewShopNotices(nullptr, {}, app);
  collector.OnFollowNews([notices, &collector](const FollowNews& news) {
    notices->AnnounceLater(news);
    // The terminal hears of each poll's shops as the desktop does.
    if (news.kind == FollowNews::NewShops && news.count > 0) {
      collector.Status().AppendStatusLine(NewShopsLine(news));
    }
  });
  if (!core.startNote.empty()) collector.Status().AppendStatusLine(core.startNote);

  // Every end saves what is to be kept first.
  const auto stopAndEnd = [&collector, writer, &core, instance] {
    // The run takes no new number, the rows found are committed, and only then
    // is the state saved, so its resume point covers every committed row.
    collector.Run().Stop();
    // A failed commit is said by EndProgram's own commit below.
    (void)core.keeper->Commit(std::chrono::seconds(10));
    writer->Save(true);
    Print(stdout, collector.Status().TakePending());
    instance->Release();
    EndProgram(core, 0);
  };
  CallOnTerminationSignals(app, stopAndEnd);
  // A window started later takes over: this copy ends, the window goes on.
  instance->SetHandOver([&collector] { return RunWord(collector.Progress()); }, stopAndEnd);

  auto* tick = new QTimer(app);
  auto started = std::make_shared<bool>(false);
  auto lastState = std::make_shared<RunState>(RunState::Idle);
  QObject::connect(tick, &QTimer::timeout, app, [&, started, lastState, rate, writer, stopAndEnd] {
    if (!*started) {
      // The highest listed shop counts only once the list is back.
      if (following && !options.followFrom && core.keeper->Loading()) return;
      *started = true;
      if (following) {
        StartFollowRun(core, options.followFrom, first, pollSeconds);
      } else {
        collector.Start(static_cast<int>(first));
      }
    }
    const RunProgress progress = collector.Progress();
    rate->Sample(std::chrono::steady_clock::now(), progress.done);
    Print(stdout, collector.Status().TakePending());
    // The readout's first line whenever the run's state changes.
    if (progress.state != *lastState) {
      *lastState = progress.state;
      const std::string readout = ReadoutText(progress, rate->PagesPerSecond(), std::nullopt);
      Print(stdout, readout.substr(0, readout.find('\n')));
    }
    writer->Save(false);
    // A range walked to its end, or a run that stopped itself, ends the
    // program; a follow run goes on until it is stopped.
    if (progress.state == RunState::Finished ||
        (progress.state == RunState::Blocked && progress.mode != RunMode::Follow)) {
      stopAndEnd();
    }
  });
  tick->start(kTickMilliseconds);
  app->exec();
  stopAndEnd();
  std::_Exit(0);  // stopAndEnd never comes back
}

}  // namespace dt::shell
