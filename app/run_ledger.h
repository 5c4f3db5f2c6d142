#ifndef TAVRIN_APP_RUN_LEDGER_H_
#define TAVRIN_APP_RUN_LEDGER_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/main_dialog.h"
#include "app/schedule.h"
#include "config/report_definition.h"
#include "platform/env/env.h"
#include "platform/fs/file_system.h"
#include "platform/history/memory_run_history.h"
#include "platform/history/run_history.h"
#include "platform/window/window.h"

namespace tavrin {

// The run history beside the INI of `work_dir`: "<work_dir>/TavrinReport.ini.history".
std::string HistoryFileIn(const std::string& work_dir);

// `seconds` since 1970 as local time in strftime's `format` (at most 39
// characters long once formatted), "YYYY-MM-DD HH:MM:SS" by default.
std::string LocalTimeText(int64_t seconds, const char* format = "%Y-%m-%d %H:%M:%S");

// How the runs of the reports are kept for those who watch them: each run
// becomes one row of the run history, the metrics file (the key MetricsFile
// of section "TavrinReportGenerator", when it names one) is rewritten after
// each, and while a schedule waits the log says once which report is due
// next and the history records when each is due.
//
// None of this may fail or hold up a report: a history or metrics file that
// cannot be written costs one warning through `notice` in the life of the
// object (one for each of the two), and the metrics then come from the runs
// of this process. `env`, `files` and `history` must outlive the object.
// Thread-safe.
class RunLedger {
 public:
  using NoticeSink = std::function<void(const std::string& text, Severity severity)>;

  RunLedger(Env& env, FileSystem& files, RunHistory& history, NoticeSink notice);

  // A run of `def`'s report that started (wall clock) at `started_ms` has
  // ended as `end` tells; `refused`: its definition was refused; `trigger`:
  // how it was started ("command line", "schedule", ...). Records it and
  // rewrites the metrics file. On the run thread, after the run's summary.
  void RunEnded(const CReportDefinition& def, const CTavrinReportGeneratorDlg::RunEnd& end, bool refused,
                const std::string& trigger, int64_t started_ms);

  // The schedule waits with nothing due: the
  // first call after a run says which repeating entry
  // runs next and when, and records when each repeating entry is due (the
  // metrics file too).
  void Waiting(const std::vector<tagREPORT_INFO>& schedule);

  // What a run leaves in the history: its outcome (a refusal first, then a
  // failure, then a stop), and its output: the file, the printer, or the
  // connection string of the output database with its passwords masked.
  static RunRecord RecordOf(const CReportDefinition& def, const CTavrinReportGeneratorDlg::RunEnd& end,
                            bool refused);

 private:
  void Warn(bool* warned, const std::string& text);
  // Rewrites the metrics file, when the last run named one; `just_ended`:
  // the run that must be in it.
  void WriteMetrics(const std::optional<RunRecord>& just_ended);

  Env& env_;
  FileSystem& files_;
  RunHistory& history_;
  NoticeSink notice_;
  std::mutex mu_;
  MemoryRunHistory own_runs_;  // this process's runs, for metrics without a history
  bool history_warned_ = false;
  bool metrics_warned_ = false;
  // Told already, or no run yet: a schedule starts with every entry due.
  bool wait_told_ = true;
  std::string metrics_file_;  // as the last run's INI named it
};

}  // namespace tavrin

#endif  // TAVRIN_APP_RUN_LEDGER_H_
