#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <cstdio>
#include "platform/fs/fs_test_support.h"
#include "platform/history/memory_run_history.h"
#include "platform/history/sqlite_run_history.h"

namespace tavrin {
namespace {

using test::ScratchDir;

RunRecord MakeRun(const std::string& job, RunOutcome outcome, int64_t count, int64_t ended_ms = 1000) {
  RunRecord run;
  run.job = job;
  run.trigger = "schedule";
  run.started_ms = ended_ms - 120;
  run.ended_ms = ended_ms;
  run.seconds = 0.12;
  run.outcome = outcome;
  run.count = count;
  run.target = "/srv/www/status.html";
  if (outcome == RunOutcome::kFailed) run.failure = "Database open FAILURE!";
  return run;
}

// Each implementation, behind the interface.
class HistoryTest : public ::testing::TestWithParam<bool> {
 protected:
  HistoryTest() {
    if (GetParam()) {
      history_ = std::make_unique<SqliteRunHistory>(dir_ / "TavrinReport.ini.history");
    } else {
      history_ = std::make_unique<MemoryRunHistory>();
    }
  }
  std::vector<JobState> ReadAll(const std::vector<std::string>& jobs = {}) {
    std::vector<JobState> states;
    EXPECT_EQ(history_->Read(jobs, &states), "");
    return states;
  }

  ScratchDir dir_;
  std::unique_ptr<RunHistory> history_;
};

TEST_P(HistoryTest, KeepsLastRunLastSuccessTotalsAndNextDuePerJob) {
  EXPECT_TRUE(ReadAll({"Web"})[0].job == "Web" && !ReadAll({"Web"})[0].last_run) << "never ran";
  EXPECT_EQ(history_->Record(MakeRun("Web", RunOutcome::kCompleted, 183, 1000)), "");
  EXPECT_EQ(history_->Record(MakeRun("Web", RunOutcome::kFailed, 0, 2000)), "");
  EXPECT_EQ(history_->Record(MakeRun("Daily", RunOutcome::kStopped, 7, 3000)), "");
  EXPECT_EQ(history_->RecordNextDue({{"Web", 5000}, {"Print", 6000}}), "");

  const std::vector<JobState> all = ReadAll();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].job, "Daily");
  EXPECT_EQ(all[1].job, "Print");
  EXPECT_FALSE(all[1].last_run);
  EXPECT_EQ(all[1].next_due, 6000);
  const JobState& web = all[2];
  ASSERT_TRUE(web.last_run && web.last_success);
  EXPECT_EQ(web.last_run->outcome, RunOutcome::kFailed);
  EXPECT_EQ(web.last_run->failure, "Database open FAILURE!");
  EXPECT_EQ(web.last_run->ended_ms, 2000);
  EXPECT_EQ(web.last_success->count, 183);
  EXPECT_EQ(web.last_success->target, "/srv/www/status.html");
  EXPECT_EQ(web.last_success->trigger, "schedule");
  EXPECT_DOUBLE_EQ(web.last_success->seconds, 0.12);
  EXPECT_EQ(web.next_due, 5000);
  EXPECT_EQ(web.kept, 2);
  EXPECT_EQ(web.totals, (std::map<RunOutcome, int64_t>{{RunOutcome::kCompleted, 1}, {RunOutcome::kFailed, 1}}));

  const std::vector<JobState> named = ReadAll({"Web", "Nobody"});
  ASSERT_EQ(named.size(), 2u);
  EXPECT_EQ(named[0].job, "Web");
  EXPECT_EQ(named[1].job, "Nobody");
  EXPECT_FALSE(named[1].last_run);
}

INSTANTIATE_TEST_SUITE_P(Implementations, HistoryTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param_info) { return param_info.param ? "Sqlite" : "Memory"; });

TEST(SqliteRunHistoryTest, KeepsTheNewestRunsAndTheLastSuccessBeyondThem) {
  ScratchDir dir;
  constexpr int64_t kKept = 10;
  SqliteRunHistory history(dir / "h", kKept);
  ASSERT_EQ(history.Record(MakeRun("Web", RunOutcome::kCompleted, 5, 1)), "");
  for (int i = 0; i < kKept + 4; ++i)
    ASSERT_EQ(history.Record(MakeRun("Web", RunOutcome::kFailed, 0, 10 + i)), "");
  ASSERT_EQ(history.Record(MakeRun("Other", RunOutcome::kFailed, 0)), "");
  std::vector<JobState> states;
  ASSERT_EQ(history.Read({"Web"}, &states), "");
  EXPECT_EQ(states[0].kept, kKept + 1);
  ASSERT_TRUE(states[0].last_success);
  EXPECT_EQ(states[0].last_success->ended_ms, 1);
  EXPECT_EQ(states[0].totals[RunOutcome::kFailed], kKept + 4) << "totals are never pruned";
  ASSERT_EQ(history.Read({"Other"}, &states), "");
  EXPECT_EQ(states[0].kept, 1) << "each job keeps its own";
}

