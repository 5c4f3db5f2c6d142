#include "platform/ado.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>

#include "platform/provider.h"
#include "tools/jet4_writer.h"

namespace tavrin::ado {
namespace {

namespace fs = std::filesystem;

HRESULT ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const _com_error& e) {
    return e.Error();
  }
  return 0;
}

// A file with table T of `rows` rows (column N = 1..rows) and an open
// connection to it.
class Objects : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tavrin-ado-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
    const std::string path = dir_ + "/t.mdb";
    jet4::Writer w(path);
    w.BeginTable("T", {{"N", jet4::ColumnType::kLong}, {"Name", jet4::ColumnType::kText}});
    for (int64_t i = 1; i <= 3; ++i) w.AddRow({i, std::string("row ") + std::to_string(i)});
    w.EndTable();
    w.Finish();
    connection_->Open("Provider=microsoft.jet.oledb.4.0;Data Source=" + path, "", "", -1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  RecordsetPtr Open(const std::string& sql) {
    auto rs = std::make_shared<Recordset>();
    rs->Open(sql, connection_, adOpenStatic, adLockReadOnly, adCmdText);
    return rs;
  }

  std::string dir_;
  ConnectionPtr connection_ = std::make_shared<Connection>();
};

TEST_F(Objects, CursorMoves) {
  auto rs = Open("SELECT * FROM T");
  EXPECT_EQ(rs->RecordCount(), 3);
  EXPECT_FALSE(rs->IsBOF());
  EXPECT_EQ(rs->GetFieldValue("n").AsLong(), 1);
  rs->MoveNext();
  rs->MoveNext();
  EXPECT_EQ(rs->GetFieldValue("NAME").AsText(), "row 3");
  rs->MoveNext();
  EXPECT_TRUE(rs->IsEOF());
  EXPECT_EQ(ErrorOf([&] { rs->GetFieldValue("N"); }), kAdErrNoCurrentRecord);
  EXPECT_EQ(ErrorOf([&] { rs->MoveNext(); }), kAdErrNoCurrentRecord);
  rs->MoveLast();
  EXPECT_EQ(rs->GetFieldValue("N").AsLong(), 3);
  rs->MoveFirst();
  EXPECT_EQ(rs->GetFieldValue("N").AsLong(), 1);
  EXPECT_EQ(ErrorOf([&] { rs->GetFieldValue("Nope"); }), kAdErrItemNotFound);
  EXPECT_EQ(ErrorOf([&] { rs->Open("SELECT * FROM T", connection_, adOpenStatic, adLockReadOnly, adCmdText); }),
            kAdErrObjectOpen);
}

TEST_F(Objects, EmptyResult) {
  auto rs = Open("SELECT * FROM T WHERE N > 5");
  EXPECT_EQ(rs->RecordCount(), 0);
  EXPECT_TRUE(rs->IsBOF());
  EXPECT_TRUE(rs->IsEOF());
  try {
    rs->MoveFirst();
    FAIL();
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), kAdErrNoCurrentRecord);
    EXPECT_EQ(e.Source().value_or(""), "ADODB.Recordset");
    EXPECT_EQ(e.Description().value_or(""),
              "Either BOF or EOF is True, or the current record has been deleted. Requested "
              "operation requires a current record.");
  }
  EXPECT_EQ(ErrorOf([&] { rs->MoveLast(); }), kAdErrNoCurrentRecord);
}

TEST_F(Objects, ClosingTheConnectionClosesItsRecordsets) {
  auto a = Open("SELECT * FROM T");
  auto b = Open("SELECT * FROM T WHERE N = 2");
  b->Close();
  EXPECT_EQ(ErrorOf([&] { b->Close(); }), kAdErrObjectClosed);
  connection_->Close();
  EXPECT_FALSE(a->IsOpen());
  for (auto op : std::vector<std::function<void()>>{
           [&] { a->MoveFirst(); }, [&] { a->RecordCount(); }, [&] { a->GetFieldValue("N"); },
           [&] { a->IsEOF(); }, [&] { a->Close(); }, [&] { connection_->Close(); }})
    EXPECT_EQ(ErrorOf(op), kAdErrObjectClosed);
  EXPECT_EQ(ErrorOf([&] { Open("SELECT * FROM T"); }), kAdErrInvalidConnection);
  Command c;
  c.SetActiveConnection(connection_);
  c.SetCommandText("UPDATE T SET N = 1");
  EXPECT_EQ(ErrorOf([&] { c.Execute(adCmdText); }), kAdErrInvalidConnection);
  EXPECT_EQ(ErrorOf([&] { Recordset().Open("SELECT 1", nullptr, adOpenStatic, adLockReadOnly, adCmdText); }),
            kAdErrInvalidConnection);
}

