// End-to-end: reports made by the real program from a real Access file.

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

// Three organizations: blanks around notes, a comma and an apostrophe, a line
// feed in a value, a null county, double quotes, dates with and without time.
const char kRows[] =
    R"({"Record Number": 1, "Status": "Closed", "Organization Name": "Springfield Elementary", "Category": "Schools", "County": "Essex", "Town\\City": "Springfield", "Event Notes": "  Snow day  ", "Event Kill Date": "2024-03-05 14:07:09", "Event Update Time": "2024-03-05 06:30:00"}
{"Record Number": 2, "Status": "Delayed, 2 Hours", "Organization Name": "O'Brien's Daycare", "Category": "Daycare", "County": "Essex", "Event Notes": "Line1\nLine2", "Event Kill Date": null}
{"Record Number": 3, "Status": "Open \"as usual\"", "Organization Name": "City Hall", "Category": "Government", "County": null, "Event Kill Date": "1899-12-29 06:00:00"}
)";

class ReportsTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteOrgDatabase(dir_, kRows); }

  RunResult Report(const std::string& ini, const std::vector<std::string>& args = {}) {
    return RunReport(dir_, ini, args);
  }

  TempDir dir_;
};

TEST_F(ReportsTest, DelimitedFileQuotedAndTrimmedCellsSortedByName) {
  const RunResult r = Report(
      "[Daily]\nOutput=csv\nOutputFilename=out.csv\nXMLDateFormat=Vibes\n"
      "ReportField1=[Organization Name]\nReportFieldSort1=Yes\n"
      "ReportField2=Status\nReportField3=Event Notes\nReportFieldStringValue3=No\n"
      "ReportField4=Event Kill Date\nReportField5=County\nReportField6=Nonsense\n",
      {"Daily"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "out.csv"),
            "\"City Hall\",\"Open 'as usual'\",,\"1899-12-29 06:00:00\",\"\",\"VALUE NOT FOUND\"\r\n"
            "\"O'Brien's Daycare\",\"Delayed, 2 Hours\",Line1\r\nLine2,\"\",\"Essex\","
            "\"VALUE NOT FOUND\"\r\n"
            "\"Springfield Elementary\",\"Closed\",Snow day,\"2024-03-05 14:07:09\",\"Essex\","
            "\"VALUE NOT FOUND\"\r\n");
  EXPECT_NE(r.err.find("Daily: Processing 2 of 3"), std::string::npos) << r.err;
}

TEST_F(ReportsTest, XmlFileBetweenHeaderAndTrailerWithWhereAndDateStyle) {
  WriteFile(dir_ / "head.txt", "<?xml version=\"1.0\"?>\r\n\r\n<feed>");
  WriteFile(dir_ / "tail.txt", "</feed>\n");
  const RunResult r = Report(
      "[TavrinReportGenerator]\nOutput-Year-First=Yes\n"
      "[Feed]\nOutput=XML\nOutputFilename=feed.xml\nHeaderFile=head.txt\nTrailerFile=tail.txt\n"
      "Where=[County] = 'essex'\nReportField1=[Organization Name]\nReportFieldSort1=Yes\n"
      "ReportFieldXMLDelimiterOpen1=<n>\nReportFieldXMLDelimiterClose1=</n>\n"
      "ReportField2=event kill date\nReportField3=Event Update Time\n",
      {"Feed"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "feed.xml"),
            "<?xml version=\"1.0\"?>\r\n\r\n<feed>\r\n"
            "    <name>\r\n        <n>O'Brien's Daycare</n>\r\n"
            "        <event kill date></event kill date>\r\n"
            "        <Event Update Time></Event Update Time>\r\n    </name>\r\n"
            "    <name>\r\n        <n>Springfield Elementary</n>\r\n"
            "        <event kill date>2024/05/03</event kill date>\r\n"
            "        <Event Update Time>2024/05/03 06:30</Event Update Time>\r\n    </name>\r\n"
            "</feed>\r\n");
}

