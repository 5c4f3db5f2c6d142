#include "config/report_definition.h"

#include <gtest/gtest.h>

#include "platform/env/fake_env.h"
#include "platform/profile/fake_profile.h"
#include "run/fake_run_host.h"

namespace tavrin {
namespace {

const char kIni[] = "/w/TavrinReport.ini";

class ReportDefinitionTest : public ::testing::Test {
 protected:
  ReportDefinitionTest() : env_(1709647509, "/w"), ini_(&store_), def_(ini_, env_) {
    def_.m_strIniFile = kIni;
    def_.m_strWorkDir = "/w";
    def_.m_strReportName = "Daily";
  }

  void Set(const std::string& key, const std::string& value) {
    store_.Set("Daily", key, value, kIni);
  }
  std::optional<std::string> Stored(const std::string& key) {
    return store_.Find("Daily", key, kIni);
  }

  FakeProfileStore store_;
  FakeEnv env_;
  CIni2 ini_;
  FakeRunHost host_;
  CReportDefinition def_;
};

TEST_F(ReportDefinitionTest, NewReportWritesEveryDefaultAndIsRefused) {
  EXPECT_FALSE(def_.LoadReportDefinition(host_));
  EXPECT_EQ(Stored("Where"), "ALL");
  EXPECT_EQ(Stored("Output"), "INVALID");
  EXPECT_EQ(Stored("OutputFilename"), "/w/Daily-Report.csv");
  EXPECT_EQ(Stored("HeaderFile"), "");
  EXPECT_EQ(Stored("TrailerFile"), "");
  EXPECT_EQ(Stored("RecordDelimiterOpen"), "<name>");
  EXPECT_EQ(Stored("RecordDelimiterClose"), "</name>");
  EXPECT_EQ(Stored("XMLDateFormatComment"),
            "Possible Values Old, Vibes, YYYY/DD/MM, MM/DD/YYYY, YYYY-MM-DD HH:MM:SS");
  EXPECT_EQ(Stored("XMLDateFormat"), "Old");
  EXPECT_EQ(Stored("DataPath"), "/w/Vesk.mdb");
  EXPECT_EQ(Stored("DestinationDBConnectString"), "NONE");
  for (int n = 1; n <= 24; ++n) EXPECT_EQ(Stored("ReportField" + std::to_string(n)), "!BLANK!");
  EXPECT_FALSE(Stored("ReportField25").has_value());
  EXPECT_FALSE(Stored("ReportFieldLength1").has_value());
  EXPECT_FALSE(Stored("HtmlOpen").has_value());
  EXPECT_FALSE(Stored("XMLEscapeText").has_value());  // read, never written back
  EXPECT_FALSE(def_.m_bXMLEscapeText);
  EXPECT_EQ(store_.Find("TavrinReportGenerator", "Output-Year-First", kIni), "No");

  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].text,
            "Either a non-existant report has been selected or no Output method has been\n"
            "configured.  The program will now exit.\n"
            "Valid output types are: SQLServer (internet), CSV (for reports) or Printer.");
  EXPECT_EQ(host_.boxes[0].style, BoxStyle::kAppWarning);
  EXPECT_EQ(host_.failures, 0);  // refused, not failed: the program ends
  EXPECT_EQ(ini_.section(), "Daily");
  EXPECT_EQ(ini_.file(), kIni);
}

TEST_F(ReportDefinitionTest, WorkingFolderTooLongForAMissingPathKeysDefaultIsRefused) {
  // "/Vesk.mdb" fits where "/Daily-Report.csv" does not: each key counts.
  def_.m_strWorkDir = "/" + std::string(285, 'w');
  Set("Output", "CSV");
  ini_.SetNoticeSink([](const std::string&) {});
  EXPECT_FALSE(def_.LoadReportDefinition(host_));
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].text,
            "The working folder is too long for the default of OutputFilename, \"" + def_.m_strWorkDir +
                "/Daily-Report.csv\", which is longer than 299 bytes.\nName the file in the INI or "
                "run the report from a shorter folder.  The program will now exit.");
  EXPECT_FALSE(Stored("OutputFilename").has_value());

  Set("OutputFilename", "/out/daily.csv");
  CIni2 fresh(&store_);
  CReportDefinition def(fresh, env_);
  def.m_strIniFile = kIni;
  def.m_strWorkDir = def_.m_strWorkDir;
  def.m_strReportName = "Daily";
  FakeRunHost host;
  EXPECT_TRUE(def.LoadReportDefinition(host));
  EXPECT_EQ(def.m_strOutputFilename, "/out/daily.csv");
  EXPECT_EQ(Stored("DataPath"), def_.m_strWorkDir + "/Vesk.mdb");
}

