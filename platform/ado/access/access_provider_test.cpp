#include "platform/ado/access/access_provider.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ado/access/failure.h"
#include "platform/ado/ado.h"
#include "platform/env/fake_env.h"
#include "tools/jet4_writer.h"

namespace tavrin::ado {
namespace {

namespace fs = std::filesystem;
using jet4::DateValue;
using jet4::Value;

// Opens every connection string's "Data Source" as an Access file.
class AccessOnly : public ProviderFactory {
 public:
  std::unique_ptr<Provider> Open(const std::string& connection_string, int, const CancelCheck& cancelled,
                                 std::vector<ErrorEntry>* errors) override {
    std::string source;
    for (const auto& [key, value] : ParseConnectionString(connection_string))
      if (key == "data source") source = value;
    return OpenAccessProvider(source, env_, cancelled, errors);
  }

 private:
  FakeEnv env_;
};

AccessOnly g_access;

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "tavrin-access-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempFolder() { fs::remove_all(path_); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

int ColumnIndex(const std::string& name) {
  const auto columns = jet4::OrgColumns();
  for (size_t i = 0; i < columns.size(); ++i)
    if (columns[i].name == name) return static_cast<int>(i);
  ADD_FAILURE() << "no column " << name;
  return 0;
}

// An Org row with the given record number and values; the rest null.
std::vector<Value> OrgRow(int64_t number, const std::vector<std::pair<std::string, Value>>& values) {
  std::vector<Value> row(jet4::OrgColumns().size());
  row[0] = number;
  for (const auto& [name, v] : values) row[static_cast<size_t>(ColumnIndex(name))] = v;
  return row;
}

void WriteOrg(const std::string& path, const std::vector<std::vector<Value>>& rows) {
  jet4::Writer w(path);
  w.BeginTable("Org", jet4::OrgColumns());
  for (const auto& r : rows) w.AddRow(r);
  w.EndTable();
  w.Finish();
}

const std::string kMemo70k = [] {
  std::string s;
  for (int i = 0; s.size() < 70000; ++i) s += "line " + std::to_string(i) + " of the notes; ";
  s.resize(70000);
  return s;
}();

std::vector<std::vector<Value>> SampleRows() {
  return {
      OrgRow(1, {{"Status", std::string("Closed")},
                 {"Organization Name", std::string("Springfield Elementary")},
                 {"Town\\City", std::string("Springfield")},
                 {"County", std::string("Ashford")},
                 {"Category", std::string("Schools")},
                 {"Event Notes", std::string("The \"Winter Concert\" is off")},
                 {"Event Kill Date", DateValue{45356.58829861111}}}),
      OrgRow(2, {{"Status", std::string("closed")},
                 {"Organization Name", std::string("spring Hill Church")},
                 {"County", std::string("ashford")},
                 {"Category", std::string("Churches")},
                 {"Event Kill Date", DateValue{45300.0}}}),
      OrgRow(3, {{"Status", std::string("Open")},
                 {"Organization Name", std::string("école Sainte-Anne")},
                 {"Category", std::string("Schools")},
                 {"Permanent Notes", kMemo70k},
                 {"Event Kill Date", DateValue{-1.75}}}),
      OrgRow(4, {{"Status", std::string("Delayed")},
                 {"Organization Name", std::string("École Sainte-Anne")},
                 {"County", std::string("Bramley")},
                 {"Category", std::string("Schools")},
                 {"Event Kill Date", DateValue{-1.25}}}),
      OrgRow(5, {{"Status", std::string("Open")},
                 {"Organization Name", std::string("Ecole Sainte-Anne")},
                 {"County", std::string("Bramley")},
                 {"Category", std::string("schools")},
                 {"Pin Code", std::string("100%")}}),
      OrgRow(6, {{"Status", std::string("Open")},
                 {"Organization Name", std::string("Alpha Daycare")},
                 {"County", std::string("Bramley")},
                 {"Pin Code", std::string("1000")}}),
  };
}

class AccessFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "Vesk.mdb";
    WriteOrg(path_, SampleRows());
    connection_ = std::make_shared<Connection>(g_access);
    connection_->Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path_, "", "", -1);
  }

  // The values of `field` of every row that `sql` selects, as text ("NULL"
  // for null).
  std::vector<std::string> Select(const std::string& sql, const std::string& field = "Record Number") {
    Recordset rs;
    rs.Open(sql, connection_, adOpenStatic, adLockReadOnly, adCmdText);
    std::vector<std::string> out;
    for (; !rs.IsEOF(); rs.MoveNext()) {
      const Variant v = rs.GetFieldValue(field);
      out.push_back(v.IsNull() ? "NULL" : v.AsText());
    }
    EXPECT_EQ(static_cast<size_t>(rs.RecordCount()), out.size());
    return out;
  }

  // The error of running `sql`, which must fail.
  _com_error Failure(const std::string& sql) {
    Recordset rs;
    try {
      rs.Open(sql, connection_, adOpenStatic, adLockReadOnly, adCmdText);
    } catch (const _com_error& e) {
      EXPECT_FALSE(rs.IsOpen());
      EXPECT_FALSE(connection_->Errors().empty());
      return e;
    }
    ADD_FAILURE() << sql << " did not fail";
    return _com_error(0);
  }

  TempFolder dir_;
  std::string path_;
  ConnectionPtr connection_;
};

