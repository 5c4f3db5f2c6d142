// End-to-end: the same organizations in a file of every Access version the
// writer makes give the same reports, byte for byte, as from an Access 2000
// file: the delimited file, the XML-like feed, the HTML page, the printed
// pages and the SQL Server batches.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tests/harness.h"
#include "tests/print_server.h"
#include "tests/tds_test_server.h"

namespace tavrin::test {
namespace {

// 60 organizations (two printed pages): Windows-1252 letters (Access 97
// keeps text in that code page), quotes and markup characters, a memo that
// spans several long-value rows, dates before 1900 and missing ones.
std::string Rows() {
  std::string rows;
  const char* statuses[] = {"Closed", "Open", "Delayed 2 hours", "Closed \\\"all day\\\""};
  for (int n = 1; n <= 60; ++n) {
    const std::string number = std::to_string(n);
    rows += "{\"Record Number\": " + number + ", \"Organization Name\": \"" +
            (n % 7 == 0 ? "Zoë's Café & Crêpes " : "Org ") + number + "\", \"Category\": \"" +
            (n % 3 == 0 ? "Daycare" : "Schools") + "\", \"Status\": \"" + statuses[n % 4] +
            "\", \"County\": \"Essex\", \"Town\\\\City\": \"Springfield\", \"Zip Code\": \"0" +
            std::to_string(1100 + n) + "\", \"Event Notes\": \"" +
            (n % 5 == 0 ? "<b>€5</b> fee" : "note " + number) +
            "\", \"Permanent Notes\": \"" + (n == 12 ? std::string(6000, 'p') : "perm " + number) +
            "\", \"Event Update Time\": " +
            (n % 9 == 0 ? "null" : n == 4 ? "-1.25" : std::to_string(45356 + n) + ".5") +
            ", \"Event Kill Date\": \"2024-03-0" + std::to_string(1 + n % 9) + " 14:07:00\"}\n";
  }
  return rows;
}

const char kFields[] =
    "ReportField1=[Category]\nReportFieldSort1=Yes\nReportFieldLength1=10\n"
    "ReportField2=[Organization Name]\nReportFieldSort2=Yes\nReportFieldLength2=24\n"
    "ReportField3=Status\nReportFieldLength3=20\n"
    "ReportField4=Event Notes\nReportFieldLength4=14\n"
    "ReportField5=Event Update Time\nReportFieldLength5=0\n"
    "ReportField6=Permanent Notes\nReportFieldLength6=0\n"
    "ReportField7=Town\\City\nReportFieldLength7=0\n";

std::string Ini(int port) {
  std::string ini;
  for (const char* report : {"Csv", "Xml", "Html", "Printer"}) {
    ini += std::string("[") + report + "]\nOutput=" + (std::string(report) == "Csv" ? "CSV" : report) +
           "\nOutputFilename=" + report + ".out\nWhere=[Record Number] > 0\n" + kFields;
    if (std::string(report) == "Xml") ini += "HeaderFile=header.xml\nTrailerFile=trailer.xml\nXMLEscapeText=Yes\n";
    // The page's heading would carry the time of the run.
    if (std::string(report) == "Html") ini += "HtmlHeader=<h2>Closings</h2>\n";
  }
  ini += std::string("[Sql]\nOutput=SQLServer\n") + kFields +
         "DestinationDBConnectString=Provider=SQLOLEDB;Data Source=127.0.0.1," + std::to_string(port) +
         ";Initial Catalog=Closings;User ID=web;Password=pw\n";
  return ini;
}

// What the reports of one file gave: each output file, the printed lines of
// each page, and the SQL Server batches.
struct Reports {
  std::map<std::string, std::string> files;
  std::vector<std::vector<std::tuple<int, int, std::string>>> pages;
  std::vector<std::string> batches;
};

class FormatsTest : public testing::Test {
 protected:
  Reports Run(const std::string& format) {
    SCOPED_TRACE(format);
    TempDir dir;
    WriteFile(dir / "rows.jsonl", Rows());
    const RunResult w =
        RunProgram(MdbWriteBinary(), {"Vesk.mdb", "--format", format, "--jsonl", "rows.jsonl"}, dir.path());
    EXPECT_EQ(w.exit_code, 0) << w.err;
    WriteFile(dir / "header.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<feed>\n");
    WriteFile(dir / "trailer.xml", "</feed>\n");
    TdsTestServer server;
    WriteFile(dir / "TavrinReport.ini", Ini(server.port()));

    std::map<std::string, std::string> env = printers_.ClientEnv();
    for (const auto& [key, value] : odbc_.Environment()) env[key] = value;
    std::filesystem::remove(printers_.OutputOf("listing"));
    Reports out;
    for (const char* report : {"Csv", "Xml", "Html", "Printer", "Sql"}) {
      const RunResult r =
          RunProgram(ReportBinary(), {"--unattended", "--printer", "listing", report}, dir.path(), "", 60, env);
      EXPECT_EQ(r.exit_code, 0) << report << ":\n" << r.err;
    }
    for (const char* file : {"Csv.out", "Xml.out", "Html.out"})
      out.files[file] = FileExists(dir / file) ? ReadFile(dir / file) : "(missing)";
    EXPECT_TRUE(printers_.WaitForJobs()) << printers_.Log();
    for (const PrintedPage& page : ReadPrintedPages(printers_.OutputOf("listing"))) {
      out.pages.emplace_back();
      for (const PrintedWord& word : page.words)
        out.pages.back().emplace_back(static_cast<int>(word.x_min * 10), static_cast<int>(word.y_min * 10),
                                      word.text);
    }
    out.batches = server.Texts("batch");
    return out;
  }

  void SetUp() override { printers_.AddQueue("listing"); }

  PrintServer printers_;
  PrivateOdbcSetup odbc_;
};

TEST_F(FormatsTest, EveryAccessVersionGivesTheReportsOfAnAccess2000File) {
  const Reports jet4 = Run("jet4");
  // The baseline itself holds what the comparison is about.
  ASSERT_EQ(jet4.files.size(), 3u);
  for (const auto& [name, content] : jet4.files) {
    EXPECT_NE(content, "(missing)") << name;
    EXPECT_NE(content.find("Zoë's Café "), std::string::npos) << name;
  }
  EXPECT_NE(jet4.files.at("Csv.out").find(std::string(6000, 'p')), std::string::npos);
  EXPECT_EQ(jet4.pages.size(), 2u);
  EXPECT_GE(jet4.batches.size(), 45u);

  for (const char* format : {"jet3", "ace12", "ace14", "ace15", "ace16", "ace17"}) {
    SCOPED_TRACE(format);
    const Reports other = Run(format);
    for (const auto& [name, content] : jet4.files) EXPECT_EQ(other.files.at(name), content) << name;
    EXPECT_EQ(other.pages, jet4.pages);
    EXPECT_EQ(other.batches, jet4.batches);
  }
}

}  // namespace
}  // namespace tavrin::test
