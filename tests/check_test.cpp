// End-to-end: --check reads the INI without changing it and names the key
// of every problem it finds.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

class CheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const RunResult w = RunProgram(MdbWriteBinary(), {"Vesk.mdb", "--sample", "5"}, dir_.path());
    ASSERT_EQ(w.exit_code, 0) << w.err;
  }

  RunResult Check(const std::string& ini, const std::vector<std::string>& args = {}) {
    WriteFile(dir_ / "TavrinReport.ini", ini);
    std::vector<std::string> a = {"--check"};
    a.insert(a.end(), args.begin(), args.end());
    return RunProgram(ReportBinary(), a, dir_.path());
  }

  // The lines of `text` that start with "  error: ".
  static std::vector<std::string> Errors(const std::string& text) {
    std::vector<std::string> out;
    for (size_t start = 0; start < text.size();) {
      const size_t end = text.find('\n', start);
      const std::string line = text.substr(start, end - start);
      if (line.rfind("  error: ", 0) == 0) out.push_back(line);
      start = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
  }

  TempDir dir_;
};

TEST_F(CheckTest, CleanScheduleExitsZeroAndLeavesTheIniAsItWas) {
  // Every report key missing but the few set: a run would write dozens back.
  const std::string ini =
      "[Report Schedule]\r\nReport Name01=Web\r\nReport Name02=Feed\r\n"
      "[Web]\r\nOutput=HTML\r\nOutputFilename=status.html\r\nWhere=Status <> 'Open'\r\n"
      "[Feed]\r\nOutput=XML\r\nOutputFilename=feed.xml\r\nHeaderFile=head.xml\r\n"
      "ReportField1=[Organization Name]\r\nReportFieldSort1=Yes\r\nReportField2=Event Kill Date\r\n";
  WriteFile(dir_ / "head.xml", "<feed>\n");
  WriteFile(dir_ / "TavrinReport.ini", ini);
  struct stat before {};
  ASSERT_EQ(stat((dir_ / "TavrinReport.ini").c_str(), &before), 0);
  const RunResult r = RunProgram(ReportBinary(), {"--check"}, dir_.path());
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(Errors(r.out), std::vector<std::string>{}) << r.out;
  EXPECT_NE(r.out.find("  query        SELECT * FROM Org WHERE Status <> 'Open'\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  fields       [Organization Name] (sort), Event Kill Date\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("2 reports checked, no problems"), std::string::npos) << r.out;

  EXPECT_EQ(ReadFile(dir_ / "TavrinReport.ini"), ini);
  struct stat after {};
  ASSERT_EQ(stat((dir_ / "TavrinReport.ini").c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_FALSE(FileExists(dir_ / "status.html"));  // nothing ran
  EXPECT_FALSE(FileExists(dir_ / "TavrinReport.ini.lock"));
}

TEST_F(CheckTest, EachProblemIsOneLineNamingItsKey) {
  const RunResult r = Check(
      "[Report Schedule]\nReport Name01=Daily\n"
      "[Daily]\nOutput=XML\nOutputFilename=nowhere/feed.xml\nHeaderFile=missing-head.xml\n"
      "Where=Status = 'Closed' AND\nReportField1=Status\nReportField3=Statsu\n");
  EXPECT_EQ(r.exit_code, 1) << r.out;
  const std::vector<std::string> errors = Errors(r.out);
  ASSERT_EQ(errors.size(), 4u) << r.out;
  EXPECT_EQ(errors[0], "  error: [Daily] OutputFilename = \"nowhere/feed.xml\": the folder "
                       "\"nowhere\" does not exist");
  EXPECT_EQ(errors[1], "  error: [Daily] HeaderFile = \"missing-head.xml\": does not exist");
  EXPECT_EQ(errors[2], "  error: [Daily] ReportField3 = \"Statsu\": not a field name; the report "
                       "would write \"VALUE NOT FOUND\"");
  EXPECT_EQ(errors[3].rfind("  error: [Daily] Where = \"Status = 'Closed' AND\": the query does "
                            "not compile: ", 0),
            0u)
      << errors[3];
}

TEST_F(CheckTest, SortKeysAndSourcesAreNamedAndAnUnopenableSourceStillChecksTheWhere) {
  const RunResult r = Check(
      "[Sorted]\nOutput=CSV\nOutputFilename=out.csv\nReportField2=Organization Name\n"
      "ReportFieldSort2=Yes\n"
      "[Elsewhere]\nOutput=CSV\nOutputFilename=out.csv\nDataPath=gone.mdb\nWhere=Statsu = 'x'\n"
      "ReportField1=Status\n"
      "[Refused]\nWhere=ALL\n",
      {"Sorted"});
  EXPECT_EQ(r.exit_code, 1);
  ASSERT_EQ(Errors(r.out).size(), 1u) << r.out;
  EXPECT_NE(Errors(r.out)[0].find("[Sorted] ReportField2 = \"Organization Name\": as a sort key"),
            std::string::npos)
      << r.out;

  RunResult e = RunProgram(ReportBinary(), {"--check", "Elsewhere"}, dir_.path());
  EXPECT_EQ(e.exit_code, 1);
  ASSERT_EQ(Errors(e.out).size(), 2u) << e.out;
  EXPECT_EQ(Errors(e.out)[0], "  error: [Elsewhere] DataPath = \"gone.mdb\": cannot be opened: "
                              "Could not find file 'gone.mdb'.");
  EXPECT_EQ(Errors(e.out)[1], "  error: [Elsewhere] Where = \"Statsu = 'x'\": the query does not "
                              "compile: no such column: Statsu");

  e = RunProgram(ReportBinary(), {"--check", "Refused"}, dir_.path());
  EXPECT_EQ(e.exit_code, 1);
  ASSERT_EQ(Errors(e.out).size(), 1u) << e.out;
  EXPECT_NE(Errors(e.out)[0].find("Output = \"INVALID\": the report would be refused"),
            std::string::npos);
  EXPECT_EQ(ReadFile(dir_ / "TavrinReport.ini").find("Minutes"), std::string::npos);
}

TEST_F(CheckTest, PublicationStringIsShownWithItsPasswordMasked) {
  const RunResult r = Check(
      "[Web]\nOutput=SQLServer\nDestinationDBConnectString=Server=db;UID=u;PWD=hunter2\n",
      {"Web"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("Server=db;UID=u;PWD=***"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("DestinationDBConnectString"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("hunter2"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("hunter2"), std::string::npos) << r.err;

  // An OLE DB string that translates for the ODBC driver checks, without
  // connecting; a named pipe does not translate.
  const RunResult ok = Check(
      "[Web]\nOutput=SQLServer\n"
      "DestinationDBConnectString=Provider=SQLOLEDB;Data Source=db,1433;User ID=u;Password=hunter2\n",
      {"Web"});
  EXPECT_EQ(ok.exit_code, 0) << ok.out;
  EXPECT_NE(ok.out.find("User ID=u;Password=***"), std::string::npos) << ok.out;
  const RunResult pipe = Check(
      "[Web]\nOutput=SQLServer\n"
      "DestinationDBConnectString=Provider=SQLOLEDB;Data Source=np:\\\\db\\pipe\\sql\\query\n",
      {"Web"});
  EXPECT_EQ(pipe.exit_code, 1);
  ASSERT_EQ(Errors(pipe.out).size(), 1u) << pipe.out;
  EXPECT_NE(Errors(pipe.out)[0].find("DestinationDBConnectString"), std::string::npos) << pipe.out;
  EXPECT_NE(Errors(pipe.out)[0].find("named pipe"), std::string::npos) << pipe.out;
}

TEST_F(CheckTest, HeaderFilesThatAreNotUtf8AreWarnedOfAndTheIniEncodingIsNamed) {
  WriteFile(dir_ / "head.xml", "<flux titre=\"\xC9" "coles\">\n");  // Windows-1252
  WriteFile(dir_ / "tail.xml", "</flux>\n");
  const RunResult r = Check("[Feed]\nOutput=XML\nOutputFilename=feed.xml\nHeaderFile=head.xml\n"
                            "TrailerFile=tail.xml\nReportField1=Status\n",
                            {"Feed"});
  EXPECT_EQ(r.exit_code, 0) << r.out;  // a warning, not a problem
  EXPECT_NE(r.out.find("TavrinReport.ini: UTF-8 text\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  warning: [Feed] HeaderFile = \"head.xml\": is not UTF-8 text"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("TrailerFile = "), std::string::npos) << r.out;
}

}  // namespace
}  // namespace tavrin::test
