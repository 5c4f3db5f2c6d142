#include "platform/ado/ado.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <optional>
#include <stop_token>
#include <thread>

#include "platform/ado/oledate.h"
#include "platform/ado/ado_test_support.h"
#include "platform/ado/provider.h"

namespace tavrin::ado {
namespace {

using test::ErrorOf;

// A provider whose results and failures the test scripts: "SELECT * FROM T"
// (or table Three) gives three rows of N (1 to 3) and Name ("row N"), "... WHERE N = 1" the
// first, "... WHERE N > 5" none, and anything else fails with one entry
// naming the text.
class ScriptedProvider : public Provider {
 public:
  class Table : public ResultSet {
   public:
    explicit Table(int rows, std::vector<std::string> columns = {"N", "Name"})
        : rows_(rows), columns_(std::move(columns)) {}
    int64_t RowCount() const override { return rows_; }
    const std::vector<std::string>& Columns() const override { return columns_; }
    Variant Value(int64_t row, int column) override {
      return column == 0 ? Variant::FromLong(static_cast<int32_t>(row + 1))
                         : Variant::FromText("row " + std::to_string(row + 1));
    }
    void Fetch(int64_t, std::vector<ErrorEntry>*) override { fetched = true; }
    // Records what the record set asked, and whether a row was read first.
    void LimitColumns(const std::vector<bool>& read) override {
      limited = read;
      limited_after_fetch = fetched;
    }
    inline static std::optional<std::vector<bool>> limited;
    inline static bool limited_after_fetch = false;
    bool fetched = false;

   private:
    int rows_;
    std::vector<std::string> columns_;
  };

  std::unique_ptr<ResultSet> Query(const std::string& sql, std::vector<ErrorEntry>* errors) override {
    if (sql == "SELECT * FROM T" || sql == "SELECT * FROM [Three]") return std::make_unique<Table>(3);
    if (sql == "SELECT * FROM T WHERE N > 5") return std::make_unique<Table>(0);
    if (sql == "SELECT * FROM T WHERE N = 1") return std::make_unique<Table>(1);
    if (sql == "SELECT N, Name, Name AS n FROM T")
      return std::make_unique<Table>(1, std::vector<std::string>{"N", "Name", "n"});
    Fail(sql, errors);
  }
  void Execute(const std::string& sql, std::vector<ErrorEntry>* errors) override { Fail(sql, errors); }

 private:
  [[noreturn]] static void Fail(const std::string& sql, std::vector<ErrorEntry>* errors) {
    errors->push_back({kDbErrorsInCommand, "cannot run '" + sql + "'"});
    throw _com_error(kDbErrorsInCommand);
  }
};

class ScriptedProviders : public ProviderFactory {
 public:
  std::unique_ptr<Provider> Open(const std::string& connection_string, int timeout_seconds,
                                 const CancelCheck&, std::vector<ErrorEntry>* errors) override {
    last_timeout = timeout_seconds;
    if (connection_string == "scripted") return std::make_unique<ScriptedProvider>();
    if (connection_string == "warned") {
      errors->push_back({0, "a warning", true});
      return std::make_unique<ScriptedProvider>();
    }
    ThrowProviderNotFound(errors);
  }
  int last_timeout = -1;
};

class Objects : public ::testing::Test {
 protected:
  void SetUp() override { connection_->Open("scripted", "", "", -1); }

  RecordsetPtr Open(const std::string& sql) {
    auto rs = std::make_shared<Recordset>();
    rs->Open(sql, connection_, adOpenStatic, adLockReadOnly, adCmdText);
    return rs;
  }

