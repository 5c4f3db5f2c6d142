#include "app/change_runs.h"

#include <algorithm>
#include <chrono>

#include "platform/fs/file_stamp.h"
#include "platform/text/ascii.h"

namespace tavrin {
namespace {

// The stamps are compared at the idle loop's tick, once a second; a tick
// that comes a little early still compares.
constexpr int64_t kCompareEveryMs = 900;

int64_t Milliseconds(Env::SteadyTime time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

}  // namespace

ChangeRuns::~ChangeRuns() {
  if (watcher_ && !watches_.empty()) watcher_->SetWake({});
}

void ChangeRuns::Start(FileWatcher* watcher, const std::vector<tagREPORT_INFO>& schedule,
                       const std::function<IniPath(const std::string& report)>& source_of,
                       std::function<void()> wake,
                       const std::function<void(const std::string&, Severity)>& notice) {
  watcher_ = watcher;
  if (!watcher_) return;
  for (size_t i = 0; i < schedule.size(); ++i) {
    const tagREPORT_INFO& entry = schedule[i];
    if (!entry.bOnChange) continue;
    const IniPath source = source_of(entry.strReportName);
    if (!source.usable()) {
      // The run itself names the key and the fix.
      notice(entry.strReportName + ": does not run on change: " + source.refusal, Severity::kWarning);
      continue;
    }
    const bool watched = std::any_of(watches_.begin(), watches_.end(),
                                     [&source](const Watch& w) { return w.wait.source == source.path; });
    const std::string problem = watched ? "" : watcher_->Watch(source.path);
    if (problem.empty()) {
      notice(entry.strReportName + ": runs also when " + source.path + " changes", Severity::kInfo);
    } else {
      notice(entry.strReportName + ": runs also when " + source.path + " changes, seen within a second: " +
                 problem,
             Severity::kWarning);
    }
    watches_.push_back({static_cast<int>(i), QuietRetry{entry.strReportName, source.path, std::nullopt, 0}});
  }
  if (!watches_.empty()) watcher_->SetWake(std::move(wake));
}

void ChangeRuns::TakeChanges(int64_t now_ms) {
  if (watches_.empty()) return;
  const bool compare = !compared_ms_ || now_ms - *compared_ms_ >= kCompareEveryMs;
  if (compare) compared_ms_ = now_ms;
  for (const FileChange& change : watcher_->TakeChanged(compare)) {
    for (Watch& w : watches_) {
      if (w.wait.source != change.path) continue;
      // The wait runs from the last sign of the change, however late it
      // was taken; the stamp found now is what must then still be there.
      w.changed = true;
      w.wait.seen = fs::StampOfPath(w.wait.source);
      w.wait.seen_since_ms = std::max(w.wait.seen_since_ms, Milliseconds(change.last_seen));
    }
  }
}

void ChangeRuns::RunStarts(const std::string& report) {
  for (Watch& w : watches_) {
    if (text::EqualsIgnoreAsciiCase(w.wait.report, report)) w.changed = false;
  }
}

int ChangeRuns::DueEntry(int64_t now_ms) {
  for (Watch& w : watches_) {
    if (w.changed && QuietLongEnough(w.wait, fs::StampOfPath(w.wait.source), now_ms)) return w.entry;
  }
  return -1;
}

std::optional<int64_t> ChangeRuns::QuietWaitMs(int64_t now_ms) const {
  std::optional<int64_t> wait;
  for (const Watch& w : watches_) {
    if (!w.changed) continue;
    const int64_t left = std::max<int64_t>(0, w.wait.seen_since_ms + kQuietMilliseconds - now_ms);
    wait = wait ? std::min(*wait, left) : left;
  }
  return wait;
}

const std::string& ChangeRuns::SourceOfEntry(int index) const {
  static const std::string kNone;
  for (const Watch& w : watches_) {
    if (w.entry == index) return w.wait.source;
  }
  return kNone;
}

}  // namespace tavrin