using Texts = std::vector<std::string>;

TEST_F(AccessFile, TheFourQueryShapes) {
  EXPECT_EQ(Select("SELECT * FROM Org "), (Texts{"1", "2", "3", "4", "5", "6"}));
  EXPECT_EQ(Select("SELECT * FROM Org ORDER BY [Organization Name],[Record Number]"),
            (Texts{"6", "5", "3", "4", "2", "1"}));
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [Record Number] > 4"), (Texts{"5", "6"}));
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [Record Number] < 3 ORDER BY [Organization Name]"),
            (Texts{"2", "1"}));
  // Any other shape goes through the general path.
  EXPECT_EQ(Select("SELECT [Organization Name] & '!' AS x FROM Org WHERE [Record Number] = 6", "x"),
            (Texts{"Alpha Daycare!"}));
}

TEST_F(AccessFile, ConditionsFollowJet) {
  EXPECT_EQ(Select("SELECT * FROM Org WHERE Status = \"closed\""), (Texts{"1", "2"}));
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [Organization Name] LIKE 'Sp%'"), (Texts{"1", "2"}));
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [Organization Name] LIKE '[!A]%' AND [Record Number] > 4"),
            (Texts{"5"}));
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [Pin Code] LIKE '100[%]'"), (Texts{"5"}));
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [Event Kill Date] >= #3/5/2024#"), (Texts{"1"}));
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [Town\\City] = 'Springfield'"), (Texts{"1"}));
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [County] Is Null"), (Texts{"3"}));
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [County] Is Not Null AND Category = 'SCHOOLS'"),
            (Texts{"1", "4", "5"}));
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [Organization Name] = 'ÉCOLE SAINTE-ANNE'"), (Texts{"3", "4"}));
  EXPECT_EQ(Select("SELECT * FROM Org WHERE Year([Event Kill Date]) = 2024 AND Nz(County, 'x') <> 'x'"),
            (Texts{"1", "2"}));
}

TEST_F(AccessFile, SortsAsJetDoes) {
  // Case ignored, null first, accents after their base letter.
  EXPECT_EQ(Select("SELECT * FROM Org ORDER BY [County],[Category],[Organization Name]"),
            (Texts{"3", "2", "1", "6", "5", "4"}));
  // Dates before 1899-12-30: -1.75 (18:00) is later in the day than -1.25 (06:00).
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [Event Kill Date] < 0 ORDER BY [Event Kill Date]"),
            (Texts{"4", "3"}));
  EXPECT_EQ(Select("SELECT * FROM Org ORDER BY [Event Kill Date] DESC, [Record Number]"),
            (Texts{"1", "2", "3", "4", "5", "6"}));
}

TEST_F(AccessFile, ValuesComeBackWhole) {
  Recordset rs;
  rs.Open("SELECT * FROM Org ORDER BY [Record Number]", connection_, adOpenStatic, adLockReadOnly, adCmdText);
  EXPECT_EQ(rs.FieldNames(), [] {
    std::vector<std::string> names;
    for (const auto& c : jet4::OrgColumns()) names.push_back(c.name);
    return names;
  }());
  EXPECT_EQ(rs.GetFieldValue("event notes").AsText(), "The \"Winter Concert\" is off");
  EXPECT_TRUE(rs.GetFieldValue("Record Number").IsLong());
  const Variant date = rs.GetFieldValue("Event Kill Date");
  ASSERT_TRUE(date.IsDate());
  EXPECT_DOUBLE_EQ(date.AsDate(), 45356.58829861111);
  EXPECT_TRUE(rs.GetFieldValue("Event Update Time").IsNull());
  rs.MoveNext();
  rs.MoveNext();
  EXPECT_EQ(rs.GetFieldValue("Permanent Notes").AsText(), kMemo70k);
  EXPECT_TRUE(rs.GetFieldValue("County").IsNull());
  EXPECT_EQ(rs.GetFieldValue("Event Kill Date").AsDate(), -1.75);
  rs.MoveNext();
  EXPECT_EQ(rs.GetFieldValue("Event Kill Date").AsDate(), -1.25);
  rs.MoveNext();
  EXPECT_TRUE(rs.GetFieldValue("Event Kill Date").IsNull());

  // A general query keeps the kinds: dates stay dates, nulls stay null.
  Recordset general;
  general.Open("SELECT [Record Number], [Event Kill Date], County FROM Org WHERE [Record Number] = 3",
               connection_, adOpenStatic, adLockReadOnly, adCmdText);
  EXPECT_TRUE(general.GetFieldValue("Record Number").IsLong());
  EXPECT_EQ(general.GetFieldValue("Event Kill Date").AsDate(), -1.75);
  EXPECT_TRUE(general.GetFieldValue("County").IsNull());
}

