#include "platform/ado/access/table_reader.h"

#include <fcntl.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/ado/access/failure.h"
#include "platform/fs/fd.h"
#include "tools/jet4_writer.h"

namespace tavrin::ado::access {
namespace {

// What a reading handed its sink.
struct Received : TableSink {
  std::string name;
  std::vector<ColumnInfo> columns;
  bool placed = false;
  std::vector<std::string> rows;
  std::vector<uint64_t> places;
  uint64_t ended = UINT64_MAX;
  std::string failure;

  void BeginTable(const std::string& n, const std::vector<ColumnInfo>& c, bool p) override {
    name = n;
    columns = c;
    placed = p;
  }
  void Row(std::string_view cells, uint64_t place) override {
    rows.emplace_back(cells);
    places.push_back(place);
  }
  void EndTable(uint64_t count) override { ended = count; }
};

class TableReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = "/tmp/tavrin-table-XXXXXX";
    dir_ = mkdtemp(pattern.data());
    path_ = dir_ + "/Vesk.mdb";
    jet4::WriteSampleOrgFile(path_, 30, 2);
    std::ifstream in(path_, std::ios::binary);
    image_.assign(std::istreambuf_iterator<char>(in), {});
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs `read` on a reader of the file (libmdb's output captured only
  // meanwhile, so that the test's own output is not).
  Received Read(const std::function<void(MdbReader&, Received&)>& read) {
    Received got;
    const fs::UniqueFd fd(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    try {
      const FileFacts facts = CheckFile(fd.get(), path_);
      OutputCapture capture;
      MdbReader reader(reinterpret_cast<const unsigned char*>(image_.data()), facts, path_, capture);
      reader.ReadCatalog();
      read(reader, got);
    } catch (const ProviderFailure& f) {
      got.failure = f.description;
    }
    return got;
  }

  std::string dir_;
  std::string path_;
  std::string image_;
};

TEST_F(TableReaderTest, WholeTablesTheirColumnsOnlyAndFailures) {
  const Received whole = Read([](MdbReader& r, Received& s) { r.ReadTable("org", {true}, s); });
  EXPECT_EQ(whole.failure, "");
  EXPECT_EQ(whole.name, "Org");
  EXPECT_FALSE(whole.placed);
  EXPECT_EQ(whole.columns.size(), jet4::OrgColumns().size());
  ASSERT_EQ(whole.rows.size(), 30u);
  EXPECT_EQ(whole.ended, 30u);
  for (const std::string& row : whole.rows) EXPECT_EQ(StoredTable::RowLength(row, whole.columns.size()), row.size());
  const char* first = whole.rows[0].data();
  EXPECT_EQ(StoredTable::ReadCell(first).number, 1);  // Record Number

  const Received columns = Read([](MdbReader& r, Received& s) { r.ReadTable("Org", {false}, s); });
  EXPECT_EQ(columns.columns.size(), whole.columns.size());
  EXPECT_TRUE(columns.rows.empty());
  EXPECT_EQ(columns.ended, 0u);

  const Received missing = Read([](MdbReader& r, Received& s) { r.ReadTable("Missing", {true}, s); });
  EXPECT_EQ(missing.failure, NoTable("Missing").description);
}

// A reading in part sends the keys with each row's place; the rows read
// again at those places, in any order, are those of the whole reading.
TEST_F(TableReaderTest, RowsReadAgainAtTheirPlacesAreTheWholeRows) {
  const std::vector<std::string> keys = {"STATUS"};
  const Received part = Read([&](MdbReader& r, Received& s) { r.ReadTable("Org", {true, &keys}, s); });
  ASSERT_EQ(part.rows.size(), 30u);
  EXPECT_TRUE(part.placed);
  size_t loaded = 0;
  for (const ColumnInfo& c : part.columns) loaded += c.loaded;
  EXPECT_EQ(loaded, 1u);
  for (const std::string& row : part.rows) EXPECT_EQ(StoredTable::RowLength(row, 1), row.size());

  const Received whole = Read([](MdbReader& r, Received& s) { r.ReadTable("Org", {true}, s); });
  std::vector<uint64_t> places(part.places.rbegin(), part.places.rend());
  places.push_back(part.places[4]);
  const Received again = Read([&](MdbReader& r, Received& s) { r.ReadRowsAt("Org", places, {}, s); });
  EXPECT_EQ(again.failure, "");
  ASSERT_EQ(again.rows.size(), 31u);
  EXPECT_EQ(again.ended, 31u);
  for (size_t i = 0; i < 30; ++i) EXPECT_EQ(again.rows[i], whole.rows[29 - i]) << i;
  EXPECT_EQ(again.rows[30], whole.rows[4]);

  auto failure = [&](uint64_t place) {
    return Read([&](MdbReader& r, Received& s) { r.ReadRowsAt("Org", {place}, {}, s); }).failure;
  };
  EXPECT_NE(failure(uint64_t{1} << 40).find("lies outside the file"), std::string::npos);
  EXPECT_NE(failure(uint64_t{1} << 16).find("no longer holds its rows"), std::string::npos);
  EXPECT_NE(failure((part.places[0] & ~uint64_t{0xFFFF}) | 200).find("is no longer there"), std::string::npos);
}

}  // namespace
}  // namespace tavrin::ado::access
