#include "app/run_status.h"

#include <cinttypes>
#include <cstdio>
#include <algorithm>
#include <vector>

#include "app/read_only_store.h"
#include "app/run_ledger.h"
#include "app/schedule.h"
#include "config/ini2.h"
#include "config/report_definition.h"
#include "platform/text/markup.h"
#include "platform/text/utf8.h"

namespace tavrin {
namespace {

bool Completed(const JobState& state) {
  return state.last_run && state.last_run->outcome == RunOutcome::kCompleted;
}

// Local time with its offset, as ISO 8601 writes it: 2026-12-09T07:57:02+01:00.
std::string IsoTime(int64_t seconds) {
  std::string iso = LocalTimeText(seconds, "%Y-%m-%dT%H:%M:%S%z");
  if (iso.size() >= 2) iso.insert(iso.size() - 2, ":");
  return iso;
}

std::string Ago(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char text[48];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%" PRId64 " s ago", seconds);
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%" PRId64 " min ago", seconds / 60);
  } else if (seconds < 86400) {
    std::snprintf(text, sizeof text, "%" PRId64 " h %" PRId64 " min ago", seconds / 3600, seconds / 60 % 60);
  } else {
    std::snprintf(text, sizeof text, "%" PRId64 " d %" PRId64 " h ago", seconds / 86400, seconds / 3600 % 24);
  }
  return text;
}

std::string Duration(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return text;
}

std::string JsonRun(const std::optional<RunRecord>& run) {
  if (!run) return "null";
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", run->seconds);
  return "{\"started\": " + text::JsonString(IsoTime(run->started_ms / 1000)) +
         ", \"ended\": " + text::JsonString(IsoTime(run->ended_ms / 1000)) +
         ", \"outcome\": " + text::JsonString(OutcomeName(run->outcome)) +
         ", \"organizations\": " + std::to_string(run->count) + ", \"duration_seconds\": " + seconds +
         ", \"output\": " + text::JsonString(run->target) + ", \"failure\": " + text::JsonString(run->failure) +
         ", \"started_by\": " + text::JsonString(run->trigger) + "}";
}

std::string Json(const std::vector<JobState>& states, int64_t now, bool ok) {
  std::string out = std::string("{\"ok\": ") + (ok ? "true" : "false") + ", \"reports\": [";
  for (size_t i = 0; i < states.size(); ++i) {
    const JobState& s = states[i];
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"report\": " + text::JsonString(s.job) + ", \"last_run\": " + JsonRun(s.last_run) +
           ", \"last_success\": " + JsonRun(s.last_success) + ", \"last_success_age_seconds\": " +
           (s.last_success ? std::to_string(now - s.last_success->ended_ms / 1000) : "null") +
           ", \"next_due\": " + (s.next_due ? text::JsonString(IsoTime(*s.next_due)) : "null") +
           ", \"runs_total\": {";
    bool first = true;
    for (const auto& [outcome, runs] : s.totals) {
      out += (first ? "" : ", ") + text::JsonString(OutcomeName(outcome)) + ": " + std::to_string(runs);
      first = false;
    }
    out += "}}";
  }
  return out + "\n]}\n";
}

// Columns padded to their widest cell, in characters.
std::string Table(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], text::Utf8Length(row[c]));
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - text::Utf8Length(row[c]) + 2, ' ');
    }
    out += line + "\n";
  }
  return out;
}

std::string Text(const std::vector<JobState>& states, int64_t now) {
  std::vector<std::vector<std::string>> rows = {
      {"REPORT", "LAST RUN", "OUTCOME", "ORGANIZATIONS", "DURATION", "LAST SUCCESS", "NEXT DUE"}};
  std::string failures;
  for (const JobState& s : states) {
    std::vector<std::string> row = {s.job};
    if (s.last_run) {
      row.insert(row.end(), {LocalTimeText(s.last_run->ended_ms / 1000), std::string(OutcomeName(s.last_run->outcome)),
                             std::to_string(s.last_run->count), Duration(s.last_run->seconds)});
      if (!s.last_run->failure.empty()) failures += s.job + ": " + s.last_run->failure + "\n";
    } else {
      row.insert(row.end(), {"-", "never ran", "-", "-"});
    }
    row.push_back(s.last_success ? LocalTimeText(s.last_success->ended_ms / 1000) + " (" +
                                       Ago(now - s.last_success->ended_ms / 1000) + ")"
                                 : "never");
    // A due time long past: the schedule that recorded it is not running.
    row.push_back(!s.next_due                ? "-"
                  : *s.next_due < now - 60 ? LocalTimeText(*s.next_due) + " (overdue)"
                                           : LocalTimeText(*s.next_due));
    rows.push_back(std::move(row));
  }
  return Table(rows) + (failures.empty() ? "" : "\n" + failures);
}

}  // namespace

StatusResult ShowRunStatus(Env& env, ProfileStore& store, RunHistory& history, const std::string& report,
                           bool json) {
  std::vector<std::string> names;
  if (!report.empty()) {
    names.push_back(report);
  } else {
    ReadOnlyStore read_only(store);
    CIni2 ini(&read_only);
    ini.SetFile(CReportDefinition::IniFileIn(env.CurrentDirectory()));
    for (const tagREPORT_INFO& entry : BuildSchedule(ini, "", env.NowSeconds())) {
      bool listed = false;
      for (const std::string& name : names) listed = listed || name == entry.strReportName;
      if (!listed) names.push_back(entry.strReportName);
    }
  }
  std::vector<JobState> states;
  const std::string problem = history.Read(names, &states);
  if (!problem.empty()) {
    return {json ? "{\"ok\": false, \"error\": " + text::JsonString(problem) + ", \"reports\": []}\n"
                 : problem + "\n",
            1};
  }
  // Nothing to list is nothing a monitor can call healthy.
  bool ok = !states.empty();
  for (const JobState& state : states) ok = ok && Completed(state);
  if (states.empty() && !json) return {"No report is scheduled in TavrinReport.ini and none has run.\n", 1};
  const int64_t now = env.NowSeconds();
  return {json ? Json(states, now, ok) : Text(states, now), ok ? 0 : 1};
}

}  // namespace tavrin
