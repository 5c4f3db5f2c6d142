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

}  // namespace
}  // namespace tavrin::ado::access
