#ifndef TAVRIN_APP_RUN_METRICS_H_
#define TAVRIN_APP_RUN_METRICS_H_

#include <string>
#include <vector>

#include "platform/fs/file_system.h"
#include "platform/history/run_history.h"

namespace tavrin {

// The runs of `reports` in Prometheus' text exposition format, as the
// textfile collector of node_exporter reads it: for each report (label
// `report`) the end of its last run and of its last completed run
// (tavrin_report_last_run_timestamp_seconds,
// tavrin_report_last_success_timestamp_seconds), the outcome of its last run
// (tavrin_report_last_run_outcome, 1 for that outcome and 0 for the others),
// the organizations it wrote and how long it took
// (tavrin_report_last_run_organizations,
// tavrin_report_last_run_duration_seconds), its runs by outcome
// (tavrin_report_runs_total, a counter) and when a schedule has it next due
// (tavrin_report_next_due_timestamp_seconds). A report without the figure
// has no sample of it.
std::string MetricsText(const std::vector<JobState>& reports);

// Replaces the file at `path` (links followed) with `text` so that a reader
// sees the old file or the new one whole, never a part: written to a
// temporary file beside it (not ending in ".prom", so the collector never
// reads it) and renamed onto it. Returns an empty text, or why the file
// could not be written.
std::string WriteMetricsFile(FileSystem& files, const std::string& path, const std::string& text);

}  // namespace tavrin

#endif  // TAVRIN_APP_RUN_METRICS_H_