TEST_F(AccessFile, BadQueriesFail) {
  for (const char* sql : {"SELECT * FROM Org ORDER BY Organization Name",
                          "SELECT * FROM Org WHERE [No Such Column] = 1",
                          "SELECT * FROM Org WHERE Status = Closed", "SELECT * FROM Org WHERE",
                          "SELECT * FROM Org WHERE Status = 'Open", "SELECT * FROM Org WHERE d = #2/30/2024#",
                          "SELECT * FROM Org WHERE Status = \"Open\" \"x\"",
                          "SELECT [Status] FROM Org; SELECT 1"}) {
    const _com_error e = Failure(sql);
    EXPECT_EQ(e.Error(), kDbErrorsInCommand) << sql;
    EXPECT_EQ(e.Source().value_or(""), kJetSource);
    EXPECT_FALSE(e.Description().value_or("").empty());
    EXPECT_EQ(connection_->Errors().back().number, kDbErrorsInCommand);
  }
  // The next good query clears the errors.
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [Record Number] = 1").size(), 1u);
  EXPECT_TRUE(connection_->Errors().empty());

  const _com_error e = Failure("SELECT * FROM Orgs");
  EXPECT_EQ(e.Error(), kDbNoTable);
  EXPECT_EQ(e.Description().value_or(""),
            "The Microsoft Jet database engine cannot find the input table or query 'Orgs'.  Make "
            "sure it exists and that its name is spelled correctly.");
  Failure("DELETE FROM Org");
}

// The Where holds to Jet's dialect: other SQL functions are refused as Jet
// refuses an unknown function, however harmless some would be.
TEST_F(AccessFile, OnlyJetFunctionsMayBeCalled) {
  for (const char* call : {"length(randomblob(100000000)) > 0", "zeroblob(10) <> ''",
                           "sqlite_version() <> ''", "typeof(Status) = 'text'", "hex(Status) <> ''",
                           "Status GLOB 'O*'", "printf('%.*c', 100000000, 'x') <> ''"}) {
    const _com_error e = Failure(std::string("SELECT * FROM Org WHERE ") + call);
    EXPECT_EQ(e.Error(), kDbErrorsInCommand) << call;
    EXPECT_NE(e.Description().value_or("").find("Undefined function '"), std::string::npos)
        << call << ": " << e.Description().value_or("");
  }
  EXPECT_EQ(Failure("SELECT * FROM Org WHERE typeof(Status) = 'text'").Description().value_or(""),
            "Undefined function 'typeof' in expression.");
  // Every function the dialect lists still works, and so do the
  // aggregates, sub-selects and unions of Jet SQL.
  EXPECT_EQ(Select("SELECT * FROM Org WHERE UCase(Status) = 'OPEN' AND LCase(Status) = 'open' AND "
                   "Trim(' x ') = 'x' AND Len(Status) = 4 AND Left(Status, 1) = 'O' AND "
                   "Right(Status, 1) = 'n' AND Mid(Status, 2, 2) = 'pe' AND InStr(Status, 'EN') = 3 AND "
                   "Nz(Null, 1) = 1 AND IIf(True, 1, 0) = 1 AND IsNull(Null) AND Year(Date()) > 2000 AND "
                   "Month(Now()) >= 1 AND Day(Now()) >= 1"),
            (Texts{"3", "5", "6"}));
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [Record Number] = (SELECT Max([Record Number]) FROM Org) OR "
                   "[Record Number] = (SELECT Min([Record Number]) FROM Org WHERE County Is Not Null)"),
            (Texts{"1", "6"}));
  EXPECT_EQ(Select("SELECT * FROM Org WHERE [Record Number] IN (SELECT [Record Number] FROM Org WHERE "
                   "County = 'Bramley') AND (SELECT Count(*) FROM Org) = 6 AND (SELECT Sum([Record Number]) "
                   "FROM Org) = 21 AND (SELECT Avg([Record Number]) FROM Org) = 3.5"),
            (Texts{"4", "5", "6"}));
  EXPECT_EQ(Select("SELECT [Record Number] FROM Org WHERE [Record Number] = 2 UNION "
                   "SELECT [Record Number] FROM Org WHERE [Record Number] = 1"),
            (Texts{"1", "2"}));
  // SQLite's own tables are not the file's.
  EXPECT_NE(Failure("SELECT * FROM Org WHERE (SELECT Count(*) FROM sqlite_master) >= 0").Error(), 0);
}

// A clock that moves a millisecond at every look, so that deadlines pass
// without real waiting.
class TickingEnv : public FakeEnv {
 public:
  SteadyTime SteadyNow() override {
    AdvanceMs(1);
    return FakeEnv::SteadyNow();
  }
};

TEST_F(AccessFile, LongQueryEndsAtItsDeadlineOrWhenCancelled) {
  const std::string forever =
      "SELECT * FROM Org WHERE (SELECT Count(*) FROM Org a, Org b, Org c, Org d, Org e, Org f, Org g, "
      "Org h, Org i, Org j) > 0";
  TickingEnv env;
  std::vector<ErrorEntry> errors;
  AccessOptions options;
  options.query_deadline = std::chrono::milliseconds(50);
  auto provider = OpenAccessProvider(path_, env, {}, &errors, options);
  try {
    provider->Query(forever, &errors);
    ADD_FAILURE() << "the query ran to its end";
  } catch (const _com_error& e) {
    EXPECT_EQ(static_cast<uint32_t>(e.Error()), 0x80040E31u);
    EXPECT_EQ(e.Description().value_or(""), "The query ran longer than 0 seconds and was stopped.");
  }
  int asked = 0;
  auto cancelled = OpenAccessProvider(path_, env, [&] { return ++asked > 100; }, &errors);
  try {
    cancelled->Query(forever, &errors);
    ADD_FAILURE() << "the query ran to its end";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), kEAbort);
  }
}

