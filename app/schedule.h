#ifndef TAVRIN_APP_SCHEDULE_H_
#define TAVRIN_APP_SCHEDULE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/ini2.h"
#include "platform/fs/file_stamp.h"

namespace tavrin {

// One entry of the schedule. Copied by value.
struct tagREPORT_INFO {
  std::string strReportName;
  int32_t nMinutes = 0;  // > 0: repeats at that interval; otherwise runs once
  int64_t tmNextDue = 0;  // due once the clock is strictly later than this
  bool bOnChange = false;  // also runs when its source changes (ChangeRuns)
};

// Builds the schedule at start time `now`: the single entry
// {report, -1, now - 1} when `cmdline_report` is not empty (the INI is not
// touched), else one entry {name, minutes, now} for each non-empty
// "Report NameNN" of section "Report Schedule", NN = 01 to 99, with
// "Minutes Between ReportsNN" (default 1) and "Report On ChangeNN" (default
// No, never written back). Only index 01 writes its defaults back. Leaves
// the section of `ini` at "Report Schedule".
std::vector<tagREPORT_INFO> BuildSchedule(CIni2& ini, const std::string& cmdline_report,
                                          int64_t now);

// What one timer tick without a run under way decides.
struct TickChoice {
  int due_index = -1;     // the entry to run now, or -1
  bool finished = false;  // nothing due and nothing repeats: the program ends
};

// Scans `schedule` in order at time `now`. The first entry whose due time is
// strictly earlier than `now` is chosen and its due time moves on from its
// previous value by its interval, or by 999 days for a one-shot entry. The
// schedule is finished when no entry repeats and none is due now or in the
// current second.
TickChoice TakeDueEntry(std::vector<tagREPORT_INFO>& schedule, int64_t now);

// For a schedule in which TakeDueEntry at `now` chose nothing and did not
// finish: the first second at which it could decide otherwise (an entry's
// due second coming, or passing). Until then every tick decides the same,
// so a loop that draws nothing may sleep. INT64_MAX for an empty schedule.
int64_t NextDecisionSecond(const std::vector<tagREPORT_INFO>& schedule, int64_t now);

// How long a source must stay unchanged before a report that it changed
// under is run once more.
inline constexpr int64_t kQuietMilliseconds = 2000;

// A report to run once more when its source file has been quiet: after a run
// that read two versions of it (the editor was writing).
struct QuietRetry {
  std::string report;
  std::string source;                  // the path of the source file
  std::optional<fs::FileStamp> seen;   // its stamp as last looked at
  int64_t seen_since_ms = 0;           // when that stamp was first seen
};

// Looks at the source of `retry` once more, at `now_ms` of a steady clock,
// finding `stamp` (nullopt: no file there): true once the same stamp has been
// seen for kQuietMilliseconds; a new stamp starts the wait again.
bool QuietLongEnough(QuietRetry& retry, const std::optional<fs::FileStamp>& stamp, int64_t now_ms);

}  // namespace tavrin

#endif  // TAVRIN_APP_SCHEDULE_H_
