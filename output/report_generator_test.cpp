#include "output/report_generator.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "output/fake_org_reader.h"
#include "output/output_test_support.h"
#include "platform/fake_run_host.h"

namespace tavrin {
namespace {

using test::Exists;
using test::ReadWholeFile;
using test::WriteWholeFile;

tagORG_INFO Org(const std::string& name, const std::string& status) {
  tagORG_INFO org;
  org.strOrganizationName = name;
  org.strStatus = status;
  return org;
}

FieldInfo Field(const std::string& name, bool string_value = true) {
  FieldInfo field;
  field.strFieldName = name;
  field.bStringValue = string_value;
  field.strXMLDelimiterOpen = "<" + name + ">";
  field.strXMLDelimiterClose = "</" + name + ">";
  return field;
}

class ReportGeneratorTest : public testing::Test {
 protected:
  ReportGeneratorTest() {
    def().m_strOutput = "CSV";
    def().m_strOutputFilename = dir / "report.out";
    def().m_strRecordDelimiterOpen = "<name>\n";
    def().m_strRecordDelimiterClose = "</name>\n";
    def().m_FieldInfoArray = {Field("status")};
    reader.records = {Org("Adams", "Closed"), Org("Baker", "Open"), Org("Clark", "Delayed")};
  }

  CReportDefinition& def() { return definition.def; }
  void Generate() { CReportGenerator(def(), reader, host).GenerateReport(); }
  std::string Output() { return ReadWholeFile(def().m_strOutputFilename); }
  std::vector<std::string> BoxTexts() {
    std::vector<std::string> texts;
    for (const auto& box : host.boxes) {
      EXPECT_EQ(box.style, BoxStyle::kAppWarning);
      texts.push_back(box.text);
    }
    return texts;
  }