TEST_F(ReportsTest, HtmlPageGroupsByCategoryAndMissingFolderFailsQuietly) {
  const std::string ini =
      "[Page]\nOutput=HTML\nOutputFilename=page.html\nHtmlHeader=<h2>Closings</h2>\n"
      "ReportField1=[Category]\nReportFieldSort1=Yes\n";
  RunResult r = Report(ini, {"Page"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "Completed successfully.\n");
  EXPECT_EQ(ReadFile(dir_ / "page.html"),
            "<html>\r\n<body bgcolor=\"#C0C0C0\">\r\n<h2>Closings</h2>\r\n"
            "<h4><font color=\"#FF0000\"><u>Daycare</u></font></h4>\r\n"
            "<p><font color=\"#0000FF\">O'Brien's Daycare is Delayed, 2 Hours</font></p>\r\n"
            "<h4><font color=\"#FF0000\"><u>Government</u></font></h4>\r\n"
            "<p><font color=\"#0000FF\">City Hall is Open 'as usual'</font></p>\r\n"
            "<h4><font color=\"#FF0000\"><u>Schools</u></font></h4>\r\n"
            "<p><font color=\"#0000FF\">Springfield Elementary is Closed</font></p>\r\n"
            "</body>\r\n</html>\r\n");

  r = Report(
      "[Page]\nOutput=HTML\nOutputFilename=nowhere/page.html\nWhere=Status = 'Gone'\n", {"Page"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "Can't open output file: nowhere/page.html");
  EXPECT_EQ(r.err.find("[tavrin-report] "), std::string::npos) << "no box expected: " << r.err;
  EXPECT_EQ(r.err.find("[COM Error] "), std::string::npos) << "no box expected: " << r.err;
  // The log alone says why.
  EXPECT_NE(r.err.find("[Page] OutputFilename = \"nowhere/page.html\": cannot be created: "), std::string::npos)
      << r.err;
}

TEST_F(ReportsTest, ScheduleOfThreeOneShotReportsRunsInOrderAndEndsWithZero) {
  const RunResult r = Report(
      "[Report Schedule]\nReport Name01=A\nMinutes Between Reports01=0\n"
      "Report Name02=B\nMinutes Between Reports02=0\nReport Name03=C\n"
      "Minutes Between Reports03=-1\n"
      "[A]\nOutput=CSV\nOutputFilename=a.csv\nReportField1=Status\n"
      "[B]\nOutput=XML\nOutputFilename=b.xml\nReportField1=Status\n"
      "[C]\nOutput=HTML\nOutputFilename=c.html\n");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(FileExists(dir_ / "a.csv"));
  EXPECT_TRUE(FileExists(dir_ / "b.xml"));
  EXPECT_TRUE(FileExists(dir_ / "c.html"));
  const size_t a = r.err.find("A: Processing");
  const size_t b = r.err.find("B: Processing");
  ASSERT_NE(a, std::string::npos) << r.err;
  ASSERT_NE(b, std::string::npos) << r.err;
  EXPECT_LT(a, b);
}

TEST_F(ReportsTest, BadQueryShowsTheTimedMessageAndExitsWithOne) {
  const RunResult r = Report(
      "[Daily]\nOutput=CSV\nOutputFilename=out.csv\nReportField1=Organization Name\n"
      "ReportFieldSort1=Yes\n",
      {"Daily"});
  EXPECT_EQ(r.exit_code, 1);
  const size_t window = r.err.find("There was a data access error encountered");
  EXPECT_NE(window, std::string::npos) << r.err;
  // One more line gives the key and the provider's reason, before the window.
  const size_t reason = r.err.find(
      "[Daily] ReportField1 = \"Organization Name\": sorted on, the query \"SELECT * FROM Org ORDER BY "
      "Organization Name\" failed: near \"Name\": syntax error\n");
  EXPECT_NE(reason, std::string::npos) << r.err;
  EXPECT_LT(reason, window);
  EXPECT_FALSE(FileExists(dir_ / "out.csv"));
}

TEST_F(ReportsTest, OnTheJournalFailuresAreErrorsAndProgressIsInfo) {
  const std::string ini =
      "[Report Schedule]\nReport Name01=Good\nMinutes Between Reports01=0\n"
      "Report Name02=Bad\nMinutes Between Reports02=0\n"
      "[Good]\nOutput=CSV\nOutputFilename=good.csv\nReportField1=Status\n"
      "[Bad]\nOutput=CSV\nOutputFilename=bad.csv\nDataPath=missing.mdb\nReportField1=Status\n";
  WriteFile(dir_ / "TavrinReport.ini", ini);
  const RunResult journal = RunProgram(ReportBinary(), {"--unattended"}, dir_.path(), "", 60, {},
                                       std::nullopt, ErrorStream::kJournalSocket);
  EXPECT_EQ(journal.exit_code, 1) << journal.err;
  const auto has_line = [&journal](const std::string& prefix, const std::string& text) {
    for (size_t start = 0; start < journal.err.size();) {
      const size_t end = journal.err.find('\n', start);
      const std::string line = journal.err.substr(start, end - start);
      if (line.rfind(prefix, 0) == 0 && line.find(text) != std::string::npos) return true;
      start = end == std::string::npos ? journal.err.size() : end + 1;
    }
    return false;
  };
  EXPECT_TRUE(has_line("<6>", "Good: Processing 2 of 3")) << journal.err;
  EXPECT_TRUE(has_line("<3>", "Bad: Database open FAILURE!")) << journal.err;
  EXPECT_TRUE(has_line("<3>", "[COM Error] Error")) << journal.err;
  EXPECT_TRUE(has_line("<3>", "\tCode = 80004005")) << journal.err;  // a box's later line

  // A variable that names another file is not the journal: no prefixes.
  WriteFile(dir_ / "TavrinReport.ini", ini);
  const RunResult elsewhere = RunProgram(ReportBinary(), {"--unattended"}, dir_.path(), "", 60,
                                         {{"JOURNAL_STREAM", "1:2"}});
  EXPECT_EQ(elsewhere.exit_code, 1);
  EXPECT_NE(elsewhere.err.find("Bad: Database open FAILURE!"), std::string::npos);
  EXPECT_NE(elsewhere.err.front(), '<');
  EXPECT_EQ(elsewhere.err.find("\n<"), std::string::npos) << elsewhere.err;
}

}  // namespace
}  // namespace tavrin::test
