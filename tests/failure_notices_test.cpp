// End-to-end: every failure of a run is followed in the log by one error
// line that names the report's section, the INI key, its value and the
// reason; a feed whose header or trailer is missing is not replaced; each
// run ends with a line that sums it up.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

class FailureNoticesTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteOrgDatabase(dir_, kThreeOrganizations); }

  // Runs with `ini` and `args`, its error stream taken for the journal.
  RunResult Journal(const std::string& ini, std::vector<std::string> args) {
    WriteFile(dir_ / "TavrinReport.ini", ini);
    args.insert(args.begin(), "--unattended");
    return RunProgram(ReportBinary(), args, dir_.path(), "", 60, {}, std::nullopt,
                      ErrorStream::kJournalSocket);
  }

  // The lines of `err` at journal priority `prefix` ("<3>") that hold `text`.
  static int Count(const RunResult& r, const std::string& prefix, const std::string& text) {
    int n = 0;
    for (size_t start = 0; start < r.err.size();) {
      size_t end = r.err.find('\n', start);
      if (end == std::string::npos) end = r.err.size();
      const std::string line = r.err.substr(start, end - start);
      if (line.rfind(prefix, 0) == 0 && line.find(text) != std::string::npos) ++n;
      start = end + 1;
    }
    return n;
  }

  TempDir dir_;
};

