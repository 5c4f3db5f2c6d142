#ifndef TAVRIN_PLATFORM_HISTORY_MEMORY_RUN_HISTORY_H_
#define TAVRIN_PLATFORM_HISTORY_MEMORY_RUN_HISTORY_H_

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/history/run_history.h"

namespace tavrin {

// A history held in memory for the life of the object: the test double of
// SqliteRunHistory, and what a process keeps when its file cannot be used.
// `fail_with`, when not empty, is returned by every write, which then
// records nothing (a history that cannot be written). Thread-safe.
class MemoryRunHistory : public RunHistory {
 public:
  std::string Record(const RunRecord& run) override;
  std::string RecordNextDue(const std::vector<std::pair<std::string, int64_t>>& due) override;
  std::string Read(const std::vector<std::string>& jobs, std::vector<JobState>* out) override;

  void FailWritesWith(std::string reason);

 private:
  struct Job {
    std::deque<RunRecord> runs;  // oldest first
    std::optional<RunRecord> last_success;
    std::optional<int64_t> next_due;
    std::map<RunOutcome, int64_t> totals;
  };
  JobState StateOf(const std::string& name) const;

  mutable std::mutex mu_;
  std::map<std::string, Job> jobs_;
  std::string fail_with_;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_HISTORY_MEMORY_RUN_HISTORY_H_