TEST_F(ReportDefinitionTest, XmlEscapingIsAskedForWithYes) {
  Set("Output", "XML");
  Set("XMLEscapeText", "yes");
  EXPECT_TRUE(def_.LoadReportDefinition(host_));
  EXPECT_TRUE(def_.m_bXMLEscapeText);
  EXPECT_EQ(Stored("XMLEscapeText"), "yes");
}

TEST_F(ReportDefinitionTest, LowerCaseInvalidIsNotRefused) {
  Set("Output", "invalid");
  EXPECT_TRUE(def_.LoadReportDefinition(host_));
  EXPECT_TRUE(host_.boxes.empty());
}

TEST_F(ReportDefinitionTest, FieldListSkipsBlanksAndBuildsDelimitersFromNames) {
  Set("Output", "XML");
  Set("ReportField1", "organization name");
  Set("ReportField2", "[organization name]");
  Set("ReportField3", "!BLANK!");
  Set("ReportField4", "");
  Set("ReportField5", "!blank!");
  Set("ReportField25", "status");
  Set("ReportFieldXMLDelimiterOpen5", "<x>");
  Set("ReportFieldLength1", "abc");
  Set("ReportFieldLength2", "20");
  Set("ReportFieldSort1", "true");
  Set("ReportFieldSort2", "1");
  Set("ReportFieldSort4", "no");
  Set("ReportFieldRepeat1", "No");
  Set("ReportFieldStringValue2", "Off");
  ASSERT_TRUE(def_.LoadReportDefinition(host_));
  const auto& f = def_.m_FieldInfoArray;
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0].strFieldName, "organization name");
  EXPECT_EQ(f[0].strXMLDelimiterOpen, "<organization name>");
  EXPECT_EQ(f[0].strXMLDelimiterClose, "</organization name>");
  EXPECT_EQ(f[0].nLength, 0);
  EXPECT_TRUE(f[0].bSort);
  EXPECT_FALSE(f[0].bRepeat);
  EXPECT_TRUE(f[0].bStringValue);
  EXPECT_EQ(f[1].strXMLDelimiterOpen, "<[organization name]>");
  EXPECT_EQ(f[1].strXMLDelimiterClose, "</[organization name]>");
  EXPECT_EQ(f[1].nLength, 20);
  EXPECT_TRUE(f[1].bSort);
  EXPECT_FALSE(f[1].bStringValue);
  EXPECT_EQ(f[2].strFieldName, "");
  EXPECT_EQ(f[2].strXMLDelimiterOpen, "<>");
  EXPECT_EQ(f[2].strXMLDelimiterClose, "</>");
  EXPECT_FALSE(f[2].bSort);
  EXPECT_EQ(f[3].strFieldName, "!blank!");
  EXPECT_EQ(f[3].nNumber, 5);  // the key it came from
  EXPECT_EQ(f[3].strXMLDelimiterOpen, "<x>");
  // Missing companions are written back as their defaults, the delimiters
  // as the placeholder rather than the tag built from the name.
  EXPECT_EQ(Stored("ReportFieldXMLDelimiterOpen1"), "!BLANK!");
  EXPECT_EQ(Stored("ReportFieldRepeat2"), "Yes");
  EXPECT_EQ(Stored("ReportFieldSort5"), "No");
  EXPECT_FALSE(Stored("ReportFieldLength3").has_value());
  EXPECT_EQ(def_.m_strRecordDelimiterOpen, "<name>\n");
  EXPECT_EQ(def_.m_strRecordDelimiterClose, "</name>\n");
}