  test::ScratchDir dir;
  test::TestDefinition definition;
  FakeOrgReader reader;
  FakeRunHost host;
};

using Texts = std::vector<std::string>;

TEST(ParseOutputKindTest, KindsMatchIgnoringCaseAndDefaultToCsv) {
  EXPECT_EQ(ParseOutputKind("cSv"), OutputKind::kCsv);
  EXPECT_EQ(ParseOutputKind("PRINTER"), OutputKind::kPrinter);
  EXPECT_EQ(ParseOutputKind("sqlserver"), OutputKind::kSqlServer);
  EXPECT_EQ(ParseOutputKind("Html"), OutputKind::kHtml);
  EXPECT_EQ(ParseOutputKind("xMl"), OutputKind::kXml);
  EXPECT_EQ(ParseOutputKind("invalid"), OutputKind::kCsv);
  EXPECT_EQ(ParseOutputKind("XML "), OutputKind::kCsv);
  EXPECT_EQ(ParseOutputKind(""), OutputKind::kCsv);
}

TEST_F(ReportGeneratorTest, CsvCellsAreQuotedUnchangedOrTrimmed) {
  def().m_strOutput = "whatever";  // an unknown kind writes the delimited file
  def().m_FieldInfoArray = {Field("status"), Field("organization name", false), Field("city")};
  reader.records = {Org("  Adams, Elementary \t", "  Closed, all day  "),
                    Org("Two\nLines", "Line\nfeed"), Org("", "Cr\r\nLf")};
  reader.records[0].strCity = "x";
  Generate();
  EXPECT_EQ(Output(),
            "\"  Closed, all day  \",Adams, Elementary,\"x\"\r\n"
            "\"Line\r\nfeed\",Two\r\nLines,\"\"\r\n"
            "\"Cr\r\r\nLf\",,\"\"\r\n");
  EXPECT_TRUE(host.boxes.empty());
}

TEST_F(ReportGeneratorTest, StatusAndProgressPerRecord) {
  Generate();
  EXPECT_EQ(host.statuses, (Texts{"Processing 0 of 3", "Processing 1 of 3", "Processing 2 of 3"}));
  EXPECT_EQ(host.progress, (std::vector<int>{0, 33, 66}));
  EXPECT_EQ(reader.count_calls, 1);

  FakeRunHost hundred_host;
  FakeOrgReader hundred(std::vector<tagORG_INFO>(100, Org("A", "Open")));
  CReportGenerator(def(), hundred, hundred_host).GenerateReport();
  ASSERT_EQ(hundred_host.progress.size(), 100u);
  EXPECT_EQ(hundred_host.progress[29], 28);  // the division comes first
  EXPECT_EQ(hundred_host.progress[99], 99);
}

TEST_F(ReportGeneratorTest, CsvWithoutFieldsOrRecordsIsEmpty) {
  WriteWholeFile(def().m_strOutputFilename, "old contents");
  def().m_FieldInfoArray.clear();
  Generate();
  EXPECT_EQ(Output(), "");

  WriteWholeFile(def().m_strOutputFilename, "old contents");
  def().m_FieldInfoArray = {Field("status")};
  reader.records.clear();
  host = FakeRunHost();
  Generate();
  EXPECT_EQ(Output(), "");
  EXPECT_EQ(host.statuses, Texts{});
}

TEST_F(ReportGeneratorTest, XmlBlocksBetweenHeaderAndTrailer) {
  def().m_strOutput = "Xml";
  def().m_strHeaderFile = dir / "header.txt";
  def().m_strTrailerFile = dir / "trailer.txt";
  WriteWholeFile(def().m_strHeaderFile, "<?xml?>\n\n<list>");  // empty line, no last line end
  WriteWholeFile(def().m_strTrailerFile, "</list>\r\n<!-- end -->\r\n");
  FieldInfo name = Field("organization name");
  name.strXMLDelimiterOpen = "[";
  name.strXMLDelimiterClose = "]";
  def().m_FieldInfoArray = {Field("status"), name};
  reader.records = {Org(" A&B <1> ", "\tClosed "), Org("Clark", "Open")};
  Generate();
  EXPECT_EQ(Output(),
            "<?xml?>\r\n\r\n<list>\r\n"
            "    <name>\r\n"
            "        <status>Closed</status>\r\n"
            "        [A&B <1>]\r\n"
            "    </name>\r\n"
            "    <name>\r\n"
            "        <status>Open</status>\r\n"
            "        [Clark]\r\n"
            "    </name>\r\n"
            "</list>\r\n<!-- end -->\r\n");
  EXPECT_TRUE(host.boxes.empty());
}

TEST_F(ReportGeneratorTest, XmlWithoutFieldsOrRecords) {
  def().m_strOutput = "XML";
  def().m_strHeaderFile = dir / "header.txt";
  def().m_strTrailerFile = dir / "trailer.txt";
  WriteWholeFile(def().m_strHeaderFile, "head\r\n");
  WriteWholeFile(def().m_strTrailerFile, "tail\r");  // a CR not before a line feed stays
  def().m_FieldInfoArray.clear();
  reader.records = {tagORG_INFO()};
  Generate();
  EXPECT_EQ(Output(), "head\r\n    <name>\r\n    </name>\r\ntail\r\r\n");

  reader.records.clear();
  Generate();
  EXPECT_EQ(Output(), "head\r\ntail\r\r\n");
}

TEST_F(ReportGeneratorTest, MissingHeaderIsReportedAndTheReportGoesOn) {
  def().m_strOutput = "XML";
  def().m_strHeaderFile = dir / "no-header.txt";
  def().m_strTrailerFile = dir / "trailer.txt";
  WriteWholeFile(def().m_strTrailerFile, "tail\n");
  reader.records = {Org("A", "Open")};
  Generate();
  EXPECT_EQ(BoxTexts(), Texts{"Could not open " + dir / "no-header.txt" + " for reading"});
  EXPECT_EQ(host.statuses.front(), "Could not open " + dir / "no-header.txt" + " for reading");
  EXPECT_EQ(Output(), "    <name>\r\n        <status>Open</status>\r\n    </name>\r\ntail\r\n");
}

TEST_F(ReportGeneratorTest, MissingTrailerIsReportedAndTheOutputKept) {
  def().m_strOutput = "XML";
  def().m_strTrailerFile = dir / "no-trailer.txt";
  reader.records = {tagORG_INFO()};
  Generate();
  EXPECT_EQ(BoxTexts(), Texts{"Could not open " + dir / "no-trailer.txt" + " for reading"});
  EXPECT_EQ(host.status(), "Could not open " + dir / "no-trailer.txt" + " for reading");
  EXPECT_EQ(Output(), "    <name>\r\n        <status></status>\r\n    </name>\r\n");
}

TEST_F(ReportGeneratorTest, OutputThatCannotBeCreatedCancelsTheReport) {
  for (const char* kind : {"CSV", "XML"}) {
    host = FakeRunHost();
    def().m_strOutput = kind;
    def().m_strOutputFilename = dir / "missing/report.out";
    def().m_strHeaderFile = dir / "header.txt";
    WriteWholeFile(def().m_strHeaderFile, "head\n");
    Generate();
    const std::string text = "Could not open " + dir / "missing/report.out" + " for output - report canceled";
    EXPECT_EQ(BoxTexts(), Texts{text});
    EXPECT_EQ(host.statuses, Texts{text});
    EXPECT_EQ(reader.reads, 0);
  }
}

TEST_F(ReportGeneratorTest, KindsNotAvailableShowOneBoxAndWriteNothing) {
  def().m_strOutput = "printer";
  Generate();
  def().m_strOutput = "SQLServer";
  Generate();
  EXPECT_EQ(BoxTexts(),
            (Texts{"Output kind \"Printer\" is not available in this version - report canceled",
                   "Output kind \"SQLServer\" is not available in this version - report canceled"}));
  EXPECT_EQ(reader.reads, 0);
  EXPECT_FALSE(Exists(def().m_strOutputFilename));
}

TEST_F(ReportGeneratorTest, FailedReadEndsTheReportAsFarAsItGot) {
  reader.records.assign(5, Org("A", "Open"));
  reader.fail_read = 3;
  Generate();
  EXPECT_EQ(Output(), "\"Open\"\r\n\"Open\"\r\n");
  EXPECT_EQ(host.status(), "Processing 2 of 5");
  EXPECT_TRUE(host.boxes.empty());

  def().m_strOutput = "XML";
  def().m_strTrailerFile = dir / "trailer.txt";
  WriteWholeFile(def().m_strTrailerFile, "tail\n");
  FakeOrgReader failing(std::vector<tagORG_INFO>(5, Org("A", "Open")));
  failing.fail_read = 3;
  CReportGenerator(def(), failing, host).GenerateReport();
  const std::string block = "    <name>\r\n        <status>Open</status>\r\n    </name>\r\n";
  EXPECT_EQ(Output(), block + block);
  EXPECT_TRUE(host.boxes.empty());
}

// Asks the run to stop when the given read is made.
class StoppingReader : public FakeOrgReader {
 public:
  StoppingReader(FakeRunHost& host, int stop_at) : host_(host), stop_at_(stop_at) {}
  bool GetNextOrg(tagORG_INFO& org) override {
    const bool ok = FakeOrgReader::GetNextOrg(org);
    if (reads == stop_at_) host_.stop = true;
    return ok;
  }

