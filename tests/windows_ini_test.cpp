// End-to-end: INI files as Windows editors save them (CR LF line ends, a
// UTF-8 byte-order mark, or the Windows-1252 code page) run their reports,
// put their texts on the page as UTF-8, and keep their form when the
// program writes its defaults back.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/harness.h"
#include "tests/print_server.h"
#include "tests/tds_test_server.h"

namespace tavrin::test {
namespace {

const char kRows[] =
    R"({"Record Number": 1, "Status": "Ferm\u00e9", "Organization Name": "\u00c9cole Sainte-Anne", "Category": "\u00c9coles"}
)";

std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

// The lines of `after` that are not those of `before`, when `after` holds
// every line of `before` in its order with CR LF ends; otherwise a failure.
testing::AssertionResult OnlyLinesAdded(const std::string& before, const std::string& after,
                                        std::vector<std::string>* added) {
  if (after.size() < 2 || after.substr(after.size() - 2) != "\r\n")
    return testing::AssertionFailure() << "the file does not end in CR LF";
  for (size_t nl = after.find('\n'); nl != std::string::npos; nl = after.find('\n', nl + 1)) {
    if (nl == 0 || after[nl - 1] != '\r')
      return testing::AssertionFailure() << "a line ends in LF alone at byte " << nl;
  }
  const std::vector<std::string> old_lines = CrLfLines(before);
  size_t matched = 0;
  for (const std::string& line : CrLfLines(after)) {
    if (matched < old_lines.size() && line == old_lines[matched]) {
      ++matched;
    } else {
      added->push_back(line);
    }
  }
  if (matched != old_lines.size())
    return testing::AssertionFailure() << "line lost or changed: " << old_lines[matched];
  return testing::AssertionSuccess();
}

// Whether `line` is one the program adds with its defaults: a key, or the
// global section with the blank line before it.
bool WrittenBack(const std::string& line) {
  return line.empty() || line == "[TavrinReportGenerator]" ||
         (line.find('=') != std::string::npos && line.front() != '[');
}

class WindowsIniTest : public testing::Test {
 protected:
  void SetUp() override { WriteOrgDatabase(dir_, kRows); }
  TempDir dir_;
};

TEST_F(WindowsIniTest, ByteOrderMarkBeforeTheScheduleRunsItAndStays) {
  const std::string ini =
      "\xEF\xBB\xBF[Report Schedule]\r\n"
      "Report Name01=Fermetures\r\n"
      "Minutes Between Reports01=0\r\n"
      "\r\n"
      "[Fermetures]\r\n"
      "; la page publique\r\n"
      "Output=HTML\r\n"
      "OutputFilename=page.html\r\n"
      "HtmlHeader=<h2>Fermetures d'\xC3\xA9" "coles</h2>\r\n"
      "ReportField1=[Category]\r\n"
      "ReportFieldSort1=Yes\r\n";
  const RunResult r = RunReport(dir_, ini, {});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(ReadFile(dir_ / "page.html").find("<h2>Fermetures d'\xC3\xA9" "coles</h2>\r\n"),
            std::string::npos);

  const std::string after = ReadFile(dir_ / "TavrinReport.ini");
  std::vector<std::string> added;
  ASSERT_TRUE(OnlyLinesAdded(ini, after, &added)) << after;
  EXPECT_EQ(after.rfind("\xEF\xBB\xBF[Report Schedule]\r\n", 0), 0u);
  for (const std::string& line : added) EXPECT_TRUE(WrittenBack(line)) << line;
}

TEST_F(WindowsIniTest, CodePageTextsReachThePageAsUtf8AndTheFileKeepsTheCodePage) {
  // Everything a Windows station has: e acute, a curly apostrophe, an en
  // dash and the euro sign in the code page's bytes, in a report's name, its
  // section, a comment and the page heading.
  const std::string ini =
      "; R\xE9glages de la station \x96 ne pas modifier\r\n"
      "[Report Schedule]\r\n"
      "Report Name01=\xC9" "coles\r\n"
      "Minutes Between Reports01=0\r\n"
      "\r\n"
      "[\xC9" "coles]\r\n"
      "Output=HTML\r\n"
      "OutputFilename=page.html\r\n"
      "HtmlHeader=<h2>Fermetures d\x92\xE9" "coles \x96 co\xFBt 0 \x80</h2>\r\n"
      "ReportField1=[Category]\r\n"
      "ReportFieldSort1=Yes\r\n";
  const RunResult r = RunReport(dir_, ini, {});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("\xC3\x89" "coles"), std::string::npos) << "the report's name in UTF-8";