TEST_F(ReportDefinitionTest, DateStyles) {
  EXPECT_EQ(CReportDefinition::ResolveDateStyle("vibes", false), 3);
  EXPECT_EQ(CReportDefinition::ResolveDateStyle("yyyy-mm-dd hh:mm:ss", false), 3);
  EXPECT_EQ(CReportDefinition::ResolveDateStyle("YYYY/DD/MM", false), 1);
  EXPECT_EQ(CReportDefinition::ResolveDateStyle("mm/dd/yyyy", true), 2);
  EXPECT_EQ(CReportDefinition::ResolveDateStyle("Old", false), 2);
  EXPECT_EQ(CReportDefinition::ResolveDateStyle("Old", true), 1);
  EXPECT_EQ(CReportDefinition::ResolveDateStyle("DD/MM/YYYY", false), 2);
  EXPECT_EQ(CReportDefinition::ResolveDateStyle("DD/MM/YYYY", true), 1);

  Set("Output", "CSV");
  store_.Set("TavrinReportGenerator", "Output-Year-First", "Yes", kIni);
  ASSERT_TRUE(def_.LoadReportDefinition(host_));
  EXPECT_TRUE(def_.m_bOutputYearFirst);
  EXPECT_EQ(def_.m_nXMLDateFormat, 1);
}

TEST_F(ReportDefinitionTest, HeadingMarkersAreReplacedOnceEach) {
  std::tm when{};
  when.tm_year = 124;
  when.tm_mon = 2;
  when.tm_mday = 5;
  when.tm_hour = 14;
  when.tm_min = 5;
  when.tm_sec = 9;
  EXPECT_EQ(CReportDefinition::SubstituteHeading("*DATE* *TIME*", when),
            "March 05, 2024 02:05:09 PM");
  EXPECT_EQ(CReportDefinition::SubstituteHeading("*DATE**DATE* *TIME**TIME*", when),
            "March 05, 2024*DATE* 02:05:09 PM*TIME*");
  EXPECT_EQ(CReportDefinition::SubstituteHeading("no markers", when), "no markers");
}

TEST_F(ReportDefinitionTest, HtmlKeysAreReadForHtmlInAnyCaseEvenWithoutFields) {
  Set("Output", "Html");
  ASSERT_TRUE(def_.LoadReportDefinition(host_));
  EXPECT_TRUE(def_.m_FieldInfoArray.empty());
  EXPECT_EQ(def_.m_strHtmlHeader,
            "<h2><font color=\"#FF0000\">On-Air report for March 05, 2024 at 02:05:09 PM "
            "</font></h2>");
  // The text with its markers is what is written back.
  EXPECT_EQ(Stored("HtmlHeader"),
            "<h2><font color=\"#FF0000\">On-Air report for *DATE* at *TIME* </font></h2>");
  EXPECT_EQ(Stored("HtmlBodyOpen"), "<body bgcolor=\"#C0C0C0\">");
  EXPECT_EQ(def_.m_strHtmlOrgStatusOpen, "<p><font color=\"#0000FF\">");
  EXPECT_EQ(def_.m_strHtmlCategoryClose, "</u></font></h4>");

  // A later load in the same program takes cached values, but the heading's
  // date and time are those of the new load.
  Set("Where", "Status = 'Closed'");
  env_.Advance(3600);
  ASSERT_TRUE(def_.LoadReportDefinition(host_));
  EXPECT_EQ(def_.m_strWhere, "ALL");
  EXPECT_NE(def_.m_strHtmlHeader.find("03:05:09 PM"), std::string::npos);
}

// Passes everything to a fake store and keeps the section of every write.
class SectionRecordingStore : public ProfileStore {
 public:
  explicit SectionRecordingStore(FakeProfileStore& store) : store_(store) {}
  std::string GetString(const std::string& section, const std::string& key,
                        const std::string& default_value, const std::string& file) override {
    return store_.GetString(section, key, default_value, file);
  }
  bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                   const std::string& file) override {
    written_sections.push_back(section);
    return store_.WriteString(section, key, value, file);
  }
  std::vector<std::string> written_sections;

 private:
  FakeProfileStore& store_;
};

