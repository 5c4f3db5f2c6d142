#include "app/run_ledger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "app/run_metrics.h"
#include "app/run_status.h"
#include "platform/env/fake_env.h"
#include "platform/fs/fs_test_support.h"
#include "platform/history/memory_run_history.h"
#include "platform/profile/fake_profile.h"

namespace tavrin {
namespace {

using test::ScratchDir;

class RunLedgerTest : public ::testing::Test {
 protected:
  RunLedgerTest() : env_(1765267200, dir_.path()), ini_(&store_), def_(ini_, env_) {
    def_.m_strWorkDir = dir_.path();
    def_.m_strIniFile = CReportDefinition::IniFileIn(dir_.path());
    def_.m_strReportName = "Web";
    def_.m_strOutput = "HTML";
    def_.m_strOutputFilename = "status.html";
  }

  void UseMetricsFile(const std::string& path) {
    store_.Set("TavrinReportGenerator", "MetricsFile", path, def_.m_strIniFile);
  }

  void End(const CTavrinReportGeneratorDlg::RunEnd& end, bool refused = false) {
    const int64_t started = env_.NowMilliseconds();
    env_.AdvanceMs(120);
    ledger_.RunEnded(def_, end, refused, "schedule", started);
  }

  static CTavrinReportGeneratorDlg::RunEnd Completed(int32_t written) {
    CTavrinReportGeneratorDlg::RunEnd end;
    end.written = written;
    end.destination = "written to status.html";
    end.seconds = 0.12;
    return end;
  }

