// End-to-end: every run leaves one row in the run history beside the INI,
// whatever its end; a history that cannot be written or is damaged costs one
// warning and never the report; --status reads it for people and monitors,
// and the metrics file is what Prometheus' tools accept.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <vector>

#include "platform/history/sqlite_run_history.h"
#include "tests/harness.h"

namespace tavrin::test {
namespace {

const char kIni[] =
    "[Report Schedule]\nReport Name01=Web\nMinutes Between Reports01=0\nReport Name02=Missing\n"
    "Minutes Between Reports02=0\n"
    "[Web]\nOutput=HTML\nOutputFilename=status.html\n"
    "[Missing]\nOutput=CSV\nOutputFilename=missing.csv\nDataPath=gone.mdb\n"
    "[BadQuery]\nOutput=CSV\nOutputFilename=bad.csv\nWhere=Statsu = 'Closed'\nReportField1=Status\n";

class RunHistoryTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteOrgDatabase(dir_, kThreeOrganizations); }

  JobState State(const std::string& report) {
    std::vector<JobState> states;
    EXPECT_EQ(SqliteRunHistory(dir_ / "TavrinReport.ini.history").Read({report}, &states), "");
    return states.empty() ? JobState{} : states[0];
  }

  static int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  TempDir dir_;
};

TEST_F(RunHistoryTest, EachWayARunEndsLeavesOneRowWithItsOutcome) {
  EXPECT_EQ(RunReport(dir_, kIni, {"Web"}).exit_code, 0);
  EXPECT_EQ(RunReport(dir_, kIni, {"Missing"}).exit_code, 1);
  EXPECT_EQ(RunReport(dir_, kIni, {"BadQuery"}).exit_code, 1);
  EXPECT_EQ(RunReport(dir_, kIni, {"Nowhere"}).exit_code, 2);
  std::map<std::string, std::string> hold = {{"TAVRIN_HOLD_AT_STATUS", "Querying Data"}};
  const RunResult stopped = RunProgram(ReportBinary(), {"--unattended", "Web"}, dir_.path(), "", 60, hold,
                                       SignalOn{"Querying Data", SIGTERM});
  EXPECT_EQ(stopped.exit_code, 143) << stopped.err;

  const JobState web = State("Web");
  ASSERT_TRUE(web.last_run && web.last_success);
  EXPECT_EQ(web.kept, 2);
  EXPECT_EQ(web.last_run->outcome, RunOutcome::kStopped);
  EXPECT_EQ(web.last_success->count, 3);
  EXPECT_EQ(web.last_success->target, dir_ / "status.html");
  EXPECT_EQ(web.last_success->trigger, "command line");
  EXPECT_GT(web.last_success->seconds, 0);
  EXPECT_GE(web.last_success->ended_ms, web.last_success->started_ms);

  const JobState missing = State("Missing");
  ASSERT_TRUE(missing.last_run);
  EXPECT_EQ(missing.kept, 1);
  EXPECT_EQ(missing.last_run->outcome, RunOutcome::kFailed);
  EXPECT_EQ(missing.last_run->count, 0);
  EXPECT_EQ(missing.last_run->failure, "Database open FAILURE!");

  const JobState bad_query = State("BadQuery");
  ASSERT_TRUE(bad_query.last_run);
  EXPECT_EQ(bad_query.kept, 1);
  EXPECT_EQ(bad_query.last_run->outcome, RunOutcome::kFailed);
  EXPECT_FALSE(bad_query.last_run->failure.empty());

  const JobState nowhere = State("Nowhere");
  ASSERT_TRUE(nowhere.last_run);
  EXPECT_EQ(nowhere.kept, 1);
  EXPECT_EQ(nowhere.last_run->outcome, RunOutcome::kRefused);
  EXPECT_EQ(nowhere.last_run->target, "");
}

TEST_F(RunHistoryTest, TheScheduleRecordsItsRunsAsScheduled) {
  WriteFile(dir_ / "TavrinReport.ini", kIni);
  const RunResult r = RunProgram(ReportBinary(), {"--unattended"}, dir_.path());
  EXPECT_EQ(r.exit_code, 1) << r.err;
  ASSERT_TRUE(State("Web").last_run);
  EXPECT_EQ(State("Web").last_run->trigger, "schedule");
  EXPECT_EQ(State("Missing").last_run->outcome, RunOutcome::kFailed);
  // No key of the history or the metrics is written back.
  EXPECT_EQ(ReadFile(dir_ / "TavrinReport.ini").find("Metrics"), std::string::npos);
}

