#include "platform/ado/access/stored_table.h"

#include <gtest/gtest.h>

#include "platform/ado/oledate.h"

namespace tavrin::ado::access {
namespace {

// A table of every kind of cell, its rows of different lengths.
std::shared_ptr<StoredTable> Mixed() {
  auto table = std::make_shared<StoredTable>();
  table->columns = {{"Id", Tag::kLong}, {"Name", Tag::kText}, {"When", Tag::kDate}, {"Note", Tag::kText}};
  RowBuilder row;
  for (int i = 0; i < 3; ++i) {
    row.Clear();
    row.AddNumber(Tag::kLong, i);
    row.AddText(std::string(static_cast<size_t>(i) * 40, 'a' + static_cast<char>(i)));
    i == 1 ? row.AddNull() : row.AddNumber(Tag::kDate, OleDateToLinear(-1.25 + i));
    row.AddText("note " + std::to_string(i));
    table->AddRow(row.cells());
  }
  table->Finish();
  return table;
}

TEST(StoredResult, ARowReadWholeGivesWhatEachCellReadAloneGives) {
  StoredResult result(Mixed(), {2, 0}, true);
  std::vector<CellView> cells;
  for (int64_t row = 0; row < result.RowCount(); ++row) {
    result.ReadRow(row, cells);
    ASSERT_EQ(cells.size(), 4u);
    for (size_t c = 0; c < 4; ++c) {
      const Variant alone = result.Value(row, static_cast<int>(c));
      if (cells[c].is_text) {
        EXPECT_EQ(cells[c].text, alone.AsText()) << row << "," << c;
      } else {
        EXPECT_EQ(cells[c].value.IsNull(), alone.IsNull());
        EXPECT_EQ(cells[c].value.AsText(), alone.AsText()) << row << "," << c;
      }
    }
  }
  result.ReadRow(0, cells);  // picked row 2
  EXPECT_EQ(cells[0].value.AsLong(), 2);
  EXPECT_EQ(cells[1].text, std::string(80, 'c'));
  EXPECT_DOUBLE_EQ(cells[2].value.AsDate(), 0.75);
  EXPECT_EQ(cells[3].text, "note 2");
}

std::string Row(std::string_view status, double number) {
  RowBuilder row;
  row.AddText(status);
  row.AddNumber(Tag::kDouble, number);
  return std::string(row.cells());
}

TEST(StoredTable, RowsAlikeByteForByteShareOneCopyAndNoOthers) {
  StoredTable table;
  table.columns = {{"Status", Tag::kText}, {"Value", Tag::kDouble}};
  table.AddRow(Row("Open", 1));  // before sharing: stays alone
  table.ShareAlikeRows();
  const std::vector<std::string> rows = {Row("Open", 1),    Row("Closed", 1), Row("Open", 1),  Row("Open", -0.0),
                                         Row("Open", 0.0),  Row("Ope", 1),    Row("Closed", 1), Row("Open", -0.0)};
  for (const std::string& row : rows) table.AddRow(row);
  table.Finish();
  ASSERT_EQ(table.rows(), rows.size() + 1);
  EXPECT_NE(table.RowStart(0), table.RowStart(1));
  EXPECT_EQ(table.RowStart(1), table.RowStart(3));
  EXPECT_EQ(table.RowStart(2), table.RowStart(7));
  EXPECT_EQ(table.RowStart(4), table.RowStart(8));
  // -0 and +0 compare equal but are not the same bytes; a prefix is not a row.
  EXPECT_NE(table.RowStart(4), table.RowStart(5));
  EXPECT_NE(table.RowStart(1), table.RowStart(6));
  for (size_t r = 0; r < rows.size(); ++r) {
    const char* p = table.RowStart(r + 1);
    std::string got(p, static_cast<size_t>(StoredTable::Skip(StoredTable::Skip(p)) - p));
    EXPECT_EQ(got, rows[r]) << r;
  }
}

TEST(StoredTable, RowsOfNoCellsShareToo) {
  // A table read for its rows' places only: every row is empty.
  StoredTable table;
  table.columns = {{"Status", Tag::kText, false}};
  table.ShareAlikeRows();
  for (int i = 0; i < 3; ++i) table.AddRow({});
  table.Finish();
  EXPECT_EQ(table.rows(), 3u);
  EXPECT_EQ(table.RowStart(0), table.RowStart(2));
}

TEST(StoredTable, ATableOfTooManyDifferentRowsStoresThemAloneAndKeepsThemWhole) {
  StoredTable table;
  table.columns = {{"Status", Tag::kText}, {"Value", Tag::kDouble}};
  table.ShareAlikeRows();
  const size_t different = StoredTable::kMostAlikeRows + 100;
  std::vector<double> values;
  for (size_t i = 0; i < different; ++i) {
    values.push_back(static_cast<double>(i));
    // An early row again, after the table made room for more rows: shared
    // while the table still remembers its rows.
    if (i == 5000) values.push_back(3);
  }
  values.push_back(0);
  for (const double v : values) table.AddRow(Row("Open", v));
  table.Finish();
  ASSERT_EQ(table.rows(), values.size());
  EXPECT_EQ(table.RowStart(3), table.RowStart(5001));
  EXPECT_NE(table.RowStart(0), table.RowStart(values.size() - 1));
  for (size_t i = 0; i < values.size(); ++i) ASSERT_EQ(table.Get(i, 1).number, values[i]) << i;
}

}  // namespace
}  // namespace tavrin::ado::access
