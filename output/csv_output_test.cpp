#include "output/csv_output.h"

#include <gtest/gtest.h>

#include "output/output_test_support.h"

namespace tavrin {
namespace {

using namespace test;

TEST_F(ReportTest, CsvCellsAreQuotedUnchangedOrTrimmed) {
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

TEST_F(ReportTest, CsvWithoutFieldsOrRecordsIsEmpty) {
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

}  // namespace
}  // namespace tavrin