TEST_F(ReportDefinitionTest, PathKeysAreUsedMappedAndKeptAsWritten) {
  SectionRecordingStore recording(store_);
  CIni2 ini(&recording);
  CReportDefinition def(ini, env_);
  def.m_strIniFile = kIni;
  def.m_strWorkDir = "/w";
  def.m_strReportName = "Daily";
  Set("Output", "XML");
  Set("DataPath", "C:\\Closings\\Vesk.mdb");
  Set("OutputFilename", "\\\\webserver\\wwwroot\\feed.xml");
  Set("HeaderFile", "xml\\head.xml");
  Set("TrailerFile", "D:\\Feeds\\tail.xml");
  store_.Set("Path Mapping", "c:/closings", "/srv/closings", kIni);
  store_.Set("Path Mapping", "\\\\WebServer\\WWWRoot\\", "/var/www/html/", kIni);
  ASSERT_TRUE(def.LoadReportDefinition(host_));

  EXPECT_EQ(def.m_strDataPath, "/srv/closings/Vesk.mdb");
  EXPECT_EQ(def.m_DataPathKey.value, "C:\\Closings\\Vesk.mdb");
  EXPECT_EQ(def.m_DataPathKey.mapping, "C:/Closings");
  EXPECT_EQ(def.m_strOutputFilename, "/var/www/html/feed.xml");
  EXPECT_EQ(def.m_OutputFilenameKey.key, "OutputFilename");
  EXPECT_EQ(def.m_strHeaderFile, "xml/head.xml");
  EXPECT_TRUE(def.m_HeaderFileKey.mapping.empty());
  EXPECT_FALSE(def.m_TrailerFileKey.usable());
  EXPECT_EQ(def.m_strTrailerFile, "D:\\Feeds\\tail.xml");  // as written: never opened

  // The INI says what it said; the defaults are written back as ever, and
  // nothing goes to the mapping section, found or not.
  EXPECT_EQ(Stored("DataPath"), "C:\\Closings\\Vesk.mdb");
  EXPECT_EQ(Stored("OutputFilename"), "\\\\webserver\\wwwroot\\feed.xml");
  EXPECT_EQ(Stored("HeaderFile"), "xml\\head.xml");
  EXPECT_EQ(Stored("Where"), "ALL");
  EXPECT_FALSE(recording.written_sections.empty());
  for (const std::string& section : recording.written_sections) EXPECT_NE(section, kPathMappingSection);

  def.NoticeRefusal(host_, def.m_DataPathKey);
  EXPECT_TRUE(host_.notices.empty());
  def.NoticeRefusal(host_, def.m_TrailerFileKey);
  ASSERT_EQ(host_.notices.size(), 1u);
  EXPECT_EQ(host_.notices[0],
            "[Daily] TrailerFile = \"D:\\Feeds\\tail.xml\": a Windows path, which cannot be used "
            "here: add a line such as D:\\Feeds=/srv/feeds to the section [Path Mapping]");
  EXPECT_EQ(host_.notice_severities[0], Severity::kError);
}

// The source a watcher looks at is the one the load opens, found without
// writing anything: a missing key stays missing, and the current section
// is left as it was.
TEST_F(ReportDefinitionTest, SourceOfIsTheLoadsDataPathReadWithoutWriting) {
  ini_.SetSection("Report Schedule");
  EXPECT_EQ(def_.SourceOf("Daily").path, "/w/Vesk.mdb");
  EXPECT_EQ(Stored("DataPath"), std::nullopt);
  EXPECT_EQ(ini_.section(), "Report Schedule");

  Set("Output", "CSV");
  Set("DataPath", "C:\\Closings\\Vesk.mdb");
  store_.Set("Path Mapping", "C:\\Closings", "/srv/closings", kIni);
  const IniPath source = def_.SourceOf("Daily");
  ASSERT_TRUE(def_.LoadReportDefinition(host_));
  EXPECT_EQ(source.path, "/srv/closings/Vesk.mdb");
  EXPECT_EQ(source.path, def_.m_strDataPath);
}

}  // namespace
}  // namespace tavrin
