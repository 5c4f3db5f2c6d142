#include "output/report_generator.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include <gtest/gtest.h>

#include "output/output_test_support.h"
#include "output/field_values.h"
#include "output/report_output.h"

namespace tavrin {
namespace {

using namespace test;

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

// What each kind writes: its fields' columns (known names only, brackets
// and aliases as GetFieldValue takes them), the page's three, or all.
TEST(OrgColumnsReadTest, EachKindNamesTheColumnsItWrites) {
  TestDefinition definition;
  CReportDefinition& def = definition.def;
  for (const char* name : {"[Category]", "pin dode", "No Such Field", "EVENT KILL DATE"}) {
    FieldInfo field;
    field.strFieldName = name;
    def.m_FieldInfoArray.push_back(field);
  }
  const std::vector<std::string> fields = {"Category", "Pin Code", "Event Kill Date"};
  for (const char* kind : {"CSV", "Printer", "XML", "other"}) {
    def.m_strOutput = kind;
    EXPECT_EQ(OrgColumnsRead(def), fields) << kind;
  }
  def.m_strOutput = "HTML";
  EXPECT_EQ(OrgColumnsRead(def), (std::vector<std::string>{"Category", "Organization Name", "Status"}));
  def.m_strOutput = "SQLServer";
  EXPECT_EQ(OrgColumnsRead(def).size(), kOrgColumns.size());
}

TEST_F(ReportTest, StatusAndProgressPerRecordThenTheEnd) {
  const ReportOutcome outcome = CReportGenerator(def(), reader, host).GenerateReport();
  // A complete walk ends at "3 of 3", so that the log's progress reaches it.
  EXPECT_EQ(host.statuses,
            (Texts{"Processing 0 of 3", "Processing 1 of 3", "Processing 2 of 3", "Processing 3 of 3"}));
  EXPECT_EQ(host.positions, (std::vector<FakeRunHost::Position>{{0, 3}, {1, 3}, {2, 3}, {3, 3}}));
  EXPECT_EQ(host.progress, (std::vector<int>{0, 33, 66, 100}));
  EXPECT_EQ(reader.count_calls, 1);
  EXPECT_EQ(outcome.written, 3);
  EXPECT_EQ(outcome.destination, "written to " + def().m_strOutputFilename);

  FakeRunHost hundred_host;
  FakeOrgReader hundred(std::vector<tagORG_INFO>(100, Org("A", "Open")));
  CReportGenerator(def(), hundred, hundred_host).GenerateReport();
  ASSERT_EQ(hundred_host.progress.size(), 101u);
  EXPECT_EQ(hundred_host.progress[29], 28);  // the division comes first
  EXPECT_EQ(hundred_host.progress[99], 99);
}

TEST_F(ReportTest, UnknownFieldIsWarnedOfOnceWithTheClosestName) {
  def().m_strReportName = "Web";
  FieldInfo misspelt = Field("Stauts");
  misspelt.nNumber = 2;
  FieldInfo bracketed = Field("[Organizaton Name]");
  bracketed.nNumber = 3;
  def().m_FieldInfoArray = {Field("status"), misspelt, bracketed};
  Generate();
  EXPECT_EQ(host.notices,
            (Texts{"[Web] ReportField2 = \"Stauts\": no field has this name, so each of its cells says "
                   "\"VALUE NOT FOUND\"; did you mean \"Status\"?",
                   "[Web] ReportField3 = \"[Organizaton Name]\": no field has this name, so each of its "
                   "cells says \"VALUE NOT FOUND\"; did you mean \"Organization Name\"?"}));
  EXPECT_EQ(host.notice_severities, (std::vector<Severity>{Severity::kWarning, Severity::kWarning}));
  EXPECT_EQ(host.failures, 0);  // the report is still written, as before
  EXPECT_EQ(ClosestFieldName("TOWN/CITY"), "Town\\City");
  EXPECT_EQ(ClosestFieldName("pin dode"), "Pin Code");
}

TEST_F(ReportTest, OutputThatCannotBeCreatedCancelsTheReport) {
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
    // After the box, the log names the key and the reason.
    EXPECT_EQ(host.notices, Texts{"[] OutputFilename = \"" + dir / "missing/report.out" +
                                  "\": cannot be created: No such file or directory (folder " + dir / "missing" +
                                  " does not exist)"});
    EXPECT_EQ(host.notice_severities, std::vector<Severity>{Severity::kError});
  }
}

TEST_F(ReportTest, FailedReadEndsTheReportAsFarAsItGot) {
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

size_t EntryCount(const std::string& folder) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

TEST_F(ReportTest, StopDiscardsTheOutputUnderWayAndSaysWhatWasKept) {
  def().m_strReportName = "Daily";
  def().m_strOutput = "XML";
  def().m_strTrailerFile = dir / "trailer.txt";
  WriteWholeFile(def().m_strTrailerFile, "tail\n");
  const std::string path = def().m_strOutputFilename;
  const std::string stopped = "Daily: stopped before the report was finished; " + path;
  WriteWholeFile(path, "previous\r\n");

  StoppingReader stopping(host, 2);
  stopping.records.assign(5, Org("A", "Open"));
  CReportGenerator(def(), stopping, host).GenerateReport();
  EXPECT_EQ(stopping.reads, 2);  // the walk ended between two records
  EXPECT_EQ(Output(), "previous\r\n");
  EXPECT_EQ(EntryCount(dir.path()), 2u);  // the output and the trailer, no temporary file
  EXPECT_EQ(host.notices, Texts{stopped + " is kept as it was"});
  EXPECT_TRUE(host.boxes.empty());
  EXPECT_EQ(host.failures, 0);

  // A stop after the last record still discards: the trailer never came.
  host = FakeRunHost();
  std::filesystem::remove(path);
  StoppingReader last(host, 5);
  last.records.assign(5, Org("A", "Open"));
  CReportGenerator(def(), last, host).GenerateReport();
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(host.notices, Texts{stopped + " was not written"});

  // Stopped before the report began: no output is prepared at all.
  host = FakeRunHost();
  host.stop = true;
  WriteWholeFile(path, "previous\r\n");
  Generate();
  EXPECT_EQ(reader.count_calls, 0);
  EXPECT_EQ(Output(), "previous\r\n");
  EXPECT_EQ(host.notices, Texts{stopped + " is kept as it was"});
}

// A read that fails because the source changed meanwhile (here at the last
// record, where the provider finds a write it could not see in the rows)
// leaves the previous output, as a stop does, and the run fails saying why.
TEST_F(ReportTest, SourceChangedDuringTheWalkLeavesThePreviousOutput) {
  def().m_strReportName = "Daily";
  WriteWholeFile(def().m_strOutputFilename, "previous\r\n");
  reader.records.assign(4, Org("A", "Open"));
  reader.fail_read = 4;
  reader.changed = true;
  Generate();
  EXPECT_EQ(Output(), "previous\r\n");
  EXPECT_EQ(EntryCount(dir.path()), 1u);  // no temporary file left
  EXPECT_EQ(host.notices, (Texts{"Daily: the database changed while the report read it",
                                 "Daily: stopped before the report was finished; " + def().m_strOutputFilename +
                                     " is kept as it was"}));
  EXPECT_EQ(host.notice_severities.front(), Severity::kError);
  EXPECT_EQ(host.source_changes, 1);
  EXPECT_EQ(host.failures, 1);
  EXPECT_TRUE(host.boxes.empty());

  // Any other failed read still keeps what was written.
  host = FakeRunHost();
  reader.changed = false;
  reader.reads = 0;
  Generate();
  EXPECT_EQ(Output(), "\"Open\"\r\n\"Open\"\r\n\"Open\"\r\n");
  EXPECT_EQ(host.source_changes, 0);
}

// Looks at the output path while the report is half written: from inside the
// record source, so the look is certain to fall in the middle of the writing.
class PeekingReader : public FakeOrgReader {
 public:
  PeekingReader(std::string dir, std::string path, int peek_at)
      : dir_(std::move(dir)), path_(std::move(path)), peek_at_(peek_at) {}
  bool GetNextOrg(tagORG_INFO& org) override {
    if (reads + 1 == peek_at_) {
      seen_at_path = ReadWholeFile(path_);
      for (const auto& entry : std::filesystem::directory_iterator(dir_))
        if (entry.path().string() != path_) partial_bytes += entry.file_size();
    }
    return FakeOrgReader::GetNextOrg(org);
  }
  std::string seen_at_path;
  uintmax_t partial_bytes = 0;  // what the writer had put beside the path

 private:
  std::string dir_, path_;
  int peek_at_;
};

TEST_F(ReportTest, ReadersSeeTheOldFileUntilTheFinishedOneReplacesIt) {
  const std::string path = def().m_strOutputFilename;
  WriteWholeFile(path, "previous\r\n");
  def().m_FieldInfoArray = {Field("organization name"), Field("status"), Field("city")};
  PeekingReader peeking(dir.path(), path, 10000);
  for (int i = 0; i < 20000; ++i) {
    tagORG_INFO org = Org("Organization number " + std::to_string(i), i % 2 ? "Closed" : "Open");
    org.strCity = "Springfield";
    peeking.records.push_back(org);
  }
  CReportGenerator(def(), peeking, host).GenerateReport();
  // Half way the records written so far (far more than the write buffer)
  // were on disk beside the path, and the path still held the old file.
  EXPECT_EQ(peeking.seen_at_path, "previous\r\n");
  EXPECT_GT(peeking.partial_bytes, 200000u);
  const std::string final_text = Output();
  EXPECT_EQ(final_text.substr(0, 46), "\"Organization number 0\",\"Open\",\"Springfield\"\r\n");
  EXPECT_EQ(std::count(final_text.begin(), final_text.end(), '\n'), 20000);
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1u);  // nothing left beside it
}

}  // namespace
}  // namespace tavrin
