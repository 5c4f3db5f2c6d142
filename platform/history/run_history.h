#ifndef TAVRIN_PLATFORM_HISTORY_RUN_HISTORY_H_
#define TAVRIN_PLATFORM_HISTORY_RUN_HISTORY_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrin {

// How a run of a job ended.
enum class RunOutcome {
  kCompleted,  // it did what it was to do
  kFailed,     // a step failed
  kStopped,    // a stop request ended it
  kRefused,    // it never started: the job was not runnable
};

// "completed", "failed", "stopped", "refused".
std::string_view OutcomeName(RunOutcome outcome);
// The outcome of that name, or nullopt.
std::optional<RunOutcome> OutcomeNamed(std::string_view name);

// One finished run of a named job.
struct RunRecord {
  std::string job;
  std::string trigger;     // how the run was started, in words
  int64_t started_ms = 0;  // wall clock, milliseconds since 1970 (UTC)
  int64_t ended_ms = 0;
  double seconds = 0;      // its duration, by a clock that never goes back
  RunOutcome outcome = RunOutcome::kCompleted;
  int64_t count = 0;       // items written
  std::string target;      // where it wrote them; no secret in it
  std::string failure;     // the text of its first failure; empty when none
};

// What a history knows of one job.
struct JobState {
  std::string job;
  std::optional<RunRecord> last_run;
  std::optional<RunRecord> last_success;  // the newest completed run
  std::optional<int64_t> next_due;        // seconds since 1970, as a scheduler last recorded it
  std::map<RunOutcome, int64_t> totals;   // runs of each outcome ever recorded, never pruned
  int64_t kept = 0;                       // runs kept (the newest kKeptRuns)
};

// The runs of named jobs, kept across processes. SqliteRunHistory keeps them
// in a file that many processes may write at once; MemoryRunHistory keeps
// them in memory (for tests, and for a process whose file cannot be used).
//
// Writing never throws and never blocks longer than a few seconds: a
// history that cannot be written says why and the caller goes on without
// it. Implementations are thread-safe.
class RunHistory {
 public:
  // The runs of each job kept; older ones are dropped as new ones come.
  static constexpr int64_t kKeptRuns = 1000;

  virtual ~RunHistory() = default;

  // Adds `run`. Returns an empty text when it was recorded as asked, or one
  // line for the log: why it could not be, or what was done to record it
  // (a damaged history set aside).
  virtual std::string Record(const RunRecord& run) = 0;

  // Records when each named job is next due, seconds since 1970. Returns as
  // Record does.
  virtual std::string RecordNextDue(const std::vector<std::pair<std::string, int64_t>>& due) = 0;

  // The state of each job of `jobs`, in that order (a job that never ran has
  // only its name), or of every job recorded, by name, when `jobs` is empty.
  // Reads only. Returns an empty text, or why the history cannot be read.
  virtual std::string Read(const std::vector<std::string>& jobs, std::vector<JobState>* out) = 0;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_HISTORY_RUN_HISTORY_H_
