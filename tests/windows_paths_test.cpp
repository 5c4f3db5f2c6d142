// End-to-end: an INI carried over from Windows, with drive and share paths
// that [Path Mapping] maps to folders here, or that nothing maps.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

const char kRows[] =
    R"({"Record Number": 1, "Status": "Closed", "Organization Name": "Springfield Elementary", "Category": "Schools"}
{"Record Number": 2, "Status": "Open", "Organization Name": "City Hall", "Category": "Government"}
)";

class WindowsPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteOrgDatabase(dir_, kRows);
    std::filesystem::create_directories(dir_ / "closings");
    std::filesystem::create_directories(dir_ / "www");
    std::filesystem::create_directories(dir_ / "reports");
    ASSERT_EQ(std::rename((dir_ / "Vesk.mdb").c_str(), (dir_ / "closings/Vesk.mdb").c_str()), 0);
  }

  // The section that maps the Windows folders of these tests into the test's folder.
  std::string Mapping() const {
    return "[Path Mapping]\r\nC:\\Closings=" + dir_ / "closings" + "\r\n\\\\webserver\\wwwroot=" +
           dir_ / "www/" + "\r\n";
  }

  // Every name in the folder, at any depth, that holds a backslash.
  std::vector<std::string> BackslashNames() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      if (name.find('\\') != std::string::npos) names.push_back(name);
    }
    return names;
  }

  TempDir dir_;
};

TEST_F(WindowsPathsTest, MappedPathsAreReadAndWrittenWhereTheMappingSays) {
  WriteFile(dir_ / "closings/head.xml", "<feed>\n");
  WriteFile(dir_ / "reports/tail.xml", "</feed>\n");
  const std::string mapping = Mapping();
  const std::string ini =
      "[TavrinReportGenerator]\r\nOutput-Year-First=No\r\n"
      "[Report Schedule]\r\nReport Name01=List\r\nMinutes Between Reports01=0\r\n"
      "Report Name02=Feed\r\nMinutes Between Reports02=0\r\nReport Name03=Page\r\n"
      "Minutes Between Reports03=-1\r\n"
      "[List]\r\nOutput=CSV\r\nDataPath=C:\\Closings\\Vesk.mdb\r\n"
      "OutputFilename=c:/closings/list.csv\r\nReportField1=[Organization Name]\r\nReportFieldSort1=Yes\r\n"
      "[Feed]\r\nOutput=XML\r\nDataPath=c:\\CLOSINGS\\Vesk.mdb\r\n"
      "OutputFilename=\\\\webserver\\wwwroot\\feed.xml\r\nHeaderFile=C:\\Closings\\head.xml\r\n"
      "TrailerFile=reports\\tail.xml\r\nReportField1=Status\r\nWhere=Status = 'Closed'\r\n"
      "[Page]\r\nOutput=HTML\r\nDataPath=C:/Closings/Vesk.mdb\r\n"
      "OutputFilename=//WebServer/WWWRoot/status.htm\r\nHtmlHeader=<h2>Closings</h2>\r\n" +
      mapping;
  const RunResult r = RunReport(dir_, ini, {});
  EXPECT_EQ(r.exit_code, 0) << r.err;

  EXPECT_EQ(ReadFile(dir_ / "closings/list.csv"), "\"City Hall\"\r\n\"Springfield Elementary\"\r\n");
  EXPECT_EQ(ReadFile(dir_ / "www/feed.xml"),
            "<feed>\r\n    <name>\r\n        <Status>Closed</Status>\r\n    </name>\r\n</feed>\r\n");
  EXPECT_NE(ReadFile(dir_ / "www/status.htm").find("City Hall is Open"), std::string::npos);
  EXPECT_EQ(BackslashNames(), std::vector<std::string>{});

  // The INI still says what it said; the mapping, read and never written, stays the last section.
  const std::string after = ReadFile(dir_ / "TavrinReport.ini");
  EXPECT_NE(after.find("DataPath=c:\\CLOSINGS\\Vesk.mdb\r\n"), std::string::npos) << after;
  EXPECT_NE(after.find("OutputFilename=\\\\webserver\\wwwroot\\feed.xml\r\n"), std::string::npos) << after;
  EXPECT_NE(after.find("TrailerFile=reports\\tail.xml\r\n"), std::string::npos) << after;
  ASSERT_GE(after.size(), mapping.size());
  EXPECT_EQ(after.substr(after.size() - mapping.size()), mapping) << after;
}

