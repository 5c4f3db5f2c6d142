#include "output/xml_output.h"

#include <gtest/gtest.h>

#include "output/output_test_support.h"

namespace tavrin {
namespace {

using namespace test;

TEST_F(ReportTest, XmlBlocksBetweenHeaderAndTrailer) {
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

TEST_F(ReportTest, XmlWithoutFieldsOrRecords) {
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

TEST_F(ReportTest, MissingHeaderIsReportedAndTheReportGoesOn) {
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

TEST_F(ReportTest, MissingTrailerIsReportedAndTheOutputKept) {
  def().m_strOutput = "XML";
  def().m_strTrailerFile = dir / "no-trailer.txt";
  reader.records = {tagORG_INFO()};
  Generate();
  EXPECT_EQ(BoxTexts(), Texts{"Could not open " + dir / "no-trailer.txt" + " for reading"});
  EXPECT_EQ(host.status(), "Could not open " + dir / "no-trailer.txt" + " for reading");
  EXPECT_EQ(Output(), "    <name>\r\n        <status></status>\r\n    </name>\r\n");
}

}  // namespace
}  // namespace tavrin
