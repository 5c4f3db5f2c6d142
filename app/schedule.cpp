#include "app/schedule.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace tavrin {
namespace {

const int64_t kOneShotPause = 86313600;  // 999 days

std::string IndexedKey(const char* stem, int nn) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s%02d", stem, nn);
  return buf;
}

}  // namespace

std::vector<tagREPORT_INFO> BuildSchedule(CIni2& ini, const std::string& cmdline_report,
                                          int64_t now) {
  ini.SetSection("Report Schedule");
  std::vector<tagREPORT_INFO> schedule;
  if (!cmdline_report.empty()) {
    schedule.push_back({cmdline_report, -1, now - 1});
    return schedule;
  }
  for (int nn = 1; nn <= 99; ++nn) {
    const bool write_default = nn == 1;
    std::string name = ini.GetString(IndexedKey("Report Name", nn), "", write_default);
    const int minutes = ini.GetInt(IndexedKey("Minutes Between Reports", nn), 1, write_default);
    if (name.empty()) continue;
    const bool on_change = ini.GetBool(IndexedKey("Report On Change", nn), false, false);
    schedule.push_back({std::move(name), minutes, now, on_change});
  }
  return schedule;
}

TickChoice TakeDueEntry(std::vector<tagREPORT_INFO>& schedule, int64_t now) {
  TickChoice choice;
  choice.finished = true;
  for (size_t i = 0; i < schedule.size(); ++i) {
    tagREPORT_INFO& entry = schedule[i];
    if (entry.nMinutes > 0) choice.finished = false;
    // An entry whose due second has come but not yet passed is still to
    // run: without this a schedule of one-shot entries would end at a first
    // tick that falls in the start second, before running any of them.
    if (entry.tmNextDue == now) choice.finished = false;
    if (entry.tmNextDue < now) {
      choice.finished = false;
      // 64-bit arithmetic: the largest interval cannot overflow.
      entry.tmNextDue += entry.nMinutes >= 1 ? static_cast<int64_t>(entry.nMinutes) * 60 : kOneShotPause;
      choice.due_index = static_cast<int>(i);
      break;
    }
  }
  return choice;
}

int64_t NextDecisionSecond(const std::vector<tagREPORT_INFO>& schedule, int64_t now) {
  int64_t next = INT64_MAX;
  for (const tagREPORT_INFO& entry : schedule) {
    // An entry counts otherwise once the clock reaches its due second (it
    // keeps a schedule of one-shot entries alive) and once it passes it.
    next = std::min(next, entry.tmNextDue > now ? entry.tmNextDue : entry.tmNextDue + 1);
  }
  return next;
}

bool QuietLongEnough(QuietRetry& retry, const std::optional<fs::FileStamp>& stamp, int64_t now_ms) {
  if (stamp != retry.seen) {
    retry.seen = stamp;
    retry.seen_since_ms = now_ms;
    return false;
  }
  return now_ms - retry.seen_since_ms >= kQuietMilliseconds;
}

}  // namespace tavrin
