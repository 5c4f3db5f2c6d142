#ifndef TAVRIN_APP_MAIN_DIALOG_H_
#define TAVRIN_APP_MAIN_DIALOG_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "app/change_runs.h"
#include "app/schedule.h"
#include "config/ini2.h"
#include "config/report_definition.h"
#include "data/source_database.h"
#include "output/output_database.h"
#include "output/report_generator.h"
#include "platform/ado/provider.h"
#include "platform/env/env.h"
#include "platform/fs/file_system.h"
#include "platform/print/print_backend.h"
#include "platform/print/print_dialog.h"
#include "platform/profile/profile.h"
#include "platform/watch/file_watcher.h"
#include "run/run_host.h"
#include "platform/window/window.h"

namespace tavrin {

class RunLedger;

// The main window: owner of the schedule and of everything a run uses. Its
// 100-millisecond timer starts each due report on a run thread of its own,
// one run at a time, and ends the window when nothing is left to run. The
// first tick comes at once and the end of a run brings the next at once; a
// window that draws nothing (the unattended log) is ticked only when a
// tick could decide something new, at most a second apart. A run that read
// two versions of its source (RunHost::SourceChanged) is run once more once
// the source has been quiet for kQuietMilliseconds; the window does not end
// while that run waits. Entries that also run when their source changes
// (ChangeRuns) keep the window; a sign of change brings a tick at once.
//
// Threads: the window's events arrive on the thread that runs DoModal; the
// run thread uses the report definition, the INI access and the databases
// while m_bRunning is set. The status line and progress value are handed
// over under a lock.
class CTavrinReportGeneratorDlg : public Dialog, public RunHost {
 public:
  // `env`, `window`, `store`, `providers` (which open the databases) and
  // `files` (which the runs look at, read and publish files through) must
  // outlive the object; `cmdline_report` is the report named on the command
  // line (empty for the schedule).
  CTavrinReportGeneratorDlg(Env& env, WindowServices& window, ProfileStore* store,
                            ado::ProviderFactory& providers, FileSystem& files, std::string cmdline_report,
                            std::string program_name);
  // Waits for a run under way.
  ~CTavrinReportGeneratorDlg() override;

  // Dialog
  int TemplateId() const override { return kMainDialogTemplate; }
  void OnInitDialog(DialogHost& host) override;
  void OnTimer(DialogHost& host, int timer_id) override;
  void OnDestroy() override;

  // RunHost (run thread)
  void SetStatus(const std::string& text) override;
  void SetFailureStatus(const std::string& text) override;
  void SetRecordStatus(const std::string& text, int32_t index, int32_t count) override;
  void SetProgress(int percent) override;
  int MessageBox(const std::string& text, const std::string& caption, BoxStyle style) override;
  void ShowTimedMessage(const std::string& text, int seconds) override;
  void StandardOutput(const std::string& text) override;
  void Notice(const std::string& text, Severity severity) override;
  void RecordFailure() override;
  // Also runs the report once more, once its source has been quiet for
  // kQuietMilliseconds (unless this run was that retry, or was stopped).
  void SourceChanged() override;
  bool StopRequested() const override { return stop_.stop_requested(); }
  std::stop_token StopToken() const override { return stop_.get_token(); }

  // The printing system and the print dialog of printed listings; both must
  // outlive the object. Without them a listing says that printing is not
  // available. Call before DoModal.
  void SetPrinting(PrintBackend& backend, PrintDialog& dialog) {
    print_backend_ = &backend;
    print_dialog_ = &dialog;
  }

  // Where each run is recorded and the wait for the next is told; it must
  // outlive the object. Without one nothing is recorded. Call before DoModal.
  void SetRunLedger(RunLedger& ledger) { ledger_ = &ledger; }
  // The watcher of the sources of the entries that run on change; it must
  // outlive the object. Without it no entry runs on change. Call before
  // DoModal.
  void SetFileWatcher(FileWatcher& watcher) { watcher_ = &watcher; }

  // Asks a run under way to stop at its next safe point. Any thread; a
  // wait that the stop cuts short (StopToken) is cancelled on it.
  void RequestStop() { stop_.request_stop(); }
  // Blocks until the run thread (if any) has ended.
  void WaitForRun();