  const std::string page = ReadFile(dir_ / "page.html");
  EXPECT_NE(page.find("<h2>Fermetures d\xE2\x80\x99\xC3\xA9" "coles \xE2\x80\x93 co\xC3\xBBt 0 "
                      "\xE2\x82\xAC</h2>\r\n"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("\xC3\x89" "cole Sainte-Anne is Ferm\xC3\xA9"), std::string::npos) << page;

  const std::string after = ReadFile(dir_ / "TavrinReport.ini");
  std::vector<std::string> added;
  ASSERT_TRUE(OnlyLinesAdded(ini, after, &added)) << after;
  EXPECT_FALSE(added.empty()) << "the defaults were written back";
  for (const std::string& line : added) {
    EXPECT_TRUE(WrittenBack(line)) << line;
    for (char c : line) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << line;  // the defaults are ASCII
  }

  // A second run finds the file as the first left it and changes nothing.
  const RunResult again = RunProgram(ReportBinary(), {"--unattended"}, dir_.path());
  ASSERT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(ReadFile(dir_ / "TavrinReport.ini"), after);
}

// A whole installation carried over from Windows, in the code page or in
// UTF-8 with a byte-order mark: CR LF lines, drive and share paths that
// [Path Mapping] maps here, and a report of every kind.
TEST_F(WindowsIniTest, CarriedOverInstallationRunsEveryReportKindWhereTheMappingSays) {
  PrintServer printers;
  printers.AddQueue("listing");
  TdsTestServer server;
  PrivateOdbcSetup odbc;
  std::map<std::string, std::string> env = printers.ClientEnv();
  for (const auto& [key, value] : odbc.Environment()) env[key] = value;
  std::filesystem::create_directories(dir_ / "closings");
  std::filesystem::create_directories(dir_ / "www");
  std::filesystem::rename(dir_ / "Vesk.mdb", dir_ / "closings/Vesk.mdb");
  WriteFile(dir_ / "closings/head.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<feed>\n");
  WriteFile(dir_ / "closings/tail.xml", "</feed>\n");

  for (const bool code_page : {true, false}) {
    SCOPED_TRACE(code_page ? "Windows-1252" : "UTF-8 with a byte-order mark");
    const std::string e_acute = code_page ? "\xE9" : "\xC3\xA9";
    const std::string path_keys = "DataPath=C:\\Closings\\Vesk.mdb\r\n";
    const std::string ini =
        std::string(code_page ? "" : "\xEF\xBB\xBF") + "; Station m" + e_acute + "t" + e_acute + "o\r\n" +
        "[Report Schedule]\r\n"
        "Report Name01=Liste\r\nMinutes Between Reports01=0\r\n"
        "Report Name02=Flux\r\nMinutes Between Reports02=0\r\n"
        "Report Name03=Page\r\nMinutes Between Reports03=0\r\n"
        "Report Name04=Papier\r\nMinutes Between Reports04=0\r\n"
        "Report Name05=Serveur\r\nMinutes Between Reports05=0\r\n"
        "\r\n[Liste]\r\nOutput=CSV\r\n" + path_keys +
        "OutputFilename=\\\\webserver\\wwwroot\\liste.csv\r\nReportField1=Status\r\n"
        "\r\n[Flux]\r\nOutput=XML\r\n" + path_keys +
        "OutputFilename=\\\\webserver\\wwwroot\\flux.xml\r\nHeaderFile=C:\\Closings\\head.xml\r\n"
        "TrailerFile=C:\\Closings\\tail.xml\r\nXMLEscapeText=Yes\r\nReportField1=Status\r\n"
        "ReportFieldXMLDelimiterOpen1=<statut>\r\nReportFieldXMLDelimiterClose1=</statut>\r\n"
        "\r\n[Page]\r\nOutput=HTML\r\n" + path_keys +
        "OutputFilename=\\\\webserver\\wwwroot\\page.htm\r\nHtmlHeader=<h2>Ferm" + e_acute + "</h2>\r\n"
        "\r\n[Papier]\r\nOutput=Printer\r\n" + path_keys + "ReportField1=Status\r\n"
        "\r\n[Serveur]\r\nOutput=SQLServer\r\n" + path_keys +
        "DestinationDBConnectString=Provider=SQLOLEDB;Data Source=127.0.0.1," + std::to_string(server.port()) +
        ";Initial Catalog=Closings;User ID=web;Password=pw\r\n"
        "\r\n[Path Mapping]\r\nC:\\Closings=" + dir_ / "closings" + "\r\n\\\\webserver\\wwwroot=" +
        dir_ / "www" + "\r\n";
    WriteFile(dir_ / "TavrinReport.ini", ini);

    const RunResult check = RunProgram(ReportBinary(), {"--check"}, dir_.path());
    EXPECT_EQ(check.exit_code, 0) << check.out;
    EXPECT_NE(check.out.find(code_page ? ": Windows-1252 text\n" : ": UTF-8 with a byte-order mark text\n"),
              std::string::npos)
        << check.out;
    EXPECT_NE(check.out.find("is " + dir_ / "www/page.htm"), std::string::npos) << check.out;

    std::filesystem::remove(printers.OutputOf("listing"));
    const RunResult r = RunProgram(ReportBinary(), {"--unattended", "--printer", "listing"}, dir_.path(), "", 60, env);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ReadFile(dir_ / "www/liste.csv"), "\"Ferm\xC3\xA9\"\r\n");
    EXPECT_EQ(ReadFile(dir_ / "www/flux.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<feed>\r\n    <name>\r\n        "
              "<statut>Ferm\xC3\xA9</statut>\r\n    </name>\r\n</feed>\r\n");
    EXPECT_NE(ReadFile(dir_ / "www/page.htm").find("<h2>Ferm\xC3\xA9</h2>"), std::string::npos);
    EXPECT_TRUE(printers.WaitForJobs()) << printers.Log();
    EXPECT_EQ(ReadPrintedPages(printers.OutputOf("listing")).size(), 1u);
    EXPECT_FALSE(server.Texts("batch").empty());
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path()))
      EXPECT_EQ(entry.path().filename().string().find('\\'), std::string::npos) << entry.path();

    // The INI keeps every line and its encoding; only defaults are added.
    const std::string after = ReadFile(dir_ / "TavrinReport.ini");
    std::vector<std::string> added;
    ASSERT_TRUE(OnlyLinesAdded(ini, after, &added)) << after;
    EXPECT_FALSE(added.empty());
    for (const std::string& line : added) EXPECT_TRUE(WrittenBack(line)) << line;
    EXPECT_EQ(after.rfind(code_page ? "; Station m\xE9t\xE9o\r\n" : "\xEF\xBB\xBF; Station", 0), 0u);
  }
}

}  // namespace
}  // namespace tavrin::test