TEST_F(AccessFile, NullsOfEveryKind) {
  const std::string path = dir_ / "nulls.mdb";
  jet4::Writer w(path);
  w.BeginTable("N", {{"L", jet4::ColumnType::kLong},
                     {"I", jet4::ColumnType::kInteger},
                     {"D", jet4::ColumnType::kDouble},
                     {"T", jet4::ColumnType::kText},
                     {"M", jet4::ColumnType::kMemo},
                     {"W", jet4::ColumnType::kDateTime}});
  w.AddRow({Value(), Value(), Value(), Value(), Value(), Value()});
  w.AddRow({int64_t{-5}, int64_t{-300}, 0.25, std::string("t"), std::string("m"), DateValue{1.5}});
  w.EndTable();
  w.Finish();
  auto c = std::make_shared<Connection>(g_access);
  c->Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path, "", "", -1);
  Recordset rs;
  rs.Open("SELECT * FROM N", c, adOpenStatic, adLockReadOnly, adCmdText);
  for (const char* name : {"L", "I", "D", "T", "M", "W"}) EXPECT_TRUE(rs.GetFieldValue(name).IsNull()) << name;
  rs.MoveNext();
  EXPECT_EQ(rs.GetFieldValue("L").AsLong(), -5);
  EXPECT_EQ(rs.GetFieldValue("I").AsLong(), -300);
  EXPECT_TRUE(rs.GetFieldValue("D").IsDouble());
  EXPECT_EQ(rs.GetFieldValue("D").AsText(), "0.25");
  EXPECT_EQ(rs.GetFieldValue("M").AsText(), "m");
  EXPECT_EQ(rs.GetFieldValue("W").AsDate(), 1.5);
}

TEST(AccessProvider, QueriesOverSeveralTables) {
  TempFolder dir;
  const std::string path = dir / "two.mdb";
  jet4::Writer w(path);
  w.BeginTable("Org", jet4::OrgColumns());
  for (const auto& row : SampleRows()) w.AddRow(row);
  w.EndTable();
  w.BeginTable("Counties", {{"County", jet4::ColumnType::kText}, {"Seat", jet4::ColumnType::kText}});
  w.AddRow({std::string("ASHFORD"), std::string("Millbrook")});
  w.AddRow({std::string("Bramley"), std::string("Oak Ridge")});
  w.EndTable();
  w.Finish();
  auto c = std::make_shared<Connection>(g_access);
  c->Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path, "", "", -1);
  Recordset rs;
  rs.Open("SELECT o.[Record Number], k.Seat FROM Org AS o INNER JOIN [counties] AS k ON o.County = k.County "
          "ORDER BY o.[Record Number]",
          c, adOpenStatic, adLockReadOnly, adCmdText);
  std::vector<std::string> got;
  for (; !rs.IsEOF(); rs.MoveNext())
    got.push_back(rs.GetFieldValue("Record Number").AsText() + " " + rs.GetFieldValue("seat").AsText());
  EXPECT_EQ(got, (std::vector<std::string>{"1 Millbrook", "2 Millbrook", "4 Oak Ridge", "5 Oak Ridge",
                                           "6 Oak Ridge"}));
}

TEST_F(AccessFile, FileIsNeverWritten) {
  const std::string before = ReadAll(path_);
  Select("SELECT * FROM Org ORDER BY [Organization Name]");
  connection_->Close();
  EXPECT_EQ(ReadAll(path_), before);
}

// --- Files that are not (whole) Access files -------------------------------

class BadFile : public ::testing::Test {
 protected:
  // Opens `path` and runs the "ALL" query; returns the error that either
  // raised, with what reached standard error meanwhile.
  _com_error OpenAndQuery(const std::string& path, std::string* stderr_text) {
    auto connection = std::make_shared<Connection>(g_access);
    ::testing::internal::CaptureStderr();
    try {
      connection->Open("Provider=Microsoft.Jet.OLEDB.4.0; Data Source = " + path, "", "", -1);
      Recordset rs;
      rs.Open("SELECT * FROM Org ", connection, adOpenStatic, adLockReadOnly, adCmdText);
      ADD_FAILURE() << "read " << rs.RecordCount() << " rows of a bad file";
    } catch (const _com_error& e) {
      *stderr_text = ::testing::internal::GetCapturedStderr();
      errors_ = connection->Errors();
      return e;
    }
    *stderr_text = ::testing::internal::GetCapturedStderr();
    return _com_error(0);
  }

  std::string Description(const std::string& path) {
    std::string err;
    const _com_error e = OpenAndQuery(path, &err);
    EXPECT_EQ(err, "");
    EXPECT_EQ(e.Source().value_or(""), kJetSource);
    EXPECT_FALSE(errors_.empty());
    if (!errors_.empty()) {
      EXPECT_EQ(errors_.back().description, e.Description().value_or(""));
    }
    return e.Description().value_or("");
  }