TEST(SqliteRunHistoryTest, ReadCreatesNothing) {
  ScratchDir dir;
  SqliteRunHistory history(dir / "h");
  std::vector<JobState> states;
  EXPECT_EQ(history.Read({"Web"}, &states), "");
  ASSERT_EQ(states.size(), 1u);
  EXPECT_FALSE(states[0].last_run);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(SqliteRunHistoryTest, DamagedFileIsKeptAsideAndAFreshOneRecords) {
  ScratchDir dir;
  const std::string path = dir / "TavrinReport.ini.history";
  const std::string garbage(8192, 'x');
  test::WriteWholeFile(path, garbage);
  SqliteRunHistory history(path);
  const std::string said = history.Record(MakeRun("Web", RunOutcome::kCompleted, 3));
  EXPECT_NE(said.find("was damaged"), std::string::npos) << said;
  std::vector<std::string> aside;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().filename().string().starts_with("TavrinReport.ini.history.damaged-"))
      aside.push_back(entry.path());
  }
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_NE(said.find(aside[0]), std::string::npos) << said;
  EXPECT_EQ(test::ReadWholeFile(aside[0]), garbage);
  std::vector<JobState> states;
  ASSERT_EQ(history.Read({"Web"}, &states), "");
  ASSERT_TRUE(states[0].last_run);
  EXPECT_EQ(states[0].last_run->count, 3);
  EXPECT_EQ(history.Record(MakeRun("Web", RunOutcome::kCompleted, 4)), "") << "said once";

  // A damaged file is reported by Read and left where it is.
  const std::string other = dir / "other.history";
  test::WriteWholeFile(other, garbage);
  EXPECT_NE(SqliteRunHistory(other).Read({"Web"}, &states), "");
  EXPECT_EQ(test::ReadWholeFile(other), garbage);
}

TEST(SqliteRunHistoryTest, UnwritablePlaceSaysWhyAndRecordsNothing) {
  ScratchDir dir;
  test::WriteWholeFile(dir / "file", "");
  SqliteRunHistory history(dir / "file/h");  // a folder that is a file, even for root
  const std::string said = history.Record(MakeRun("Web", RunOutcome::kCompleted, 3));
  EXPECT_NE(said.find("cannot be written"), std::string::npos) << said;
  EXPECT_NE(history.RecordNextDue({{"Web", 1}}), "");
}

TEST(SqliteRunHistoryTest, TwentyProcessesWritingAtOnceLoseNoRun) {
  ScratchDir dir;
  const std::string path = dir / "TavrinReport.ini.history";
  constexpr int kProcesses = 20;
  constexpr int kRuns = 5;
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      close(gate[1]);
      char byte;
      // All start when the gate closes, on a history none has created yet.
      [[maybe_unused]] ssize_t n = read(gate[0], &byte, 1);
      SqliteRunHistory history(path);
      int failures = 0;
      for (int i = 0; i < kRuns; ++i) {
        for (const std::string& why :
             {history.Record(MakeRun("Job" + std::to_string(p % 4), RunOutcome::kCompleted, i)),
              history.RecordNextDue({{"Job" + std::to_string(p % 4), i}})}) {
          if (why.empty()) continue;
          std::fprintf(stderr, "writer %d: %s\n", p, why.c_str());
          ++failures;
        }
      }
      _exit(failures);
    }
    children.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed: " << status;
  }
  SqliteRunHistory history(path);
  std::vector<JobState> states;
  ASSERT_EQ(history.Read({}, &states), "");
  ASSERT_EQ(states.size(), 4u);
  for (const JobState& state : states) {
    EXPECT_EQ(state.kept, kProcesses / 4 * kRuns) << state.job;
    EXPECT_EQ(state.totals.at(RunOutcome::kCompleted), kProcesses / 4 * kRuns) << state.job;
  }
}

TEST(RunOutcomeTest, NamesGoBothWays) {
  for (RunOutcome outcome : {RunOutcome::kCompleted, RunOutcome::kFailed, RunOutcome::kStopped, RunOutcome::kRefused})
    EXPECT_EQ(OutcomeNamed(OutcomeName(outcome)), outcome);
  EXPECT_EQ(OutcomeNamed("fine"), std::nullopt);
}

}  // namespace
}  // namespace tavrin