  ScratchDir dir_;
  FakeEnv env_;
  FakeProfileStore store_;
  CIni2 ini_;
  CReportDefinition def_;
  MemoryRunHistory history_;
  std::vector<std::pair<std::string, Severity>> notices_;
  RunLedger ledger_{env_, *FileSystem::Default(), history_,
                    [this](const std::string& text, Severity severity) { notices_.emplace_back(text, severity); }};
};

TEST_F(RunLedgerTest, OutcomeAndOutputOfEachWayARunEnds) {
  CTavrinReportGeneratorDlg::RunEnd end = Completed(183);
  RunRecord run = RunLedger::RecordOf(def_, end, false);
  EXPECT_EQ(run.outcome, RunOutcome::kCompleted);
  EXPECT_EQ(run.count, 183);
  EXPECT_EQ(run.target, dir_ / "status.html");
  EXPECT_EQ(run.failure, "");

  end.stopped = true;
  EXPECT_EQ(RunLedger::RecordOf(def_, end, false).outcome, RunOutcome::kStopped);
  end.failed = true;
  end.failure = "Database open FAILURE!";
  run = RunLedger::RecordOf(def_, end, false);
  EXPECT_EQ(run.outcome, RunOutcome::kFailed) << "a failure before the stop is what the run did";
  EXPECT_EQ(run.failure, "Database open FAILURE!");
  run = RunLedger::RecordOf(def_, end, true);
  EXPECT_EQ(run.outcome, RunOutcome::kRefused);
  EXPECT_EQ(run.target, "");

  def_.m_strOutput = "sqlserver";
  def_.m_strDestinationDBConnectString = "Provider=SQLOLEDB;Data Source=db;Initial Catalog=News;Password=secret";
  EXPECT_EQ(RunLedger::RecordOf(def_, Completed(1), false).target,
            "Provider=SQLOLEDB;Data Source=db;Initial Catalog=News;Password=***");
  def_.m_strOutput = "Printer";
  CTavrinReportGeneratorDlg::RunEnd printed = Completed(1);
  printed.destination = "printed on Office";
  EXPECT_EQ(RunLedger::RecordOf(def_, printed, false).target, "Office");
  printed.destination = "not printed (no printer was chosen)";
  EXPECT_EQ(RunLedger::RecordOf(def_, printed, false).target, "");
}

TEST_F(RunLedgerTest, RecordsEachRunAndWarnsOnceWhenTheHistoryCannotBeWritten) {
  End(Completed(3));
  std::vector<JobState> states;
  history_.Read({"Web"}, &states);
  ASSERT_TRUE(states[0].last_run);
  EXPECT_EQ(states[0].last_run->trigger, "schedule");
  EXPECT_EQ(states[0].last_run->ended_ms - states[0].last_run->started_ms, 120);
  EXPECT_TRUE(notices_.empty());

  history_.FailWritesWith("The run history cannot be written: disk full");
  End(Completed(3));
  End(Completed(3));
  ledger_.Waiting({{"Web", 5, env_.NowSeconds()}});
  ASSERT_EQ(notices_.size(), 2u);
  EXPECT_EQ(notices_[0], std::make_pair(std::string("The run history cannot be written: disk full"), Severity::kWarning));
  EXPECT_EQ(notices_[1].second, Severity::kInfo) << "the next report, not the history again";
}

TEST_F(RunLedgerTest, TellsOnceAWaitWhichReportIsDueNextAndRecordsEachDueTime) {
  const int64_t now = env_.NowSeconds();
  const std::vector<tagREPORT_INFO> schedule = {
      {"Daily", 60, now + 3000}, {"Web", 1, now + 59}, {"Once", 0, now + 86313600}, {"Web", 5, now + 200}};
  ledger_.Waiting(schedule);
  EXPECT_TRUE(notices_.empty()) << "before the first run every entry is due";
  End(Completed(1));
  ledger_.Waiting(schedule);
  ledger_.Waiting(schedule);
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_EQ(notices_[0].first, "Next report due: Web at " + LocalTimeText(now + 60));
  std::vector<JobState> states;
  history_.Read({}, &states);
  ASSERT_EQ(states.size(), 2u) << "a one-shot entry is never due again";
  EXPECT_EQ(states[0].job, "Daily");
  EXPECT_EQ(states[0].next_due, now + 3001);
  EXPECT_EQ(states[1].next_due, now + 60) << "the earlier of its two entries";
  EXPECT_EQ(states[1].kept, 1);

  End(Completed(1));
  ledger_.Waiting(schedule);
  EXPECT_EQ(notices_.size(), 2u) << "told again after a run";
}

TEST_F(RunLedgerTest, MetricsFileHoldsEveryReportAndIsRewrittenAfterEachRunAndWait) {
  UseMetricsFile(dir_ / "tavrin.prom");
  End(Completed(183));
  def_.m_strReportName = "Daily";
  CTavrinReportGeneratorDlg::RunEnd failed;
  failed.failed = true;
  End(failed);
  std::string metrics = test::ReadWholeFile(dir_ / "tavrin.prom");
  EXPECT_NE(metrics.find("tavrin_report_last_run_organizations{report=\"Web\"} 183\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("tavrin_report_last_run_outcome{report=\"Daily\",outcome=\"failed\"} 1\n"), std::string::npos);
  EXPECT_NE(metrics.find("tavrin_report_last_success_timestamp_seconds{report=\"Web\"} 1765267200.120\n"),
            std::string::npos);
  EXPECT_EQ(metrics.find("tavrin_report_last_success_timestamp_seconds{report=\"Daily\"}"), std::string::npos)
      << "no sample for a success that never was";
  EXPECT_NE(metrics.find("# TYPE tavrin_report_runs_total counter\n"), std::string::npos);

  ledger_.Waiting({{"Web", 1, env_.NowSeconds() + 59}});
  metrics = test::ReadWholeFile(dir_ / "tavrin.prom");
  EXPECT_NE(metrics.find("tavrin_report_next_due_timestamp_seconds{report=\"Web\"} " +
                         std::to_string(env_.NowSeconds() + 60) + "\n"),
            std::string::npos)
      << metrics;
}

TEST_F(RunLedgerTest, MetricsFileThatCannotBeWrittenWarnsOnce) {
  UseMetricsFile(dir_ / "missing/tavrin.prom");
  End(Completed(1));
  End(Completed(1));
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_EQ(notices_[0].second, Severity::kWarning);
  EXPECT_NE(notices_[0].first.find("MetricsFile: cannot write " + (dir_ / "missing/tavrin.prom")), std::string::npos)
      << notices_[0].first;
  std::vector<JobState> states;
  history_.Read({"Web"}, &states);
  EXPECT_EQ(states[0].kept, 2) << "the runs are recorded all the same";
}

TEST(RunMetricsTest, LabelValuesAreEscapedAndPromtoolTakesTheText) {
  JobState odd;
  odd.job = "Web \"A\\B\"\nC\xE9";
  RunRecord stopped;
  stopped.job = odd.job;
  stopped.ended_ms = 1500;
  stopped.seconds = 0.5;
  stopped.outcome = RunOutcome::kStopped;
  stopped.count = 7;
  odd.last_run = stopped;
  odd.totals[RunOutcome::kStopped] = 1;
  JobState due_only;
  due_only.job = "Daily";
  due_only.next_due = 99;
  const std::string text = MetricsText({odd, due_only});
  EXPECT_NE(text.find("tavrin_report_last_run_organizations{report=\"Web \\\"A\\\\B\\\"\\nC\xEF\xBF\xBD\"} 7\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("tavrin_report_next_due_timestamp_seconds{report=\"Daily\"} 99\n"), std::string::npos);
  EXPECT_EQ(text.find("report=\"Daily\",outcome"), std::string::npos) << "no outcome for a report that never ran";
  EXPECT_EQ(MetricsText({}), "");

  if (std::system("command -v promtool >/dev/null") != 0)
    GTEST_SKIP() << "promtool is not installed (Debian package prometheus): the format is not checked";
  ScratchDir dir;
  test::WriteWholeFile(dir / "m.prom", text);
  EXPECT_EQ(std::system(("promtool check metrics < " + (dir / "m.prom") + " >/dev/null 2>&1").c_str()), 0)
      << text;
}

TEST(RunMetricsTest, AReaderPollingDuringAHundredRunsNeverSeesAPart) {
  ScratchDir dir;
  const std::string path = dir / "tavrin.prom";
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::atomic<int> parts{0};
  std::thread reader([&] {
    while (!done) {
      const std::string seen = test::ReadWholeFile(path);
      if (seen.empty()) continue;  // not there yet
      ++reads;
      if (!seen.starts_with("# HELP ") || !seen.ends_with("outcome=\"refused\"} 0\n")) ++parts;
    }
  });
  JobState web;
  web.job = "Web";
  for (int i = 0; i < 100; ++i) {
    // Texts of different lengths, so that a part would show.
    RunRecord run;
    run.job = "Web";
    run.ended_ms = i * 1000;
    run.count = int64_t{1} << (i % 60);
    web.last_run = run;
    ++web.totals[RunOutcome::kCompleted];
    ASSERT_EQ(WriteMetricsFile(*FileSystem::Default(), path, MetricsText({web})), "");
  }
  done = true;
  reader.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(parts, 0);
  int left = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++left;
  EXPECT_EQ(left, 1) << "no temporary file left behind";
}

class RunStatusTest : public ::testing::Test {
 protected:
  RunStatusTest() : env_(1765267200, "/w") {
    store_.Set("Report Schedule", "Report Name01", "Web", kIni);
    store_.Set("Report Schedule", "Report Name02", "Daily", kIni);
  }
  void Record(const std::string& job, RunOutcome outcome, int64_t ended_s) {
    RunRecord run;
    run.job = job;
    run.outcome = outcome;
    run.started_ms = ended_s * 1000 - 500;
    run.ended_ms = ended_s * 1000;
    run.count = outcome == RunOutcome::kCompleted ? 183 : 0;
    if (outcome == RunOutcome::kFailed) run.failure = "Database open FAILURE!";
    history_.Record(run);
  }
  static constexpr char kIni[] = "/w/TavrinReport.ini";
  FakeEnv env_;
  FakeProfileStore store_;
  MemoryRunHistory history_;
};

TEST_F(RunStatusTest, ExitsOneWhileALastRunOfTheScheduleDidNotComplete) {
  StatusResult r = ShowRunStatus(env_, store_, history_, "", false);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.text.find("never ran"), std::string::npos) << r.text;

  const int64_t now = env_.NowSeconds();
  Record("Web", RunOutcome::kCompleted, now - 150);
  Record("Daily", RunOutcome::kFailed, now - 10);
  history_.RecordNextDue({{"Web", now + 30}});
  r = ShowRunStatus(env_, store_, history_, "", false);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.text.find("completed"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find(LocalTimeText(now - 150) + " (2 min ago)"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find(LocalTimeText(now + 30)), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("\nDaily: Database open FAILURE!\n"), std::string::npos) << r.text;
  EXPECT_EQ(ShowRunStatus(env_, store_, history_, "Web", false).status, 0);
  env_.Advance(100);
  EXPECT_NE(ShowRunStatus(env_, store_, history_, "Web", false).text.find(LocalTimeText(now + 30) + " (overdue)"),
            std::string::npos);
  env_.Advance(-100);

  Record("Daily", RunOutcome::kStopped, now - 5);
  EXPECT_EQ(ShowRunStatus(env_, store_, history_, "", false).status, 1) << "a stop is no success";
  Record("Daily", RunOutcome::kCompleted, now - 1);
  r = ShowRunStatus(env_, store_, history_, "", true);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.text.starts_with("{\"ok\": true, \"reports\": [\n  {\"report\": \"Web\", ")) << r.text;
  EXPECT_NE(r.text.find("\"last_success_age_seconds\": 150"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find("\"runs_total\": {\"completed\": 1, \"failed\": 1, \"stopped\": 1}"), std::string::npos);
  EXPECT_EQ(store_.writes(), 0) << "nothing written back";
}

TEST_F(RunStatusTest, AHistoryThatCannotBeReadIsNoSuccess) {
  class Unreadable : public MemoryRunHistory {
   public:
    std::string Read(const std::vector<std::string>&, std::vector<JobState>*) override { return "damaged"; }
  } unreadable;
  StatusResult r = ShowRunStatus(env_, store_, unreadable, "Web", true);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.text, "{\"ok\": false, \"error\": \"damaged\", \"reports\": []}\n");
}

}  // namespace
}  // namespace tavrin