  TempFolder dir_;
  std::vector<ErrorEntry> errors_;
};

TEST_F(BadFile, NotAnAccessFileSaysWhatItIs) {
  const std::string missing = dir_ / "missing.mdb";
  EXPECT_EQ(Description(missing), "Could not find file '" + missing + "'.");
  const std::string format = "Unrecognized database format '";
  const std::string text = dir_ / "text.mdb";
  WriteAll(text, "This is not a database.\n");
  EXPECT_EQ(Description(text), format + text + "'. The file (24 bytes) does not start as an Access database does.");
  const std::string empty = dir_ / "empty.mdb";
  WriteAll(empty, "");
  EXPECT_EQ(Description(empty), format + empty + "'. The file is empty.");

  const std::string good = dir_ / "good.mdb";
  WriteOrg(good, SampleRows());
  const std::string bytes = ReadAll(good);
  const std::string cut = dir_ / "cut.mdb";
  WriteAll(cut, bytes.substr(0, 3 * 4096 + 100));
  EXPECT_EQ(Description(cut), format + cut + "'. The file is an Access database cut short: 12388 bytes, not a "
                                             "whole number of 4096-byte pages.");
  std::string bad_version = bytes;
  bad_version[0x14] = 0x7F;
  WriteAll(cut, bad_version);
  EXPECT_EQ(Description(cut), format + cut + "'. The file is an Access database of a version this program does not "
                                             "know (127).");

  // What exists but is no file is named for what it is, and opened without
  // blocking: a FIFO without a writer would otherwise hang the open.
  const std::string fifo = dir_ / "fifo.mdb";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Description(fifo), "'" + fifo + "' is a FIFO, not an Access database file.");
  EXPECT_EQ(Description("/dev/zero"), "'/dev/zero' is a character device, not an Access database file.");
  EXPECT_EQ(Description(dir_ / ""), "'" + (dir_ / "") + "' is a folder, not an Access database file.");
}

TEST_F(BadFile, NoTableOrg) {
  const std::string path = dir_ / "other.mdb";
  jet4::Writer w(path);
  w.BeginTable("Other", {{"Name", jet4::ColumnType::kText}});
  w.AddRow({std::string("x")});
  w.EndTable();
  w.Finish();
  EXPECT_EQ(Description(path),
            "The Microsoft Jet database engine cannot find the input table or query 'Org'.  Make "
            "sure it exists and that its name is spelled correctly.");
}

TEST_F(BadFile, BrokenLongValueRowsAreDamage) {
  // The 70,000-character memo lies in a chain of long-value rows on pages of
  // their own; the reader finds those rows itself.
  const std::string path = dir_ / "memo.mdb";
  WriteOrg(path, SampleRows());
  const std::string bytes = ReadAll(path);
  const std::string text = "line 1000 of the notes";
  std::string wide;
  for (char c : text) wide += std::string{c, '\0'};
  size_t at = bytes.find(wide);
  if (at == std::string::npos) at = bytes.find(text);
  ASSERT_NE(at, std::string::npos);
  const size_t page = at / 4096 * 4096;
  ASSERT_EQ(bytes[page], 1);
  const std::string missing = "the long value of column 'Permanent Notes' is missing.";

  std::string damaged = bytes;
  const int rows = static_cast<unsigned char>(bytes[page + 12]) | (static_cast<unsigned char>(bytes[page + 13]) << 8);
  ASSERT_GT(rows, 0);
  for (size_t r = 0; r < static_cast<size_t>(rows); ++r)
    damaged[page + 14 + 2 * r] = damaged[page + 15 + 2 * r] = '\xFF';
  WriteAll(path, damaged);
  std::string d = Description(path);
  EXPECT_NE(d.find(missing), std::string::npos) << d;

  damaged = bytes;
  damaged[page] = 2;  // no longer a data page
  WriteAll(path, damaged);
  d = Description(path);
  EXPECT_NE(d.find(missing), std::string::npos) << d;

  damaged = bytes;
  std::swap(damaged[page + 14], damaged[page + 16]);  // two rows' offsets out of order
  std::swap(damaged[page + 15], damaged[page + 17]);
  WriteAll(path, damaged);
  EXPECT_NE(Description(path).find("cannot be read completely"), std::string::npos);
}

// A file of many pages, damaged in place; no damage may give a short result.
class DamagedFile : public BadFile {
 protected:
  void SetUp() override {
    path_ = dir_ / "big.mdb";
    WriteOrg(path_, jet4::SampleOrgRows(3000, 7));
    bytes_ = ReadAll(path_);
    ASSERT_EQ(bytes_.size() % kPage, 0u);
  }
  static constexpr size_t kPage = 4096;

  // The numbers of the pages of type `type` owned by the table whose
  // definition is on page 3 (the writer's first table).
  std::vector<size_t> DataPages() const {
    std::vector<size_t> out;
    for (size_t p = 3; p < bytes_.size() / kPage; ++p) {
      const char* page = bytes_.data() + p * kPage;
      if (page[0] == 1 && page[4] == 3 && page[5] == 0 && page[6] == 0 && page[7] == 0) out.push_back(p);
    }
    return out;
  }