 private:
  FakeRunHost& host_;
  int stop_at_;
};

TEST_F(ReportGeneratorTest, StopRequestEndsTheWalkBetweenRecords) {
  def().m_strOutput = "XML";
  def().m_strTrailerFile = dir / "trailer.txt";
  WriteWholeFile(def().m_strTrailerFile, "tail\n");
  StoppingReader stopping(host, 2);
  stopping.records.assign(5, Org("A", "Open"));
  CReportGenerator(def(), stopping, host).GenerateReport();
  const std::string block = "    <name>\r\n        <status>Open</status>\r\n    </name>\r\n";
  EXPECT_EQ(Output(), block + block);
  EXPECT_EQ(stopping.reads, 2);
}

TEST_F(ReportGeneratorTest, ReadersSeeTheOldFileOrTheFinishedOneOnly) {
  const std::string path = def().m_strOutputFilename;
  WriteWholeFile(path, "previous\r\n");
  def().m_FieldInfoArray = {Field("organization name"), Field("status"), Field("city")};
  reader.records.clear();
  for (int i = 0; i < 20000; ++i) {
    tagORG_INFO org = Org("Organization number " + std::to_string(i), i % 2 ? "Closed" : "Open");
    org.strCity = "Springfield";
    reader.records.push_back(org);
  }
  std::atomic<bool> done{false};
  std::set<std::string> seen;
  int reads_during_report = 0;
  std::thread watcher([&] {
    while (!done) {
      const std::string text = ReadWholeFile(path);
      ++reads_during_report;
      if (seen.size() < 5) seen.insert(text);
    }
  });
  Generate();
  done = true;
  watcher.join();
  const std::string final_text = Output();
  const std::string first_line = "\"Organization number 0\",\"Open\",\"Springfield\"\r\n";
  EXPECT_EQ(final_text.substr(0, first_line.size()), first_line);
  EXPECT_EQ(std::count(final_text.begin(), final_text.end(), '\n'), 20000);
  EXPECT_GT(reads_during_report, 0);
  for (const std::string& text : seen) {
    EXPECT_TRUE(text == "previous\r\n" || text == final_text) << "saw " << text.size() << " bytes";
  }
}

}  // namespace
}  // namespace tavrin