TEST_F(Objects, ErrorsHoldTheLastFailure) {
  EXPECT_NE(ErrorOf([&] { Open("SELECT * FROM Missing"); }), 0);
  ASSERT_EQ(connection_->Errors().size(), 1u);
  EXPECT_NE(connection_->Errors()[0].description.find("'Missing'"), std::string::npos);
  EXPECT_NE(ErrorOf([&] { Open("SELECT * FROM T WHERE"); }), 0);
  ASSERT_EQ(connection_->Errors().size(), 1u);
  EXPECT_EQ(connection_->Errors()[0].number, kDbErrorsInCommand);
  Open("SELECT * FROM T");
  EXPECT_TRUE(connection_->Errors().empty());
  // The provider is read-only.
  Command c;
  c.SetActiveConnection(connection_);
  c.SetCommandText("UPDATE T SET N = 1");
  EXPECT_EQ(ErrorOf([&] { c.Execute(adCmdText); }), kEFail);
  EXPECT_EQ(connection_->Errors().size(), 1u);
}

TEST(Connection, UnknownProviderOrMissingSource) {
  Connection c;
  EXPECT_EQ(ErrorOf([&] { c.Open("Driver={SQL Server};Server=x", "", "", -1); }),
            kAdErrProviderNotFound);
  ASSERT_EQ(c.Errors().size(), 1u);
  EXPECT_EQ(c.Errors()[0].description, "Provider cannot be found. It may not be properly installed.");
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(ErrorOf([&] { c.Open("Provider=Microsoft.Jet.OLEDB.4.0", "", "", -1); }), kEFail);
  EXPECT_EQ(c.Errors().back().description, "Could not find file ''.");
}

TEST(ConnectionString, Parse) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(ParseConnectionString(" Provider = Microsoft.Jet.OLEDB.4.0 ;DATA SOURCE= /a b/c.mdb ;"),
            (Pairs{{"provider", "Microsoft.Jet.OLEDB.4.0"}, {"data source", "/a b/c.mdb"}}));
  EXPECT_EQ(ParseConnectionString("Password='a;b';junk;User ID=\"u\""),
            (Pairs{{"password", "a;b"}, {"user id", "u"}}));
}

TEST(Variant, Conversions) {
  EXPECT_EQ(Variant().AsText(), "");
  EXPECT_EQ(Variant::FromLong(-7).AsText(), "-7");
  EXPECT_EQ(Variant::FromDouble(2.5).AsText(), "2.5");
  EXPECT_EQ(Variant::FromDate(45356.58829861111).AsText(), "3/5/2024 2:07:09 PM");
  EXPECT_EQ(Variant::FromDate(45356).AsText(), "3/5/2024");
  EXPECT_EQ(Variant::FromDate(0.5).AsText(), "12:00:00 PM");
  EXPECT_EQ(Variant::FromDate(-1.25).AsText(), "12/29/1899 6:00:00 AM");
  EXPECT_EQ(Variant::FromDouble(2.5).AsLong(), 2);  // to even
  EXPECT_EQ(Variant::FromDouble(3.5).AsLong(), 4);
  EXPECT_EQ(Variant::FromText(" 42 ").AsLong(), 42);
  EXPECT_EQ(ErrorOf([] { Variant::FromText("4x").AsLong(); }), static_cast<HRESULT>(0x80020005));
  EXPECT_EQ(ErrorOf([] { Variant().AsLong(); }), static_cast<HRESULT>(0x80020005));
  EXPECT_EQ(ErrorOf([] { Variant::FromDouble(3e9).AsLong(); }), static_cast<HRESULT>(0x8002000A));
  EXPECT_EQ(Variant::FromLong(3).AsDate(), 3.0);
  EXPECT_EQ(ErrorOf([] { Variant::FromText("x").AsDate(); }), static_cast<HRESULT>(0x80020005));
}

}  // namespace
}  // namespace tavrin::ado
