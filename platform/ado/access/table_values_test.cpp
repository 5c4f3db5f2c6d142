#include "platform/ado/access/table_values.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "platform/ado/access/failure.h"
#include "platform/ado/oledate.h"
#include "tools/jet4_writer.h"

namespace tavrin::ado::access {
namespace {

constexpr int kAt = 100;  // where a value lies on the page

// Values written by hand onto libmdb's current page of a small Jet 4 file,
// decoded as they would be in a row of table T.
class Values : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = "/tmp/tavrin-values-XXXXXX";
    dir_ = mkdtemp(pattern.data());
    const std::string path = dir_ + "/v.mdb";
    jet4::Writer w(path);
    w.BeginTable("T", {{"Id", jet4::ColumnType::kLong}});
    w.AddRow({int64_t{1}});
    w.EndTable();
    w.Finish();
    std::ifstream in(path, std::ios::binary);
    image_.assign(std::istreambuf_iterator<char>(in), {});
    facts_.size = static_cast<int64_t>(image_.size());
    facts_.page_size = 4096;
    facts_.pages = facts_.size / facts_.page_size;
    mdb_.reset(mdb_open_buffer(image_.data(), image_.size(), MDB_NOFLAGS));
    ASSERT_NE(mdb_, nullptr);
    decoder_ = std::make_unique<ValueDecoder>(mdb_.get(), reinterpret_cast<const unsigned char*>(image_.data()),
                                              facts_, "T");
  }
  void TearDown() override {
    decoder_.reset();
    mdb_.reset();
    std::filesystem::remove_all(dir_);
  }

  // The cell that a value of `type` with `bytes` (null when `null`) gives.
  StoredTable::Cell Decode(int type, std::string_view bytes, bool null = false) {
    std::memcpy(mdb_->pg_buf + kAt, bytes.data(), bytes.size());
    MdbColumn col{};
    std::strcpy(col.name, "C");
    col.col_type = type;
    MdbField f{};
    f.start = kAt;
    f.siz = static_cast<int>(bytes.size());
    f.is_null = null;
    row_.Clear();
    decoder_->Store(col, f, row_);
    const char* p = row_.cells().data();
    return StoredTable::ReadCell(p);
  }

  // The description of the failure of decoding, or "" when there is none.
  std::string Failure(int type, std::string_view bytes) {
    try {
      Decode(type, bytes);
    } catch (const ProviderFailure& f) {
      return f.description;
    }
    return "";
  }

  // An OLE value's header: flags and length, then where its rows start.
  static std::string LongHeader(uint32_t flags_and_length, uint32_t pg_row) {
    std::string h(MDB_MEMO_OVERHEAD, '\0');
    std::memcpy(h.data(), &flags_and_length, 4);
    std::memcpy(h.data() + 4, &pg_row, 4);
    return h;
  }

  std::string dir_;
  std::string image_;
  FileFacts facts_;
  std::unique_ptr<MdbHandle, decltype(&mdb_close)> mdb_{nullptr, mdb_close};
  std::unique_ptr<ValueDecoder> decoder_;
  RowBuilder row_;
};

TEST_F(Values, NumbersDatesAndBooleansDecode) {
  EXPECT_EQ(Decode(MDB_INT, "\xfe\xff").number, -2);
  const int64_t money = 12345678;
  EXPECT_EQ(Decode(MDB_MONEY, std::string_view(reinterpret_cast<const char*>(&money), 8)).number, 1234.5678);
  const double date = -1.25;
  const StoredTable::Cell d = Decode(MDB_DATETIME, std::string_view(reinterpret_cast<const char*>(&date), 8));
  EXPECT_EQ(d.tag, Tag::kDate);
  EXPECT_EQ(d.number, OleDateToLinear(-1.25));
  // A boolean lives in the null flag.
  EXPECT_EQ(Decode(MDB_BOOL, "", true).number, 0);
  EXPECT_EQ(Decode(MDB_BOOL, "").number, -1);
  EXPECT_EQ(Decode(MDB_LONGINT, "", true).tag, Tag::kNull);
  EXPECT_NE(Failure(MDB_LONGINT, "\x01\x02").find("a value of column 'C' is too short."), std::string::npos);
}

TEST_F(Values, LongValuesAreCheckedAgainstTheirLengthAndTheFile) {
  const StoredTable::Cell inline_value = Decode(MDB_OLE, LongHeader(0x80000003, 0) + "abc");
  EXPECT_EQ(inline_value.text, "abc");
  EXPECT_NE(Failure(MDB_OLE, LongHeader(0x80000004, 0) + "abc").find("has a wrong length"), std::string::npos);
  EXPECT_NE(Failure(MDB_OLE, LongHeader(0x20000003, 0) + "abc").find("is stored in an unknown form"),
            std::string::npos);
  EXPECT_NE(Failure(MDB_OLE, LongHeader(0x40000003, static_cast<uint32_t>(facts_.pages) << 8))
                .find("points outside the file"),
            std::string::npos);
  EXPECT_NE(Failure(MDB_OLE, LongHeader(0x00FFFFFF, 1 << 8)).find("is longer than the file"), std::string::npos);
  EXPECT_NE(Failure(MDB_OLE, "\x80\x00").find("is too short"), std::string::npos);
  // A value checked, not kept, fails the same way.
  MdbColumn col{};
  col.col_type = MDB_OLE;
  MdbField f{};
  f.start = kAt;
  f.siz = MDB_MEMO_OVERHEAD + 3;
  const std::string wrong = LongHeader(0x80000004, 0) + "abc";
  std::memcpy(mdb_->pg_buf + kAt, wrong.data(), wrong.size());
  EXPECT_THROW(decoder_->Check(col, f), ProviderFailure);
}

}  // namespace
}  // namespace tavrin::ado::access
