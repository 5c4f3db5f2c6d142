#ifndef TAVRIN_APP_RUN_STATUS_H_
#define TAVRIN_APP_RUN_STATUS_H_

#include <string>

#include "platform/env/env.h"
#include "platform/history/run_history.h"
#include "platform/profile/profile.h"

namespace tavrin {

struct StatusResult {
  std::string text;  // for standard output
  int status = 0;    // 0 when the last run of every report listed completed, 1 otherwise
};

// `--status`: what `history` knows of the report `report`, or of each report
// of the schedule of TavrinReport.ini in env.CurrentDirectory() (of every
// report the history knows when the schedule names none): the last run, its
// outcome, organizations and duration, the last success and how long ago it
// was, and when a schedule has the report next due. As a table for people,
// or with `json` as one JSON object for scripts:
//   {"ok": BOOL, "reports": [{"report": NAME, "last_run": RUN or null,
//    "last_success": RUN or null, "last_success_age_seconds": N or null,
//    "next_due": TIME or null, "runs_total": {OUTCOME: N, ...}}, ...]}
// where RUN is {"started", "ended" (local ISO 8601 times with their offset),
// "outcome", "organizations", "duration_seconds", "output", "failure",
// "started_by"}. A report whose last run did not complete, or that never
// ran, makes the status 1; so does a history that cannot be read (the text
// then says why).
//
// Reads only: the INI through `store` without writing a default back, the
// history without creating or repairing it; takes no lock.
StatusResult ShowRunStatus(Env& env, ProfileStore& store, RunHistory& history, const std::string& report,
                           bool json);

}  // namespace tavrin

#endif  // TAVRIN_APP_RUN_STATUS_H_
