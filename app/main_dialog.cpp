#include "app/main_dialog.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>

#include "app/exit_dlg.h"
#include "app/run_ledger.h"
#include "output/report_generator.h"
#include "output/report_output.h"
#include "platform/ado/provider.h"
#include "platform/fs/file_stamp.h"
#include "platform/text/ascii.h"
#include "platform/window/modal_loop.h"

namespace tavrin {
namespace {

const char kWaiting[] = "Waiting until next report is due.";
constexpr int kTimerId = 100;
// The longest a window that draws nothing sleeps between ticks: a wall
// clock set forward, or a machine that slept, is noticed within it.
constexpr int64_t kLongestSleepMs = 1000;

// A box's or message's text on one line, for the summary of a run.
std::string OneLine(const std::string& text) {
  std::string line;
  const std::string normalized = NormalizeLineBreaks(text);
  for (size_t start = 0; start <= normalized.size();) {
    size_t end = normalized.find('\n', start);
    if (end == std::string::npos) end = normalized.size();
    const std::string_view part = text::Trim(std::string_view(normalized).substr(start, end - start));
    if (!part.empty()) line += (line.empty() ? "" : " ") + std::string(part);
    start = end + 1;
  }
  return line;
}

}  // namespace

CTavrinReportGeneratorDlg::CTavrinReportGeneratorDlg(Env& env, WindowServices& window,
                                                     ProfileStore* store,
                                                     ado::ProviderFactory& providers, FileSystem& files,
                                                     std::string cmdline_report,
                                                     std::string program_name)
    : env_(env),
      window_(window),
      files_(files),
      cmdline_report_(std::move(cmdline_report)),
      program_name_(std::move(program_name)),
      m_Ini(store),
      m_Def(m_Ini, env),
      m_Source(m_Def, *this, providers, files),
      m_Output(m_Def, *this, providers) {
  m_Output.SetPasswordMask(ado::MaskPasswords);
  m_Def.m_strWorkDir = env_.CurrentDirectory();
  m_Def.m_strIniFile = CReportDefinition::IniFileIn(m_Def.m_strWorkDir);
  m_Ini.SetFile(m_Def.m_strIniFile);
  // INI warnings go through the window, so they never break the console panel.
  m_Ini.SetNoticeSink([this](const std::string& text) { window_.Notice(text, Severity::kWarning); });
}

CTavrinReportGeneratorDlg::~CTavrinReportGeneratorDlg() { WaitForRun(); }

void CTavrinReportGeneratorDlg::WaitForRun() {
  if (run_thread_) run_thread_->Join();
}

void CTavrinReportGeneratorDlg::OnInitDialog(DialogHost& host) {
  const int64_t now = env_.NowSeconds();
  m_Def.m_strReportName = cmdline_report_;
  m_strDisplayName = cmdline_report_;
  m_ReportSchedule = BuildSchedule(m_Ini, cmdline_report_, now);
  change_runs_.Start(
      watcher_, m_ReportSchedule, [this](const std::string& report) { return m_Def.SourceOf(report); },
      [this] { WakeTimer(); },
      [this](const std::string& text, Severity severity) { window_.Notice(text, severity); });
  if (m_ReportSchedule.empty()) {
    invalid_invocation_ = true;
    window_.MessageBox(
        "You must either specify a report name on the command line,\n"
        "or have atleast one report name in the schedule section \n"
        "of the ini.",
        "Invalid Invocation Of App", BoxStyle::kMainWindowStop);
    m_bQuit = true;
  }
  {
    std::lock_guard<std::mutex> lock(host_mu_);
    host_ = &host;
  }
  host.SetTimer(kTimerId, 100);
  host.SetNextTick(kTimerId, 0);
}

void CTavrinReportGeneratorDlg::OnTimer(DialogHost& host, int /*timer_id*/) {
  const int64_t now = env_.NowSeconds();
  if (m_bInTimer) return;
  m_bInTimer = true;
  if (m_bQuit) EndDialog(host, kIdOk);
  // A run whose report was refused asked the window to end; the request is
  // carried out here, on the window's thread, where the host is valid.
  if (const int result = end_request_.exchange(0)) EndDialog(host, result);
  bool started = false;
  if (!m_bRunning && !ending_) {
    change_runs_.TakeChanges(SteadyMilliseconds());
    if (retry_ && QuietLongEnough(*retry_, fs::StampOfPath(retry_->source), SteadyMilliseconds())) {
      StartRun(retry_->report, RunStart::kRetry);
      retry_.reset();
      started = true;
    } else {
      const TickChoice choice = TakeDueEntry(m_ReportSchedule, now);
      const int changed = choice.due_index >= 0 ? -1 : change_runs_.DueEntry(SteadyMilliseconds());
      if (choice.due_index >= 0) {
        StartRun(m_ReportSchedule[static_cast<size_t>(choice.due_index)].strReportName, RunStart::kDue);
        started = true;
      } else if (changed >= 0) {
        const std::string& report = m_ReportSchedule[static_cast<size_t>(changed)].strReportName;
        window_.Notice(report + ": " + change_runs_.SourceOfEntry(changed) + " has changed", Severity::kInfo);
        // This run reads the source anew: it is also the one more run that
        // a run which read two versions of it waits to make.
        if (retry_ && text::EqualsIgnoreAsciiCase(retry_->report, report)) retry_.reset();
        StartRun(report, RunStart::kSourceChanged);
        started = true;
      }
      // A retry that waits for its source, or a source watched, keeps the program.
      if (choice.finished && !retry_ && !change_runs_.watching()) EndDialog(host, kIdOk);
    }
  }
  if (!started && !m_bRunning && !ending_ && ledger_ && cmdline_report_.empty())
    ledger_->Waiting(m_ReportSchedule);
  if (!m_bRunning) {
    m_strDisplayName = kWaiting;
    SetStatus(kWaiting);
    SetProgress(0);
  }
  host.SetControlText(kIdReportName, m_strDisplayName);
  host.SetControlText(kIdStatus, status());
  host.SetProgress(progress());
  // The end of a run started here brings the next tick (it may have already).
  if (!started) ScheduleNextTick(host);
  m_bInTimer = false;
}

void CTavrinReportGeneratorDlg::StartRun(const std::string& report, RunStart start) {
  m_Def.m_strReportName = report;
  m_strDisplayName = report;
  change_runs_.RunStarts(report);
  // The previous run cleared m_bRunning as its last action; its thread
  // is at most finishing its return.
  WaitForRun();
  run_thread_.reset();
  run_start_ = start;
  m_bRunning = true;
  run_thread_ = env_.StartThread([this] { RunReportThread(); });
}

int64_t CTavrinReportGeneratorDlg::SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(env_.SteadyNow().time_since_epoch()).count();
}