  std::string path_;
  std::string bytes_;
};

TEST_F(DamagedFile, OverwrittenDataPages) {
  const auto pages = DataPages();
  ASSERT_GT(pages.size(), 10u);
  std::string damaged = bytes_;
  const size_t middle = pages[pages.size() / 2];
  std::fill_n(damaged.begin() + static_cast<long>(middle * kPage), 2 * kPage, '\x5A');
  WriteAll(path_, damaged);
  const std::string d = Description(path_);
  EXPECT_NE(d.find("The table 'Org' cannot be read completely"), std::string::npos) << d;
  // libmdb's complaint is among the entries, not on the terminal.
  EXPECT_GE(errors_.size(), 2u);

  damaged = bytes_;
  std::fill_n(damaged.begin() + static_cast<long>(middle * kPage), kPage, '\0');
  WriteAll(path_, damaged);
  EXPECT_NE(Description(path_).find("cannot be read completely"), std::string::npos);
}

TEST_F(DamagedFile, DefinitionCountsMoreRows) {
  std::string damaged = bytes_;
  ASSERT_EQ(damaged[3 * kPage], 2);  // the Org definition
  damaged[3 * kPage + 16] = static_cast<char>(damaged[3 * kPage + 16] + 1);
  WriteAll(path_, damaged);
  const std::string d = Description(path_);
  EXPECT_NE(d.find("its definition counts 3001 rows, but 3000 could be read"), std::string::npos) << d;
}

TEST_F(DamagedFile, PrepareReadsOnlyTheColumns) {
  // The rows are damaged (the definition counts one more than there are),
  // so a query fails; preparing one never reads a row and succeeds.
  std::string damaged = bytes_;
  damaged[3 * kPage + 16] = static_cast<char>(damaged[3 * kPage + 16] + 1);
  WriteAll(path_, damaged);
  FakeEnv env;
  std::vector<ErrorEntry> errors;
  auto provider = OpenAccessProvider(path_, env, {}, &errors);
  EXPECT_THROW(provider->Query("SELECT * FROM Org", &errors), _com_error);
  const auto columns =
      provider->Prepare("SELECT * FROM Org WHERE Status Like 'Closed%' ORDER BY [Organization Name]",
                        &errors);
  ASSERT_EQ(columns.size(), jet4::OrgColumns().size());
  EXPECT_EQ(columns[1], jet4::OrgColumns()[1].name);

  errors.clear();
  try {
    provider->Prepare("SELECT * FROM Org WHERE Statsu = 'Closed'", &errors);
    ADD_FAILURE() << "an unknown column prepared";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), kDbErrorsInCommand);
    ASSERT_FALSE(errors.empty());
    EXPECT_NE(errors.back().description.find("Statsu"), std::string::npos) << errors.back().description;
  }
}

TEST(AccessStandIn, PreparesAndQueriesInTheSameDialectOverEmptyTables) {
  FakeEnv env;
  std::vector<ErrorEntry> errors;
  auto provider = OpenAccessStandIn({{"Org", {"Status", "Organization Name", "Event Kill Date"}}}, env);
  EXPECT_EQ(provider->Prepare("SELECT * FROM org WHERE Status Like 'Closed%' AND "
                              "[Event Kill Date] > #3/5/2024# ORDER BY [Organization Name]",
                              &errors),
            (std::vector<std::string>{"Status", "Organization Name", "Event Kill Date"}));
  EXPECT_EQ(provider->Query("SELECT * FROM Org WHERE UCase(Status) = 'OPEN'", &errors)->RowCount(), 0);
  EXPECT_THROW(provider->Prepare("SELECT * FROM Org ORDER BY Organization Name", &errors), _com_error);
  errors.clear();
  try {
    provider->Prepare("SELECT * FROM Orgs", &errors);
    ADD_FAILURE() << "an unknown table prepared";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), kDbNoTable);
  }
}

// The class of damage that made libmdb itself crash while it read the list
// of tables: the page holding the catalog's page map zeroed, or swapped with
// another page. Found by the checks, before libmdb follows the map.
TEST_F(DamagedFile, CatalogPageMapZeroedOrSwapped) {
  ASSERT_EQ(bytes_[2 * kPage], 2);  // the catalog's definition
  uint32_t map;
  std::memcpy(&map, bytes_.data() + 2 * kPage + 55, sizeof map);
  const size_t map_page = map >> 8;
  ASSERT_GT(map_page, 2u);
  const size_t other = DataPages().front();
  ASSERT_NE(other, map_page);

  std::string zeroed = bytes_;
  std::fill_n(zeroed.begin() + static_cast<long>(map_page * kPage), kPage, '\0');
  std::string swapped = bytes_;
  std::swap_ranges(swapped.begin() + static_cast<long>(map_page * kPage),
                   swapped.begin() + static_cast<long>((map_page + 1) * kPage),
                   swapped.begin() + static_cast<long>(other * kPage));
  for (const std::string* damaged : {&zeroed, &swapped}) {
    WriteAll(path_, *damaged);
    const std::string d = Description(path_);
    EXPECT_NE(d.find("Unrecognized database format"), std::string::npos) << d;
    EXPECT_NE(d.find("page map is missing or invalid"), std::string::npos) << d;
  }
}

