#include "app/run_ledger.h"

#include <ctime>
#include <map>
#include <utility>

#include "app/run_metrics.h"
#include "output/report_output.h"
#include "platform/ado/provider.h"

namespace tavrin {
namespace {

const char kPrintedOn[] = "printed on ";

}  // namespace

std::string HistoryFileIn(const std::string& work_dir) {
  // Named after the INI, as its lock file is: the folder's own files all
  // start with the INI's name.
  return CReportDefinition::IniFileIn(work_dir) + ".history";
}

std::string LocalTimeText(int64_t seconds, const char* format) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm {};
  localtime_r(&t, &tm);
  char text[40];
  if (std::strftime(text, sizeof text, format, &tm) == 0) return "";
  return text;
}

RunLedger::RunLedger(Env& env, FileSystem& files, RunHistory& history, NoticeSink notice)
    : env_(env), files_(files), history_(history), notice_(std::move(notice)) {}

RunRecord RunLedger::RecordOf(const CReportDefinition& def, const CTavrinReportGeneratorDlg::RunEnd& end,
                              bool refused) {
  RunRecord run;
  run.job = def.m_strReportName;
  run.seconds = end.seconds;
  run.count = end.written;
  run.outcome = refused      ? RunOutcome::kRefused
                : end.failed  ? RunOutcome::kFailed
                : end.stopped ? RunOutcome::kStopped
                              : RunOutcome::kCompleted;
  if (end.failed) run.failure = end.failure;
  if (refused) return run;
  switch (ParseOutputKind(def.m_strOutput)) {
    case OutputKind::kSqlServer:
      run.target = ado::MaskPasswords(def.m_strDestinationDBConnectString);
      break;
    case OutputKind::kPrinter:
      // The printer is known once the listing has one.
      if (end.destination.starts_with(kPrintedOn)) run.target = end.destination.substr(sizeof kPrintedOn - 1);
      break;
    default:
      // Absolute, so that it says the same wherever the history is read.
      run.target = def.m_strOutputFilename.starts_with('/') || def.m_strOutputFilename.empty()
                       ? def.m_strOutputFilename
                       : def.m_strWorkDir + "/" + def.m_strOutputFilename;
  }
  return run;
}

void RunLedger::RunEnded(const CReportDefinition& def, const CTavrinReportGeneratorDlg::RunEnd& end,
                         bool refused, const std::string& trigger, int64_t started_ms) {
  RunRecord run = RecordOf(def, end, refused);
  run.trigger = trigger;
  run.started_ms = started_ms;
  run.ended_ms = env_.NowMilliseconds();
  // Not written back: an INI without the key stays as it is. A relative
  // name is in the report folder.
  std::string metrics_file =
      def.m_Ini.GetString("TavrinReportGenerator", "MetricsFile", "", def.m_strIniFile, false, false);
  if (!metrics_file.empty() && !metrics_file.starts_with('/')) metrics_file = def.m_strWorkDir + "/" + metrics_file;

  std::lock_guard<std::mutex> lock(mu_);
  wait_told_ = false;
  own_runs_.Record(run);
  if (const std::string said = history_.Record(run); !said.empty()) Warn(&history_warned_, said);
  metrics_file_ = metrics_file;
  WriteMetrics(run);
}

void RunLedger::WriteMetrics(const std::optional<RunRecord>& just_ended) {
  if (metrics_file_.empty()) return;
  // The history holds every report's runs, other processes' too; when it
  // cannot be read, or lacks the run that just ended, the runs of this
  // process stand in.
  std::vector<JobState> states;
  bool from_history = history_.Read({}, &states).empty();
  if (from_history && just_ended) {
    from_history = false;
    for (const JobState& state : states) {
      if (state.job == just_ended->job && state.last_run && state.last_run->started_ms == just_ended->started_ms &&
          state.last_run->ended_ms == just_ended->ended_ms)
        from_history = true;
    }
  }
  if (!from_history) own_runs_.Read({}, &states);
  if (const std::string said = WriteMetricsFile(files_, metrics_file_, MetricsText(states)); !said.empty())
    Warn(&metrics_warned_, "MetricsFile: " + said + "; the metrics are not up to date.");
}

void RunLedger::Waiting(const std::vector<tagREPORT_INFO>& schedule) {
  std::lock_guard<std::mutex> lock(mu_);
  if (wait_told_) return;
  wait_told_ = true;
  // An entry is due once the clock has passed its due second.
  std::map<std::string, int64_t> due;
  const tagREPORT_INFO* next = nullptr;
  for (const tagREPORT_INFO& entry : schedule) {
    if (entry.nMinutes <= 0) continue;  // a one-shot entry runs once, at the start
    auto [it, added] = due.emplace(entry.strReportName, entry.tmNextDue + 1);
    if (!added && entry.tmNextDue + 1 < it->second) it->second = entry.tmNextDue + 1;
    if (next == nullptr || entry.tmNextDue < next->tmNextDue) next = &entry;
  }
  if (next == nullptr) return;
  notice_("Next report due: " + next->strReportName + " at " + LocalTimeText(next->tmNextDue + 1),
          Severity::kInfo);
  const std::vector<std::pair<std::string, int64_t>> list(due.begin(), due.end());
  own_runs_.RecordNextDue(list);
  if (const std::string said = history_.RecordNextDue(list); !said.empty()) Warn(&history_warned_, said);
  WriteMetrics(std::nullopt);
}

void RunLedger::Warn(bool* warned, const std::string& text) {
  if (*warned) return;
  *warned = true;
  notice_(text, Severity::kWarning);
}

}  // namespace tavrin
