#include "platform/ado/access/fetched_result.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/ado/access/reader_process.h"
#include "tools/jet4_writer.h"

namespace tavrin::ado::access {
namespace {

class Fetched : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = "/tmp/tavrin-fetched-XXXXXX";
    dir_ = mkdtemp(pattern.data());
    path_ = dir_ + "/Vesk.mdb";
    jet4::WriteSampleOrgFile(path_, 20, 5);
    whole_ = ReadAccessFile(path_, {{"Org"}, true}, *Env::Default(), {})[0];
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // The result of rows `order` of Org, read in part by its Status.
  std::unique_ptr<FetchedResult> Result(std::vector<uint32_t> order) {
    FileReading part =
        ReadAccessFileKept(path_, {{"Org"}, true, std::vector<std::string>{"Status"}}, *Env::Default(), {});
    return std::make_unique<FetchedResult>(part.tables[0], part.file, std::move(order), std::move(part.fetch),
                                           *Env::Default(), CancelCheck(), ReaderOptions());
  }

  // Every value of row `row` of the result, as text, against row `number`
  // of the whole table.
  void ExpectRow(FetchedResult& result, int64_t row, size_t number) {
    std::vector<CellView> cells;
    result.ReadRow(row, cells);
    ASSERT_EQ(cells.size(), whole_->columns.size());
    for (size_t c = 0; c < cells.size(); ++c) {
      const std::string want = whole_->Value(number, c).AsText();
      EXPECT_EQ(result.Value(row, static_cast<int>(c)).AsText(), want) << row << "," << c;
      EXPECT_EQ(cells[c].is_text ? std::string(cells[c].text) : cells[c].value.AsText(), want) << row << "," << c;
    }
  }

  std::string dir_;
  std::string path_;
  std::shared_ptr<StoredTable> whole_;
};

// Rows come whole in the result's order, forwards, again, and back (which
// starts the reading again from there).
TEST_F(Fetched, RowsAreTheWholeRowsInTheResultsOrder) {
  const std::vector<uint32_t> order = {7, 2, 19, 2, 0};
  auto result = Result(order);
  EXPECT_EQ(result->RowCount(), 5);
  EXPECT_EQ(result->Columns().size(), whole_->columns.size());
  for (int64_t r = 0; r < 5; ++r) ExpectRow(*result, r, order[static_cast<size_t>(r)]);
  ExpectRow(*result, 4, 0);
  ExpectRow(*result, 1, 2);
  ExpectRow(*result, 3, 2);
  EXPECT_TRUE(result->Value(5, 0).IsNull());  // outside the result
  EXPECT_TRUE(result->Value(0, 99).IsNull());
}

// Limited to some columns, the rows are read again with those and the ones
// the query named (Status), in every reading, forwards and back; the others
// are Null, and limiting once the rows are read changes nothing.
TEST_F(Fetched, LimitedColumnsAreReadAndTheOthersAreNull) {
  const std::vector<uint32_t> order = {7, 2, 19};
  auto result = Result(order);
  const auto& names = result->Columns();
  std::vector<bool> read(names.size(), false);
  size_t memo = names.size(), status = names.size();
  for (size_t c = 0; c < names.size(); ++c) {
    read[c] = names[c] == "Organization Name" || names[c] == "Event Kill Date";
    if (names[c] == "Permanent Notes") memo = c;
    if (names[c] == "Status") status = c;
  }
  ASSERT_LT(memo, names.size());
  ASSERT_LT(status, names.size());
  result->LimitColumns(read);
  read[status] = true;
  for (const int64_t r : {0, 1, 2, 0}) {
    const size_t number = order[static_cast<size_t>(r)];
    std::vector<CellView> cells;
    result->ReadRow(r, cells);
    ASSERT_EQ(cells.size(), names.size());
    for (size_t c = 0; c < names.size(); ++c) {
      const std::string want = read[c] ? whole_->Value(number, c).AsText() : std::string();
      EXPECT_EQ(result->Value(r, static_cast<int>(c)).IsNull(), !read[c] || whole_->Value(number, c).IsNull());
      EXPECT_EQ(result->Value(r, static_cast<int>(c)).AsText(), want) << r << "," << c;
      EXPECT_EQ(cells[c].is_text ? std::string(cells[c].text) : cells[c].value.AsText(), want) << r << "," << c;
    }
  }
  result->LimitColumns(std::vector<bool>(names.size(), true));
  EXPECT_TRUE(result->Value(0, static_cast<int>(memo)).IsNull());
}

// Once the file is written after the reading in part, the last row fails
// even when it is the same: the rows would not all be of one version.
TEST_F(Fetched, AFileWrittenSinceTheQueryFailsTheLastRow) {
  auto result = Result({3, 4});
  ExpectRow(*result, 0, 3);
  const timespec times[2] = {{0, UTIME_OMIT}, {1000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  std::vector<ErrorEntry> errors;
  try {
    result->Fetch(1, &errors);
    ADD_FAILURE() << "the last row did not fail";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), kDbConcurrencyViolation);
  }
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].description, "The database file '" + path_ + "' was changed while it was being read.");
  EXPECT_THROW(result->Value(1, 0), _com_error);
  ExpectRow(*result, 0, 3);  // a row before the last still reads
}

}  // namespace
}  // namespace tavrin::ado::access