TEST_F(DamagedFile, TruncatedAtAPageBoundary) {
  WriteAll(path_, bytes_.substr(0, bytes_.size() / kPage / 2 * kPage));
  const std::string d = Description(path_);
  EXPECT_TRUE(d.find("cannot be read completely") != std::string::npos ||
              d.find("Unrecognized database format") != std::string::npos)
      << d;
}

TEST_F(DamagedFile, DefinitionPageReplaced) {
  std::string damaged = bytes_;
  std::fill_n(damaged.begin() + static_cast<long>(3 * kPage), kPage, '\x11');
  WriteAll(path_, damaged);
  EXPECT_NE(Description(path_).find("cannot be read completely"), std::string::npos);
}

TEST_F(DamagedFile, RowOffsetsScrambled) {
  // Junk row offsets on every data page: the reader must refuse, not crash.
  std::string damaged = bytes_;
  for (size_t p : DataPages())
    for (size_t i = 14; i < 40; ++i) damaged[p * kPage + i] = static_cast<char>(0x37 * i);
  WriteAll(path_, damaged);
  EXPECT_NE(Description(path_).find("cannot be read completely"), std::string::npos);
}

TEST_F(DamagedFile, RandomJunkNeverGivesAShortResult) {
  std::mt19937 rng(20240305);
  for (int round = 0; round < 30; ++round) {
    std::string damaged = bytes_;
    // A run of junk somewhere past the header, or scattered junk bytes.
    if (round % 2 == 0) {
      const size_t at = kPage + rng() % (damaged.size() - 2 * kPage);
      for (size_t i = 0; i < 256; ++i) damaged[at + i] = static_cast<char>(rng());
    } else {
      for (int i = 0; i < 32; ++i) damaged[kPage + rng() % (damaged.size() - kPage)] = static_cast<char>(rng());
    }
    WriteAll(path_, damaged);
    auto connection = std::make_shared<Connection>(g_access);
    ::testing::internal::CaptureStderr();
    try {
      connection->Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path_, "", "", -1);
      Recordset rs;
      rs.Open("SELECT * FROM Org ", connection, adOpenStatic, adLockReadOnly, adCmdText);
      EXPECT_EQ(rs.RecordCount(), 3000) << "round " << round;
    } catch (const _com_error& e) {
      EXPECT_FALSE(connection->Errors().empty()) << "round " << round;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "round " << round;
  }
}

TEST_F(DamagedFile, IntactCopyReadsEveryRow) {
  auto connection = std::make_shared<Connection>(g_access);
  connection->Open("Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" + path_, "", "", -1);
  Recordset rs;
  rs.Open("Org", connection, adOpenStatic, adLockReadOnly, adCmdTable);
  EXPECT_EQ(rs.RecordCount(), 3000);
}

}  // namespace
}  // namespace tavrin::ado