  ScriptedProviders providers_;
  ConnectionPtr connection_ = std::make_shared<Connection>(providers_);
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

TEST_F(Objects, FieldsAreFoundInAnyOrderAndADuplicateNameGivesTheFirst) {
  auto rs = Open("SELECT N, Name, Name AS n FROM T");
  EXPECT_EQ(rs->GetFieldValue("Name").AsText(), "row 1");
  EXPECT_TRUE(rs->GetFieldValue("N").IsLong());
  EXPECT_TRUE(rs->GetFieldValue("n").IsLong());
  EXPECT_EQ(rs->GetFieldValue("name").AsText(), "row 1");
}

TEST_F(Objects, FieldsReadByIndexGiveWhatReadsByNameGive) {
  auto rs = Open("SELECT N, Name, Name AS n FROM T");
  EXPECT_EQ(rs->FieldIndex("NAME"), 1);
  EXPECT_EQ(rs->FieldIndex("n"), 0);  // the first field of the name
  EXPECT_EQ(rs->FieldIndex("Nope"), -1);
  EXPECT_EQ(rs->FieldAt(0).value.AsLong(), 1);
  EXPECT_EQ(rs->FieldAt(2).value.AsText(), "row 1");
  EXPECT_EQ(ErrorOf([&] { rs->FieldAt(-1); }), kAdErrItemNotFound);
  EXPECT_EQ(ErrorOf([&] { rs->FieldAt(3); }), kAdErrItemNotFound);

  auto three = Open("SELECT * FROM T");
  three->MoveNext();
  EXPECT_EQ(three->FieldAt(1).value.AsText(), "row 2");  // the row read again after the move
  three->MoveNext();
  three->MoveNext();
  EXPECT_EQ(ErrorOf([&] { three->FieldAt(0); }), kAdErrNoCurrentRecord);
  three->Close();
  EXPECT_EQ(ErrorOf([&] { three->FieldIndex("N"); }), kAdErrObjectClosed);
  EXPECT_EQ(ErrorOf([&] { three->FieldAt(0); }), kAdErrObjectClosed);
}

// The fields named to be read reach the result as flags of its columns
// (every column of a name), before its first row is read; none named, the
// result is not limited.
TEST_F(Objects, FieldsReadAreToldToTheResultBeforeItsFirstRow) {
  using Table = ScriptedProvider::Table;
  Table::limited.reset();
  Open("SELECT N, Name, Name AS n FROM T");
  EXPECT_FALSE(Table::limited.has_value());
  auto rs = std::make_shared<Recordset>();
  rs->SetFieldsRead({"n", "Missing"});
  rs->Open("SELECT N, Name, Name AS n FROM T", connection_, adOpenStatic, adLockReadOnly, adCmdText);
  ASSERT_TRUE(Table::limited.has_value());
  EXPECT_EQ(*Table::limited, (std::vector<bool>{true, false, true}));
  EXPECT_FALSE(Table::limited_after_fetch);
  EXPECT_EQ(rs->FieldIndex("N"), 0);
}

TEST_F(Objects, TablesOpenThroughTheProviderAndWarningsLastUntilTheNextOperation) {
  auto rs = std::make_shared<Recordset>();
  rs->Open("Three", connection_, adOpenStatic, adLockPessimistic, adCmdTable);
  EXPECT_EQ(rs->RecordCount(), 3);

  Connection warned(providers_);
  warned.Open("warned", "", "", -1);
  ASSERT_EQ(warned.Errors().size(), 1u);
  EXPECT_TRUE(warned.Errors()[0].warning);
  Command command;
  command.SetActiveConnection(std::shared_ptr<Connection>(&warned, [](Connection*) {}));
  command.SetCommandText("UPDATE T");
  EXPECT_EQ(ErrorOf([&] { command.Execute(adCmdText); }), kDbErrorsInCommand);
  ASSERT_EQ(warned.Errors().size(), 1u);
  EXPECT_FALSE(warned.Errors()[0].warning);
  // A failure before the provider is reached leaves no stale entries.
  warned.Close();
  EXPECT_EQ(ErrorOf([&] { command.Execute(adCmdText); }), kAdErrInvalidConnection);
  EXPECT_TRUE(warned.Errors().empty());
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
  auto b = Open("SELECT * FROM T WHERE N = 1");
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
  EXPECT_EQ(ErrorOf([&] { Open("SELECT * FROM Missing"); }), kDbErrorsInCommand);
  ASSERT_EQ(connection_->Errors().size(), 1u);
  EXPECT_EQ(connection_->Errors()[0].description, "cannot run 'SELECT * FROM Missing'");
  Open("SELECT * FROM T");
  EXPECT_TRUE(connection_->Errors().empty());
  Command c;
  c.SetActiveConnection(connection_);
  c.SetCommandText("UPDATE T SET N = 1");
  EXPECT_EQ(ErrorOf([&] { c.Execute(adCmdText); }), kDbErrorsInCommand);
  EXPECT_EQ(connection_->Errors().size(), 1u);
  // A table name becomes the query of the whole table.
  Recordset table;
  EXPECT_EQ(ErrorOf([&] { table.Open("T", connection_, adOpenStatic, adLockReadOnly, adCmdTable); }),
            kDbErrorsInCommand);
  EXPECT_EQ(connection_->Errors()[0].description, "cannot run 'SELECT * FROM [T]'");
}

TEST(Connection, OpensThroughItsFactoryWithTheTimeout) {
  ScriptedProviders providers;
  Connection c(providers);
  c.SetConnectionTimeout(30);
  EXPECT_EQ(ErrorOf([&] { c.Open("Driver={SQL Server};Server=x", "", "", -1); }),
            kAdErrProviderNotFound);
  ASSERT_EQ(c.Errors().size(), 1u);
  EXPECT_EQ(c.Errors()[0].description, "Provider cannot be found. It may not be properly installed.");
  EXPECT_FALSE(c.IsOpen());
  EXPECT_EQ(providers.last_timeout, 30);
  c.Open("scripted", "", "", -1);
  EXPECT_TRUE(c.IsOpen());
  EXPECT_TRUE(c.Errors().empty());
  EXPECT_EQ(ErrorOf([&] { c.Open("scripted", "", "", -1); }), kAdErrObjectOpen);
}

// Opens providers that count the calls of Cancel and the threads they came on.
class CancelCounting : public ProviderFactory {
 public:
  class Counted : public Provider {
   public:
    explicit Counted(CancelCounting& f) : f_(f) {}
    std::unique_ptr<ResultSet> Query(const std::string&, std::vector<ErrorEntry>*) override { return nullptr; }
    void Execute(const std::string&, std::vector<ErrorEntry>*) override {}
    void Cancel() override {
      ++f_.cancels;
      f_.cancelled_on = std::this_thread::get_id();
    }

