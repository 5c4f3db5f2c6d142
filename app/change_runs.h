#ifndef TAVRIN_APP_CHANGE_RUNS_H_
#define TAVRIN_APP_CHANGE_RUNS_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/schedule.h"
#include "config/windows_path.h"
#include "platform/watch/file_watcher.h"
#include "run/run_host.h"

namespace tavrin {

// The schedule entries that also run when their source file changes
// ("Report On ChangeNN"): an entry is due once a change of its source has
// been followed by kQuietMilliseconds without another (a writer saves in
// bursts), the same quiet wait as QuietRetry's. A run of the report,
// whatever started it, takes in the changes seen before it; one seen while
// it runs makes one more run after it.
//
// Times are milliseconds of the Env's steady clock. The window's thread
// only, except the wake function, which the watcher calls on its own.
class ChangeRuns {
 public:
  ChangeRuns() = default;
  // Stops the wakes.
  ~ChangeRuns();
  ChangeRuns(const ChangeRuns&) = delete;
  ChangeRuns& operator=(const ChangeRuns&) = delete;

  // Watches, through `watcher` (null: nothing is watched; else it must
  // outlive the object), the source of each entry of `schedule` that asks
  // for it, as `source_of` resolves its report's; `wake` is called, on the
  // watcher's thread, when a source shows a change. Tells the log, through
  // `notice`, what is watched, and what is not and why.
  void Start(FileWatcher* watcher, const std::vector<tagREPORT_INFO>& schedule,
             const std::function<IniPath(const std::string& report)>& source_of, std::function<void()> wake,
             const std::function<void(const std::string&, Severity)>& notice);

  // Whether an entry is watched: the schedule never ends then.
  bool watching() const { return !watches_.empty(); }

  // Takes the changes that the watcher saw, at `now_ms`, with a comparison
  // of stamps once a second. A change starts the quiet wait of its entries
  // again, from when it was seen.
  void TakeChanges(int64_t now_ms);

  // The run of `report` starts now: the changes taken so far are in it.
  void RunStarts(const std::string& report);

  // The index in the schedule of the first entry whose source has been quiet
  // long enough since its change, or -1. It stays due until RunStarts.
  int DueEntry(int64_t now_ms);

  // How long until an entry that waits for quiet could be due; nullopt
  // when none waits.
  std::optional<int64_t> QuietWaitMs(int64_t now_ms) const;

  // The source file of the entry `index`, for the log.
  const std::string& SourceOfEntry(int index) const;

 private:
  struct Watch {
    int entry;          // index in the schedule
    QuietRetry wait;    // report, source, and the quiet wait since the last change
    bool changed = false;  // a change that no run has taken in yet
  };

  FileWatcher* watcher_ = nullptr;
  std::vector<Watch> watches_;
  std::optional<int64_t> compared_ms_;  // the last comparison of stamps
};

}  // namespace tavrin

#endif  // TAVRIN_APP_CHANGE_RUNS_H_