  // The body of one run: definition, source database, report, closing,
  // then one line in the log that sums the run up (RunSummary), which the
  // run ledger (when set) records. A refused definition asks the window to
  // end (at its next tick). Never throws; clears m_bRunning as its last
  // action.
  void RunReportThread();

  // How the program went, for its exit status.
  bool invalid_invocation() const { return invalid_invocation_; }
  bool definition_refused() const { return definition_refused_; }
  bool failure_reported() const { return failure_reported_; }

  std::string status() const;
  int progress() const;

  // The line that sums up the run of `report`: "<report>: N organizations
  // <destination> in S.SS s" (ReportOutput::Destination), or "<report>:
  // failed: <text>" with the first failure's text, or "<report>: stopped
  // after N organizations in S.SS s".
  struct RunEnd {
    bool failed = false;
    bool stopped = false;
    std::string failure;  // the first failure's text
    int32_t written = 0;
    std::string destination;
    double seconds = 0;
  };
  static std::string RunSummary(const std::string& report, const RunEnd& end);

  std::vector<tagREPORT_INFO> m_ReportSchedule;
  std::atomic<bool> m_bRunning{false};
  bool m_bInTimer = false;
  bool m_bQuit = false;
  std::string m_strDisplayName;

 private:
  ReportOutcome GenerateReport();
  // Why a run starts: its time came (or the command line named it), it is
  // the one more run of a report that its source changed under, or its
  // source changed while it waited.
  enum class RunStart { kDue, kRetry, kSourceChanged };
  // Starts the run of `report` on the run thread.
  void StartRun(const std::string& report, RunStart start);
  int64_t SteadyMilliseconds();
  // Ends the modal run; no run starts after it.
  void EndDialog(DialogHost& host, int result);
  void ReportException(const char* what);
  // When the window draws nothing, moves the next tick of a tick that
  // started no run to when a tick can decide something.
  void ScheduleNextTick(DialogHost& host);
  // Brings the next tick at once (the run has ended); any thread.
  void WakeTimer();
  void SetStatusAt(const std::string& text, const std::optional<RecordPosition>& position,
                   Severity severity);
  // Keeps `text` as the failure of the run to sum it up with, when the run
  // has failed and no failure's text was kept yet.
  void NoteFailureText(const std::string& text);

  Env& env_;
  WindowServices& window_;
  FileSystem& files_;
  std::string cmdline_report_;
  std::string program_name_;
  CIni2 m_Ini;
  CReportDefinition m_Def;  // also holds m_strIniFile, m_strWorkDir, m_strReportName
  CSourceDatabase m_Source;
  COutputDatabase m_Output;
  PrintBackend* print_backend_ = nullptr;
  PrintDialog* print_dialog_ = nullptr;
  FileWatcher* watcher_ = nullptr;

  mutable std::mutex status_mu_;
  std::string m_strStatus;
  int m_nProgress = 0;

  std::atomic<int> end_request_{0};  // result the run asked the window to end with
  // The host of the modal run while it lasts, for WakeTimer.
  std::mutex host_mu_;
  DialogHost* host_ = nullptr;
  bool ending_ = false;
  std::unique_ptr<ThreadHandle> run_thread_;
  std::stop_source stop_;
  std::atomic<bool> failure_reported_{false};
  // The run under way, for its summary (run thread only): whether it
  // failed, the text of its first failure, and its first box as a last
  // resort (a box may come before the failure is recorded).
  bool run_failed_ = false;
  bool source_changed_ = false;
  std::string run_failure_;
  std::string run_box_;
  bool invalid_invocation_ = false;
  std::atomic<bool> definition_refused_{false};
  // The report to run once more when its source is quiet: set by the run
  // thread before it clears m_bRunning, used by the timer while no run is
  // under way. run_start_: why the run under way started (kRetry: it is
  // that one more run).
  std::optional<QuietRetry> retry_;
  RunStart run_start_ = RunStart::kDue;
  RunLedger* ledger_ = nullptr;
  ChangeRuns change_runs_;  // the timer's; stops the watcher's wakes first when destroyed
};

}  // namespace tavrin

#endif  // TAVRIN_APP_MAIN_DIALOG_H_