   private:
    CancelCounting& f_;
  };
  std::unique_ptr<Provider> Open(const std::string&, int, const CancelCheck&,
                                 std::vector<ErrorEntry>*) override {
    return std::make_unique<Counted>(*this);
  }
  int cancels = 0;
  std::thread::id cancelled_on;
};

TEST(Connection, AStopCancelsTheOpenProviderOnTheStoppingThread) {
  CancelCounting providers;
  std::stop_source stop;
  {
    Connection c(providers);
    c.SetStopToken(stop.get_token());
    c.Open("x", "", "", -1);
    std::thread([&] { stop.request_stop(); }).join();
    EXPECT_EQ(providers.cancels, 1);
    EXPECT_NE(providers.cancelled_on, std::this_thread::get_id());
    c.Close();
  }
  // Opened after the stop: cancelled at once, so that nothing is sent.
  Connection c(providers);
  c.SetStopToken(stop.get_token());
  c.Open("x", "", "", -1);
  EXPECT_EQ(providers.cancels, 2);
}

TEST(ConnectionString, Parse) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(ParseConnectionString(" Provider = Microsoft.Jet.OLEDB.4.0 ;DATA SOURCE= /a b/c.mdb ;"),
            (Pairs{{"provider", "Microsoft.Jet.OLEDB.4.0"}, {"data source", "/a b/c.mdb"}}));
  EXPECT_EQ(ParseConnectionString("Password='a;b';junk;User ID=\"u\""),
            (Pairs{{"password", "a;b"}, {"user id", "u"}}));
}

// The same text read in each syntax: quotes hold a ";" for OLE DB only,
// braces for ODBC only.
TEST(ConnectionString, EachSyntaxEndsValuesItsOwnWay) {
  const std::string text = "a={x;y};b='p;q';c=z";
  const auto values = [&text](ValueSyntax syntax) {
    std::vector<std::string> out;
    for (const ConnectionStringPart& p : ScanConnectionString(text, syntax))
      out.push_back(p.key + "=" + text.substr(p.value_begin, p.value_end - p.value_begin));
    return out;
  };
  using Values = std::vector<std::string>;
  EXPECT_EQ(values(ValueSyntax::kOleDb), (Values{"a={x", "b='p;q'", "c=z"}));
  EXPECT_EQ(values(ValueSyntax::kOdbc), (Values{"a={x;y}", "b='p", "c=z"}));
  EXPECT_EQ(values(ValueSyntax::kAny), (Values{"a={x;y}", "b='p;q'", "c=z"}));
}

TEST(MaskPasswordsTest, BothStylesAndEveryQuoting) {
  EXPECT_EQ(MaskPasswords("Driver={FreeTDS};Server=h;UID={web};PWD={s3cret};TDS_Version=7.4"),
            "Driver={FreeTDS};Server=h;UID={web};PWD=***;TDS_Version=7.4");
  EXPECT_EQ(MaskPasswords("Provider=SQLOLEDB;Data Source=h;User ID=web;Password=s3cret"),
            "Provider=SQLOLEDB;Data Source=h;User ID=web;Password=***");
  EXPECT_EQ(MaskPasswords("pwd = 'a;b' ;Server=h"), "pwd = *** ;Server=h");
  EXPECT_EQ(MaskPasswords("PASSWORD=\"x\";pwd=y"), "PASSWORD=***;pwd=***");
  // Under either driver's reading of braces nothing of the value remains.
  EXPECT_EQ(MaskPasswords("PWD={a}};b};Server=h"), "PWD=***;Server=h");
  EXPECT_EQ(MaskPasswords("PWD={x}};y}"), "PWD=***");
  EXPECT_EQ(MaskPasswords("Server=h;PWD="), "Server=h;PWD=***");
  EXPECT_EQ(MaskPasswords("NONE"), "NONE");
}

TEST(OleDate, FromCalendarParts) {
  EXPECT_NEAR(*OleDateOf(2024, 3, 5, 14, 7, 9), 45356.58829861111, 1e-9);
  EXPECT_EQ(*OleDateOf(1899, 12, 30), 0.0);
  EXPECT_EQ(*OleDateOf(1899, 12, 29, 6), -1.25);  // the time counts away from day 0
  const std::pair<int, int> out_of_range[] = {{99, 1}, {10000, 1}, {2024, 0}, {2024, 13}, {INT_MIN, 1}};
  for (const auto& [year, month] : out_of_range)
    EXPECT_FALSE(OleDateOf(year, month, 1)) << year << "-" << month;
  EXPECT_FALSE(OleDateOf(2024, 1, 1, 24));
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
