#ifndef TAVRIN_PLATFORM_HISTORY_SQLITE_RUN_HISTORY_H_
#define TAVRIN_PLATFORM_HISTORY_SQLITE_RUN_HISTORY_H_

#include <string>
#include <utility>
#include <vector>

#include "platform/history/run_history.h"

namespace tavrin {

// A history in an SQLite file at `path`, created on the first write. Each
// call opens the file, does its work in one transaction and closes it
// again, so that any number of processes may write it at once: the file is
// in WAL mode (readers never wait for a writer) and a writer waits up to
// kBusyMilliseconds for another's transaction before it gives up.
//
// Each job keeps its newest `kept_runs` runs and, beyond them, its newest
// completed run (the last success is never pruned away). A file that is not
// a history or is damaged is renamed aside, "<path>.damaged-<UTC time>"
// (with "-wal" and "-shm" beside it when those exist), never removed, and a
// fresh history is started in its place; Record then says so in its text.
//
// Read opens the file read-only and never creates, repairs or sets aside
// anything: a history that does not exist yet reads as one where no job ran.
class SqliteRunHistory : public RunHistory {
 public:
  static constexpr int kBusyMilliseconds = 5000;

  // `kept_runs`: the runs of each job kept, kKeptRuns but in tests.
  explicit SqliteRunHistory(std::string path, int64_t kept_runs = kKeptRuns)
      : path_(std::move(path)), kept_runs_(kept_runs) {}

  std::string Record(const RunRecord& run) override;
  std::string RecordNextDue(const std::vector<std::pair<std::string, int64_t>>& due) override;
  std::string Read(const std::vector<std::string>& jobs, std::vector<JobState>* out) override;

  const std::string& path() const { return path_; }

 private:
  const std::string path_;
  const int64_t kept_runs_;
};

}  // namespace tavrin

#endif  // TAVRIN_PLATFORM_HISTORY_SQLITE_RUN_HISTORY_H_