TEST_F(RunHistoryTest, StatusPrintsEachOutcomeAndExitsOneUntilTheFailedReportCompletes) {
  const std::string ini = kIni;
  RunReport(dir_, ini, {"Web"});
  RunReport(dir_, ini, {"Missing"});
  RunResult status = RunProgram(ReportBinary(), {"--status"}, dir_.path());
  EXPECT_EQ(status.exit_code, 1) << status.out;
  EXPECT_NE(status.out.find("completed"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("failed"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("Missing: Database open FAILURE!"), std::string::npos) << status.out;
  EXPECT_EQ(RunProgram(ReportBinary(), {"--status", "Web"}, dir_.path()).exit_code, 0);

  // The source appears: the report completes, and so does the status.
  std::filesystem::copy_file(dir_ / "Vesk.mdb", dir_ / "gone.mdb");
  EXPECT_EQ(RunReport(dir_, ini, {"Missing"}).exit_code, 0);
  const std::string before = ReadFile(dir_ / "TavrinReport.ini");
  status = RunProgram(ReportBinary(), {"--status"}, dir_.path());
  EXPECT_EQ(status.exit_code, 0) << status.out;
  EXPECT_EQ(ReadFile(dir_ / "TavrinReport.ini"), before) << "--status writes nothing back";

  // For scripts: JSON that Python reads, with the figures of each report.
  status = RunProgram(ReportBinary(), {"--status", "--json"}, dir_.path());
  EXPECT_EQ(status.exit_code, 0);
  WriteFile(dir_ / "status.json", status.out);
  const RunResult parsed = RunProgram(
      "/usr/bin/env",
      {"python3", "-c",
       "import json; s = json.load(open('status.json')); r = {x['report']: x for x in s['reports']}; "
       "print(s['ok'], r['Web']['last_run']['organizations'], r['Missing']['last_run']['outcome'], "
       "r['Missing']['runs_total']['failed'])"},
      dir_.path());
  EXPECT_EQ(parsed.exit_code, 0) << parsed.err << status.out;
  EXPECT_EQ(parsed.out, "True 3 completed 1\n") << status.out;

  // A report that never ran is no success either.
  EXPECT_EQ(RunProgram(ReportBinary(), {"--status", "--json", "BadQuery"}, dir_.path()).exit_code, 1);
}

TEST_F(RunHistoryTest, DamagedHistoryIsSetAsideWithOneWarningAndTheReportCompletes) {
  const std::string garbage(4096, 'x');
  WriteFile(dir_ / "TavrinReport.ini.history", garbage);
  const RunResult r = RunReport(dir_, kIni, {"Web"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Count(r.err, "run history"), 1) << r.err;
  EXPECT_TRUE(FileExists(dir_ / "status.html"));
  int aside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    if (entry.path().filename().string().starts_with("TavrinReport.ini.history.damaged-")) {
      ++aside;
      EXPECT_EQ(ReadFile(entry.path()), garbage);
    }
  }
  EXPECT_EQ(aside, 1);
  EXPECT_EQ(State("Web").kept, 1);
}

TEST_F(RunHistoryTest, FolderThatCannotBeWrittenCostsOneWarningAndTheReportCompletes) {
  // A folder of root's that nobody may write, the output in one anybody
  // may, and an INI that needs nothing written back.
  TempDir out;
  ASSERT_EQ(chmod(out.path().c_str(), 0777), 0);
  const std::string ini = "[TavrinReportGenerator]\nOutput-Year-First=No\nMetricsFile=" +
                          (out / "tavrin.prom") + "\n[Web]\nWhere=ALL\nOutput=HTML\nOutputFilename=" +
                          (out / "status.html") + "\n";
  WriteFile(dir_ / "TavrinReport.ini", ini);
  RunResult warm = RunProgram(ReportBinary(), {"--unattended", "Web"}, dir_.path());
  ASSERT_EQ(warm.exit_code, 0) << warm.err;  // fills in the section's defaults
  std::filesystem::remove(dir_ / "TavrinReport.ini.history");
  for (const char* suffix : {"-wal", "-shm"}) std::filesystem::remove(dir_ / ("TavrinReport.ini.history" + std::string(suffix)));
  std::filesystem::remove(out / "status.html");
  const std::string filled = ReadFile(dir_ / "TavrinReport.ini");

  std::vector<std::string> args = {"--unattended", "Web"};
  std::string program = ReportBinary();
  if (geteuid() == 0) {
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", program});
    program = "/usr/bin/setpriv";
    if (RunProgram(program, {args[0], args[1], args[2], args[3], "--version"}, dir_.path()).exit_code != 0)
      GTEST_SKIP() << "the program cannot be run as nobody from " << ReportBinary();
  } else {
    ASSERT_EQ(chmod(dir_.path().c_str(), 0555), 0);
  }
  const RunResult r = RunProgram(program, args, dir_.path());
  chmod(dir_.path().c_str(), 0700);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Count(r.err, "run history"), 1) << r.err;
  EXPECT_TRUE(FileExists(out / "status.html"));
  EXPECT_FALSE(FileExists(dir_ / "TavrinReport.ini.history"));
  EXPECT_EQ(ReadFile(dir_ / "TavrinReport.ini"), filled);
  // The metrics still tell of the run, from the process's own record.
  EXPECT_NE(ReadFile(out / "tavrin.prom").find("tavrin_report_last_run_organizations{report=\"Web\"} 3"),
            std::string::npos);
}

TEST_F(RunHistoryTest, MetricsFilePassesPromtool) {
  const std::string ini = std::string(kIni) + "[TavrinReportGenerator]\nMetricsFile=textfile/tavrin.prom\n";
  std::filesystem::create_directory(dir_ / "textfile");
  RunReport(dir_, ini, {"Web"});
  RunReport(dir_, ini, {"Missing"});
  const std::string metrics = ReadFile(dir_ / "textfile/tavrin.prom");
  EXPECT_NE(metrics.find("tavrin_report_last_run_outcome{report=\"Missing\",outcome=\"failed\"} 1\n"),
            std::string::npos) << metrics;
  EXPECT_NE(metrics.find("tavrin_report_runs_total{report=\"Web\",outcome=\"completed\"} 1\n"), std::string::npos);
  // Only the metrics file is left in the collector's folder.
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_ / "textfile")) ++files;
  EXPECT_EQ(files, 1);
  if (access("/usr/bin/promtool", X_OK) != 0)
    GTEST_SKIP() << "promtool is not installed (Debian package prometheus): the format is not checked";
  const RunResult check = RunProgram("/usr/bin/sh", {"-c", "promtool check metrics < textfile/tavrin.prom"}, dir_.path());
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err << metrics;
  EXPECT_EQ(check.out + check.err, "") << "no lint finding";
}

}  // namespace
}  // namespace tavrin::test