TEST_F(WindowsPathsTest, UnmappedPathsAreRefusedBeforeAnythingIsWritten) {
  // The source: nothing is opened, nothing written.
  RunResult r = RunReport(dir_,
                          "[List]\nOutput=CSV\nDataPath=C:\\Closings\\Vesk.mdb\nOutputFilename=list.csv\n"
                          "ReportField1=Status\n",
                          {"List"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("DataPath 'C:\\Closings\\Vesk.mdb' is a Windows path, which cannot be used here"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Database open FAILURE!"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[List] DataPath = \"C:\\Closings\\Vesk.mdb\": a Windows path, which cannot be "
                       "used here: add a line such as C:\\Closings=/srv/closings to the section "
                       "[Path Mapping]"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(FileExists(dir_ / "list.csv"));

  // The output files of each kind, after a source that opens.
  const std::string source = "DataPath=" + dir_ / "closings/Vesk.mdb" + "\n";
  r = RunReport(dir_,
                "[List]\nOutput=CSV\nOutputFilename=\\\\webserver\\wwwroot\\list.csv\nReportField1=Status\n" +
                    source,
                {"List"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("Could not open \\\\webserver\\wwwroot\\list.csv for output - report canceled"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("[List] OutputFilename = \"\\\\webserver\\wwwroot\\list.csv\": a Windows path"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("such as \\\\webserver\\wwwroot=/srv/wwwroot to the section [Path Mapping]"),
            std::string::npos)
      << r.err;

  r = RunReport(dir_, "[Page]\nOutput=HTML\nOutputFilename=D:\\status.htm\n" + source, {"Page"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(r.out, "Can't open output file: D:\\status.htm");
  EXPECT_NE(r.err.find("[Page] OutputFilename = \"D:\\status.htm\": a Windows path"), std::string::npos)
      << r.err;

  r = RunReport(dir_, "[Feed]\nOutput=XML\nOutputFilename=feed.xml\nHeaderFile=\\\\fs\\feeds\\head.xml\n" + source,
                {"Feed"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("Could not open \\\\fs\\feeds\\head.xml for reading"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[Feed] HeaderFile = \"\\\\fs\\feeds\\head.xml\": a Windows path"), std::string::npos)
      << r.err;

  EXPECT_EQ(BackslashNames(), std::vector<std::string>{});
}

TEST_F(WindowsPathsTest, CheckShowsMappedPathsAndNamesTheMappingsToAdd) {
  const std::string ini =
      "[Report Schedule]\r\nReport Name01=Feed\r\n"
      "[Feed]\r\nOutput=XML\r\nDataPath=C:\\Closings\\Vesk.mdb\r\n"
      "OutputFilename=\\\\webserver\\wwwroot\\feed.xml\r\nHeaderFile=E:\\Feeds\\head.xml\r\n"
      "TrailerFile=\\\\fs\\feeds\\tail.xml\r\nReportField1=Status\r\n" +
      Mapping();
  WriteFile(dir_ / "TavrinReport.ini", ini);
  const RunResult r = RunProgram(ReportBinary(), {"--check"}, dir_.path());
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("  mapped       DataPath \"C:\\Closings\\Vesk.mdb\" is " + dir_ / "closings/Vesk.mdb" +
                       " (C:\\Closings in [Path Mapping])\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  mapped       OutputFilename \"\\\\webserver\\wwwroot\\feed.xml\" is " +
                       dir_ / "www/feed.xml"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  error: [Feed] HeaderFile = \"E:\\Feeds\\head.xml\": a Windows path, which cannot "
                       "be used here: add a line such as E:\\Feeds=/srv/feeds to the section [Path Mapping]\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  error: [Feed] TrailerFile = \"\\\\fs\\feeds\\tail.xml\": a Windows path"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("1 report checked, 2 problems"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(dir_ / "TavrinReport.ini"), ini);
}

}  // namespace
}  // namespace tavrin::test