namespace tavrin::ado {
namespace {

// Replaces, in place, the first occurrence of `from` in the file's Jet text
// (in either of its encodings) by `to`, of the same length.
bool ReplaceInPlace(const std::string& path, const std::string& from, const std::string& to) {
  std::string bytes = ReadAll(path);
  auto wide = [](const std::string& s) {
    std::string w;
    for (char c : s) w += std::string{c, '\0'};
    return w;
  };
  for (const auto& [f, t] : {std::pair{from, to}, std::pair{wide(from), wide(to)}}) {
    const size_t at = bytes.find(f);
    if (at == std::string::npos) continue;
    bytes.replace(at, t.size(), t);
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return true;
  }
  return false;
}

// A sorted or selected query reads only the columns it names, then each
// record again whole as the cursor reaches it, forwards or back.
TEST_F(AccessFile, RecordsAreReadWholeAsTheCursorReachesThem) {
  Recordset rs;
  rs.Open("SELECT * FROM Org WHERE Category Is Not Null ORDER BY [Record Number] DESC", connection_, adOpenStatic,
          adLockReadOnly, adCmdText);
  ASSERT_EQ(rs.RecordCount(), 5);
  rs.MoveLast();
  EXPECT_EQ(rs.GetFieldValue("Record Number").AsText(), "1");
  EXPECT_EQ(rs.GetFieldValue("Event Notes").AsText(), "The \"Winter Concert\" is off");
  rs.MoveFirst();
  EXPECT_EQ(rs.GetFieldValue("Record Number").AsText(), "5");
  rs.MoveNext();
  rs.MoveNext();
  EXPECT_EQ(rs.GetFieldValue("Permanent Notes").AsText(), kMemo70k);
  EXPECT_EQ(rs.GetFieldValue("Event Kill Date").AsDate(), -1.75);
}

// A record that is no longer what the query saw (the file was changed in
// place meanwhile) fails its move, with the reason; the cursor stays.
TEST_F(AccessFile, ARecordChangedSinceTheQueryFailsItsMove) {
  Recordset rs;
  rs.Open("SELECT * FROM Org WHERE Status <> 'x' ORDER BY [Record Number]", connection_, adOpenStatic,
          adLockReadOnly, adCmdText);
  ASSERT_EQ(rs.GetFieldValue("Record Number").AsText(), "1");
  ASSERT_TRUE(ReplaceInPlace(path_, "Delayed", "Dxlayed"));  // record 4
  // After a move back the records are read again from the file as it is now.
  rs.MoveNext();
  rs.MoveFirst();
  rs.MoveNext();
  rs.MoveNext();
  EXPECT_THROW(rs.MoveNext(), _com_error);
  const auto errors = connection_->Errors();
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors.back().description.find("was changed while it was being read"), std::string::npos)
      << errors.back().description;
  EXPECT_EQ(rs.GetFieldValue("Record Number").AsText(), "3");
}

// Sets the file's modification time a minute back, so that any later write
// gives it a time of its own whatever the file system's clock tick.
void Backdate(const std::string& path) {
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  const timespec times[2] = {st.st_atim, {st.st_mtim.tv_sec - 60, st.st_mtim.tv_nsec}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Organizations whose Status differs between two versions of the file and
// nothing else: both files have the same pages but for those values.
void WriteVersion(const std::string& path, const std::string& status) {
  std::vector<std::vector<Value>> rows;
  for (int i = 1; i <= 300; ++i)
    rows.push_back(OrgRow(i, {{"Status", status},
                              {"Organization Name", "Org " + std::to_string(1000 - i)},
                              {"Category", std::string("Schools")}}));
  WriteOrg(path, rows);
}

class TwoVersions : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "Vesk.mdb";
    WriteVersion(path_, "Closed");
    WriteVersion(dir_ / "new.mdb", "Opened");
    Backdate(path_);
    connection_ = std::make_shared<Connection>(g_access);
    connection_->Open("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path_, "", "", -1);
  }

  // Walks a sorted query over every row, with `change` done between the
  // query and the first record, and returns the statuses read up to the
  // first failed move, whose error goes to *failure.
  std::vector<std::string> Walk(const std::function<void()>& change, std::optional<_com_error>* failure) {
    Recordset rs;
    rs.Open("SELECT * FROM Org ORDER BY [Organization Name]", connection_, adOpenStatic, adLockReadOnly,
            adCmdText);
    change();
    std::vector<std::string> statuses;
    try {
      for (rs.MoveFirst(); !rs.IsEOF(); rs.MoveNext()) statuses.push_back(rs.GetFieldValue("Status").AsText());
    } catch (const _com_error& e) {
      *failure = e;
    }
    return statuses;
  }

  TempFolder dir_;
  std::string path_;
  ConnectionPtr connection_;
};

// The file written in place between the query and its records: no walk
// ends with rows of both versions, even where the rows it compares (the
// columns the query holds) are the same in both.
TEST_F(TwoVersions, AFileWrittenInPlaceFailsTheWalkBeforeItEnds) {
  std::optional<_com_error> failure;
  const std::string next = ReadAll(dir_ / "new.mdb");
  ASSERT_EQ(next.size(), ReadAll(path_).size());
  const auto statuses = Walk(
      [&] {
        std::fstream out(path_, std::ios::binary | std::ios::in | std::ios::out);
        out.write(next.data(), static_cast<std::streamsize>(next.size()));
      },
      &failure);
  ASSERT_TRUE(failure.has_value()) << statuses.size() << " rows read";
  EXPECT_EQ(failure->Error(), kDbConcurrencyViolation);
  EXPECT_LT(statuses.size(), 300u);
  const auto errors = connection_->Errors();
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back().description, "The database file '" + path_ + "' was changed while it was being read.");

  // Read again from the start, the file is of one version again.
  failure.reset();
  EXPECT_EQ(Walk([] {}, &failure), std::vector<std::string>(300, "Opened"));
  EXPECT_FALSE(failure.has_value());
}

// A file replaced by a rename is read whole in the version the query saw.
TEST_F(TwoVersions, AFileReplacedByRenameIsReadInItsOldVersion) {
  std::optional<_com_error> failure;
  const auto statuses = Walk([&] { fs::rename(dir_ / "new.mdb", path_); }, &failure);
  EXPECT_FALSE(failure.has_value()) << failure->Description().value_or("");
  EXPECT_EQ(statuses, std::vector<std::string>(300, "Closed"));
}

// A file written while a reading reads it is read once more; written again,
// the reading fails, saying why.
TEST_F(TwoVersions, AFileWrittenWhileItIsReadFailsItsReading) {
  AccessOptions options;
  // In the reader, before it reads a page: moves the file's time on, as a
  // write does, by a second each time, so that every reading sees a change.
  options.reader.before_sandbox = [path = path_] {
    const int fd = open(path.c_str(), O_WRONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) _exit(2);
    const timespec times[2] = {st.st_atim, {st.st_mtim.tv_sec + 1, st.st_mtim.tv_nsec}};
    futimens(fd, times);
    close(fd);
  };
  FakeEnv env;
  std::vector<ErrorEntry> errors;
  try {
    OpenAccessProvider(path_, env, {}, &errors, options);
    ADD_FAILURE() << "the file was read";
  } catch (const _com_error& e) {
    EXPECT_EQ(e.Error(), kDbConcurrencyViolation);
  }
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back().description, "The database file '" + path_ + "' was changed while it was being read.");
}

}  // namespace
}  // namespace tavrin::ado