TEST_F(FailureNoticesTest, PageThatCannotBeCreatedIsLoggedAsAnErrorWithKeyAndReason) {
  const RunResult r = Journal("[Web]\nOutput=HTML\nOutputFilename=www/status.html\n", {"Web"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(r.out, "Can't open output file: www/status.html");  // as ever
  const std::string notice =
      "[Web] OutputFilename = \"www/status.html\": cannot be created: No such file or directory "
      "(folder www does not exist)";
  EXPECT_EQ(Count(r, "<3>", notice), 2) << r.err;  // the notice, and the summary naming it
  EXPECT_EQ(Count(r, "<3>", "Web: failed: " + notice), 1) << r.err;
}

TEST_F(FailureNoticesTest, DelimitedFileThatCannotBeCreatedKeepsItsBox) {
  const RunResult r = Journal("[List]\nOutput=CSV\nOutputFilename=out/list.csv\nReportField1=Status\n", {"List"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Count(r, "<3>", "[tavrin-report] Could not open out/list.csv for output - report canceled"), 1)
      << r.err;
  EXPECT_EQ(Count(r, "<3>", "[List] OutputFilename = \"out/list.csv\": cannot be created: No such file"), 1)
      << r.err;
  EXPECT_EQ(Count(r, "<3>", "List: failed: Could not open out/list.csv for output - report canceled"), 1)
      << r.err;
}

TEST_F(FailureNoticesTest, MissingHeaderKeepsThePreviousFeedByteForByte) {
  const std::string good = "<?xml version=\"1.0\"?>\r\n<feed>\r\n  <org/>\r\n</feed>\r\n";
  WriteFile(dir_ / "feed.xml", good);
  WriteFile(dir_ / "trailer.xml", "</feed>\n");
  const RunResult r = Journal(
      "[Feed]\nOutput=XML\nOutputFilename=feed.xml\nHeaderFile=heade.xml\nTrailerFile=trailer.xml\n"
      "ReportField1=Status\n",
      {"Feed"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "feed.xml"), good);
  EXPECT_EQ(Count(r, "<3>", "[tavrin-report] Could not open heade.xml for reading"), 1) << r.err;
  EXPECT_EQ(Count(r, "<3>",
                  "[Feed] HeaderFile = \"heade.xml\": cannot be read: No such file or directory; feed.xml "
                  "is kept as it was"),
            1)
      << r.err;
  EXPECT_EQ(Count(r, "<3>", "Feed: failed: Could not open heade.xml for reading"), 1) << r.err;
  // No temporary file is left beside it.
  for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

TEST_F(FailureNoticesTest, SourceAndQueryFailuresNameDataPathAndWhere) {
  RunResult r = Journal("[Bad]\nOutput=CSV\nOutputFilename=bad.csv\nDataPath=missing.mdb\nReportField1=Status\n",
                        {"Bad"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(Count(r, "<3>", "[Bad] DataPath = \"missing.mdb\": cannot be opened: "), 1) << r.err;
  EXPECT_EQ(Count(r, "<3>", "Bad: failed: Database open FAILURE!"), 1) << r.err;

  r = Journal("[Daily]\nOutput=CSV\nOutputFilename=out.csv\nWhere=[Stauts] = 'Closed'\nReportField1=Status\n",
              {"Daily"});
  EXPECT_EQ(r.exit_code, 1);
  const size_t notice = r.err.find(
      "[Daily] Where = \"[Stauts] = 'Closed'\": the query \"SELECT * FROM Org WHERE [Stauts] = 'Closed'\" "
      "failed: ");
  const size_t window = r.err.find("There was a data access error encountered");
  ASSERT_NE(notice, std::string::npos) << r.err;
  ASSERT_NE(window, std::string::npos) << r.err;
  EXPECT_LT(notice, window);  // said at once, before the window's 5 seconds
  EXPECT_EQ(r.err.rfind("<3>", notice), r.err.rfind('\n', notice) + 1);
  EXPECT_FALSE(FileExists(dir_ / "out.csv"));
}

TEST_F(FailureNoticesTest, SqlServerFailureNeverShowsThePassword) {
  const RunResult r = Journal(
      "[Db]\nOutput=SQLServer\nDestinationDBConnectString=Provider=SQLOLEDB;Data Source=127.0.0.1,1;"
      "Initial Catalog=News;User ID=u;Password=hunter22;Connect Timeout=2\n",
      {"Db"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(Count(r, "<3>", "[Db] DestinationDBConnectString = \""), 1) << r.err;
  EXPECT_EQ(Count(r, "<3>", "Password=***"), 1) << r.err;
  EXPECT_EQ(Count(r, "<3>", "(server 127.0.0.1, port 1, database News): "), 1) << r.err;
  EXPECT_EQ(r.err.find("hunter22"), std::string::npos) << r.err;
}

TEST_F(FailureNoticesTest, MisspeltFieldIsWarnedOfWithTheClosestName) {
  const RunResult r =
      Journal("[Web]\nOutput=CSV\nOutputFilename=out.csv\nReportField1=Organization Name\nReportField2=Stauts\n",
              {"Web"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Count(r, "<4>", "[Web] ReportField2 = \"Stauts\": no field has this name"), 1) << r.err;
  EXPECT_EQ(Count(r, "<4>", "did you mean \"Status\"?"), 1) << r.err;
}

TEST_F(FailureNoticesTest, EachRunEndsWithItsSummaryAndTheLastRecord) {
  const RunResult r = Journal("[Web]\nOutput=CSV\nOutputFilename=out.csv\nReportField1=Status\n", {"Web"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Count(r, "<6>", "Web: Processing 3 of 3"), 1) << r.err;
  EXPECT_EQ(Count(r, "<6>", "Web: 3 organizations written to out.csv in "), 1) << r.err;
  EXPECT_LT(r.err.find("Web: Processing 3 of 3"), r.err.find("Web: 3 organizations written"));
}

TEST_F(FailureNoticesTest, TwoReportNamesWarnThatTheScheduleRuns) {
  const RunResult r = Journal(
      "[Report Schedule]\nReport Name01=Web\nMinutes Between Reports01=0\n"
      "[Web]\nOutput=CSV\nOutputFilename=out.csv\nReportField1=Status\n",
      {"Good", "BadField"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Count(r, "<4>", "with 2 (\"Good\", \"BadField\") the reports of [Report Schedule] run instead"), 1)
      << r.err;
  EXPECT_TRUE(FileExists(dir_ / "out.csv"));  // the schedule ran
}

}  // namespace
}  // namespace tavrin::test