void CTavrinReportGeneratorDlg::ScheduleNextTick(DialogHost& host) {
  // Texts and progress change while a run is under way; at rest only at the
  // ticks this makes anyway.
  const WindowServices::Refresh refresh = window_.RefreshNeeded();
  if (ending_ || refresh == WindowServices::Refresh::kEveryTick ||
      (refresh == WindowServices::Refresh::kWhenTextsChange && m_bRunning))
    return;
  int64_t delay = kLongestSleepMs;
  if (!m_bRunning) {
    // A retry looks at its source every quarter second, so that it runs
    // soon after the source has been quiet long enough.
    if (retry_) delay = kLongestSleepMs / 4;
    // A source watched for changes is looked at again when its quiet wait ends.
    if (const std::optional<int64_t> wait = change_runs_.QuietWaitMs(SteadyMilliseconds()))
      delay = std::min(delay, *wait);
    const int64_t second = NextDecisionSecond(m_ReportSchedule, env_.NowSeconds());
    if (second < INT64_MAX / 1000) delay = std::clamp<int64_t>(second * 1000 - env_.NowMilliseconds(), 0, delay);
  }
  host.SetNextTick(kTimerId, delay);
}

void CTavrinReportGeneratorDlg::WakeTimer() {
  std::lock_guard<std::mutex> lock(host_mu_);
  if (host_) host_->SetNextTick(kTimerId, 0);
}

void CTavrinReportGeneratorDlg::OnDestroy() {
  // A run that ends later has no tick to bring.
  std::lock_guard<std::mutex> lock(host_mu_);
  host_ = nullptr;
}

void CTavrinReportGeneratorDlg::EndDialog(DialogHost& host, int result) {
  ending_ = true;
  host.EndDialog(result);
}

void CTavrinReportGeneratorDlg::ReportException(const char* what) {
  RecordFailure();
  MessageBox(std::string("The report stopped on an unexpected error:\n") + what, "",
             BoxStyle::kAppWarning);
}

ReportOutcome CTavrinReportGeneratorDlg::GenerateReport() {
  OutputServices services(*this, files_);
  services.output_database = &m_Output;
  services.print_backend = print_backend_;
  services.print_dialog = print_dialog_;
  CReportGenerator generator(m_Def, m_Source.m_OrgDB, services);
  return generator.GenerateReport();
}

