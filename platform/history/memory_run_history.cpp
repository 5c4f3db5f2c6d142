#include "platform/history/memory_run_history.h"

namespace tavrin {

std::string MemoryRunHistory::Record(const RunRecord& run) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!fail_with_.empty()) return fail_with_;
  Job& job = jobs_[run.job];
  job.runs.push_back(run);
  if (static_cast<int64_t>(job.runs.size()) > kKeptRuns) job.runs.pop_front();
  if (run.outcome == RunOutcome::kCompleted) job.last_success = run;
  ++job.totals[run.outcome];
  return "";
}

std::string MemoryRunHistory::RecordNextDue(const std::vector<std::pair<std::string, int64_t>>& due) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!fail_with_.empty()) return fail_with_;
  for (const auto& [name, when] : due) jobs_[name].next_due = when;
  return "";
}

JobState MemoryRunHistory::StateOf(const std::string& name) const {
  JobState state;
  state.job = name;
  const auto it = jobs_.find(name);
  if (it == jobs_.end()) return state;
  const Job& job = it->second;
  if (!job.runs.empty()) state.last_run = job.runs.back();
  state.last_success = job.last_success;
  state.next_due = job.next_due;
  state.totals = job.totals;
  state.kept = static_cast<int64_t>(job.runs.size());
  return state;
}

std::string MemoryRunHistory::Read(const std::vector<std::string>& jobs, std::vector<JobState>* out) {
  std::lock_guard<std::mutex> lock(mu_);
  out->clear();
  if (jobs.empty()) {
    for (const auto& entry : jobs_) out->push_back(StateOf(entry.first));
  } else {
    for (const std::string& name : jobs) out->push_back(StateOf(name));
  }
  return "";
}

void MemoryRunHistory::FailWritesWith(std::string reason) {
  std::lock_guard<std::mutex> lock(mu_);
  fail_with_ = std::move(reason);
}

}  // namespace tavrin