void CTavrinReportGeneratorDlg::RunReportThread() {
  const Env::SteadyTime started = env_.SteadyNow();
  const int64_t started_ms = env_.NowMilliseconds();
  run_failed_ = false;
  source_changed_ = false;
  run_failure_.clear();
  run_box_.clear();
  ReportOutcome outcome;
  // Nothing may escape the run: an error is reported, the closing steps
  // still run, and m_bRunning is always cleared.
  try {
    if (!m_Def.LoadReportDefinition(*this)) {
      definition_refused_ = true;
      end_request_ = kIdCancel;
    } else if (m_Source.OpenDatabase() && m_Source.QueryOrganizations(OrgColumnsRead(m_Def))) {
      outcome = GenerateReport();  // which also handles a stop that came meanwhile
    } else if (StopRequested()) {
      NoteStoppedBeforeOutput(m_Def, *this, files_);
    }
  } catch (const _com_error& e) {
    RecordFailure();
    ShowComError(*this, e);
  } catch (const std::exception& e) {
    ReportException(e.what());
  } catch (...) {
    ReportException("unknown error");
  }
  try {
    m_Source.CloseDatabase();
    m_Output.CloseOutputDatabase();
  } catch (const std::exception& e) {
    ReportException(e.what());
  }
  // A run that read two versions of its source is run once more when the
  // source has been quiet; a run that was itself that retry is not.
  if (source_changed_ && run_start_ != RunStart::kRetry && !StopRequested()) {
    retry_ = QuietRetry{m_Def.m_strReportName, m_Def.m_strDataPath, fs::StampOfPath(m_Def.m_strDataPath),
                        SteadyMilliseconds()};
    window_.Notice(m_Def.m_strReportName + ": runs again once " + m_Def.m_strDataPath + " has been quiet for " +
                       std::to_string(kQuietMilliseconds / 1000) + " seconds",
                   Severity::kInfo);
  }
  RunEnd end;
  end.failed = run_failed_ || definition_refused_;
  end.stopped = StopRequested();
  end.failure = run_failure_.empty() ? run_box_ : run_failure_;
  end.written = outcome.written;
  end.destination = outcome.destination;
  end.seconds = std::chrono::duration<double>(env_.SteadyNow() - started).count();
  window_.Notice(RunSummary(m_Def.m_strReportName, end),
                 end.failed ? Severity::kError : end.stopped ? Severity::kWarning : Severity::kInfo);
  if (ledger_) {
    const char* trigger = run_start_ != RunStart::kDue ? "source changed"
                          : cmdline_report_.empty()    ? "schedule"
                                                       : "command line";
    ledger_->RunEnded(m_Def, end, definition_refused_, trigger, started_ms);
  }
  m_bRunning = false;
  WakeTimer();
}

std::string CTavrinReportGeneratorDlg::RunSummary(const std::string& report, const RunEnd& end) {
  if (end.failed) return report + ": failed: " + (end.failure.empty() ? "see the messages above" : end.failure);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, " in %.2f s", end.seconds);
  const std::string organizations =
      std::to_string(end.written) + (end.written == 1 ? " organization" : " organizations");
  if (end.stopped) return report + ": stopped after " + organizations + seconds;
  return report + ": " + organizations + " " + end.destination + seconds;
}

void CTavrinReportGeneratorDlg::RecordFailure() {
  failure_reported_ = true;
  run_failed_ = true;
}

void CTavrinReportGeneratorDlg::SourceChanged() {
  RecordFailure();
  source_changed_ = true;
}

void CTavrinReportGeneratorDlg::NoteFailureText(const std::string& text) {
  if (run_failed_ && run_failure_.empty()) run_failure_ = OneLine(text);
}

void CTavrinReportGeneratorDlg::SetStatus(const std::string& text) {
  SetStatusAt(text, std::nullopt, Severity::kInfo);
}

void CTavrinReportGeneratorDlg::SetFailureStatus(const std::string& text) {
  RecordFailure();
  NoteFailureText(text);
  SetStatusAt(text, std::nullopt, Severity::kError);
}

void CTavrinReportGeneratorDlg::SetRecordStatus(const std::string& text, int32_t index, int32_t count) {
  SetStatusAt(text, RecordPosition{index, count}, Severity::kInfo);
}

void CTavrinReportGeneratorDlg::SetStatusAt(const std::string& text,
                                            const std::optional<RecordPosition>& position,
                                            Severity severity) {
  {
    std::lock_guard<std::mutex> lock(status_mu_);
    if (m_strStatus == text) return;
    m_strStatus = text;
  }
  window_.StatusChanged(m_bRunning ? m_Def.m_strReportName : std::string(), text, position,
                        severity);
}

void CTavrinReportGeneratorDlg::SetProgress(int percent) {
  std::lock_guard<std::mutex> lock(status_mu_);
  m_nProgress = percent;
}

std::string CTavrinReportGeneratorDlg::status() const {
  std::lock_guard<std::mutex> lock(status_mu_);
  return m_strStatus;
}

int CTavrinReportGeneratorDlg::progress() const {
  std::lock_guard<std::mutex> lock(status_mu_);
  return m_nProgress;
}

int CTavrinReportGeneratorDlg::MessageBox(const std::string& text, const std::string& caption,
                                          BoxStyle style) {
  NoteFailureText(text);
  if (run_box_.empty()) run_box_ = OneLine(text);
  return window_.MessageBox(text, style == BoxStyle::kAppWarning ? program_name_ : caption, style);
}

void CTavrinReportGeneratorDlg::ShowTimedMessage(const std::string& text, int seconds) {
  NoteFailureText(text);
  CExitDlg dlg;
  dlg.SetMessage(text, seconds);
  window_.DoModal(dlg);
}

void CTavrinReportGeneratorDlg::StandardOutput(const std::string& text) {
  window_.StandardOutput(text);
}

void CTavrinReportGeneratorDlg::Notice(const std::string& text, Severity severity) {
  if (severity == Severity::kError) NoteFailureText(text);
  window_.Notice(text, severity);
}

}  // namespace tavrin
