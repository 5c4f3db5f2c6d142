#include "data/source_database.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "data/vesk_ado.h"
#include "platform/env/fake_env.h"
#include "platform/profile/fake_profile.h"
#include "platform/providers/providers.h"
#include "run/fake_run_host.h"
#include "tools/jet4_writer.h"

namespace tavrin {
namespace {

using jet4::Value;

FieldInfo Sorted(const std::string& name) {
  FieldInfo f;
  f.strFieldName = name;
  f.bSort = true;
  return f;
}

TEST(BuildQueryTest, TheFourShapes) {
  const std::vector<FieldInfo> none = {FieldInfo{}};
  const std::vector<FieldInfo> sorted = {Sorted("[County]"), FieldInfo{}, Sorted("[Category]"),
                                         Sorted("[Organization Name]")};
  EXPECT_EQ(CSourceDatabase::BuildQuery("ALL", none), "SELECT * FROM Org ");
  EXPECT_EQ(CSourceDatabase::BuildQuery("aLl", none), "SELECT * FROM Org ");
  EXPECT_EQ(CSourceDatabase::BuildQuery("All", sorted),
            "SELECT * FROM Org ORDER BY [County],[Category],[Organization Name]");
  EXPECT_EQ(CSourceDatabase::BuildQuery("Status = 'Closed'", none),
            "SELECT * FROM Org WHERE Status = 'Closed'");
  EXPECT_EQ(CSourceDatabase::BuildQuery("ALL ", sorted),
            "SELECT * FROM Org WHERE ALL  ORDER BY [County],[Category],[Organization Name]");
}

TEST(ComErrorTest, BoxTextsAndCodeMeanings) {
  EXPECT_EQ(FormatComError(_com_error(kEFail)),
            "Error\n\tCode = 80004005\n\tCode meaning = Unspecified error\n\tSource = (null)\n"
            "\tDescription = (null)\n");
  EXPECT_EQ(FormatComError(_com_error(kDbErrorsInCommand, "Src", "Bad")),
            "Error\n\tCode = 80040e14\n\tCode meaning = IDispatch error #3092\n\tSource = Src\n"
            "\tDescription = Bad\n");
  EXPECT_EQ(_com_error(kAdErrNoCurrentRecord).ErrorMessage(), "Unknown error 0x800A0BCD");
  EXPECT_EQ(_com_error(kEPointer).ErrorMessage(), "Invalid pointer");
}

TEST(JoinDescriptionsTest, AllOrOnlyTheErrors) {
  const std::vector<ado::ErrorEntry> errors = {
      {1, "not found", false}, {2, "slow link", true}, {3, "", false}, {4, "denied", false}};
  EXPECT_EQ(JoinDescriptions(errors, DiagnosticsTaken::kAll), "not found; slow link; ; denied");
  EXPECT_EQ(JoinDescriptions(errors, DiagnosticsTaken::kErrors), "not found; denied");
  EXPECT_EQ(JoinDescriptions({{2, "slow link", true}}, DiagnosticsTaken::kErrors), "");
}

TEST(CadoTest, FailedReadShowsEveryProviderErrorThenTheComError) {
  FakeRunHost host;
  CADO ado(host);
  ado::DefaultProviders providers(*Env::Default());
  auto conn = std::make_shared<ado::Connection>(providers);
  conn->SetErrors({{-2147217900, "one"}, {2, "two"}, {3, "three"}});
  ado.SetConnection(conn);
  std::string out = "kept";
  ado.GetFieldString("Status", out);  // no record set: an invalid pointer
  EXPECT_EQ(out, "kept");
  ASSERT_EQ(host.boxes.size(), 4u);
  EXPECT_EQ(host.boxes[0].text, "\t Error number: 80040e14\tone");
  EXPECT_EQ(host.boxes[0].caption, "Provider Error");
  EXPECT_EQ(host.boxes[2].text, "\t Error number: 3\tthree");
  EXPECT_EQ(host.boxes[3].caption, "COM Error");
  EXPECT_NE(host.boxes[3].text.find("Invalid pointer"), std::string::npos);
  EXPECT_EQ(host.failures, 1);

  FakeRunHost unbound_host;
  CADO unbound(unbound_host);
  COleDateTime d{5.0, COleDateTime::valid};
  unbound.GetFieldDate("Event Kill Date", d);
  EXPECT_EQ(d.value, 5.0);
  ASSERT_EQ(unbound_host.boxes.size(), 1u);
  EXPECT_EQ(unbound_host.boxes[0].caption, "COM Error");
  EXPECT_EQ(unbound.TryMoveFirst(), CADO::MoveResult::kFailed);
  EXPECT_EQ(unbound_host.boxes.size(), 1u);  // moves show nothing
}

// Three records, of which the third cannot be read when the cursor reaches
// it, as a record read again from a file that changed meanwhile.
class ThirdRecordUnreadable : public ado::ProviderFactory {
 public:
  // The read fails with `hr`.
  explicit ThirdRecordUnreadable(HRESULT hr = kEFail) : hr_(hr) {}
  std::unique_ptr<ado::Provider> Open(const std::string&, int, const ado::CancelCheck&,
                                      std::vector<ado::ErrorEntry>*) override {
    return std::make_unique<OneQuery>(hr_);
  }

 private:
  class Rows : public ado::ResultSet {
   public:
    explicit Rows(HRESULT hr) : hr_(hr) {
      for (const OrgColumn& c : kOrgColumns) columns_.emplace_back(c.name);
    }
    int64_t RowCount() const override { return 3; }
    const std::vector<std::string>& Columns() const override { return columns_; }
    ado::Variant Value(int64_t row, int column) override {
      return column == 0 ? ado::Variant::FromLong(static_cast<int32_t>(row + 1)) : ado::Variant();
    }
    void Fetch(int64_t row, std::vector<ado::ErrorEntry>* errors) override {
      if (row < 2) return;
      errors->push_back({hr_, "The table 'Org' was changed while it was being read."});
      throw _com_error(hr_, std::string("Test"), errors->back().description);
    }

   private:
    HRESULT hr_;
    std::vector<std::string> columns_;
  };
  class OneQuery : public ado::Provider {
   public:
    explicit OneQuery(HRESULT hr) : hr_(hr) {}
    std::unique_ptr<ado::ResultSet> Query(const std::string&, std::vector<ado::ErrorEntry>*) override {
      return std::make_unique<Rows>(hr_);
    }
    void Execute(const std::string&, std::vector<ado::ErrorEntry>*) override {}

   private:
    HRESULT hr_;
  };
  HRESULT hr_;
};

// A record that cannot be read when the walk reaches it ends the walk with
// the provider's reason shown and the run failed, not as a complete report.
TEST(CadoTest, ARecordThatCannotBeReadFailsTheWalkLoudly) {
  FakeRunHost host;
  CVeskADO reader(host);
  ThirdRecordUnreadable providers;
  auto conn = std::make_shared<ado::Connection>(providers);
  conn->Open("Provider=Test", "", "", -1);
  reader.SetConnection(conn);
  ASSERT_TRUE(reader.OpenRecordset("SELECT * FROM Org"));
  tagORG_INFO org;
  ASSERT_TRUE(reader.GetFirstOrg(org));
  ASSERT_TRUE(reader.GetNextOrg(org));
  EXPECT_TRUE(host.boxes.empty());
  EXPECT_FALSE(reader.GetNextOrg(org));
  EXPECT_EQ(org.nRecordNumber, 2);  // the cursor stayed on the record before
  ASSERT_EQ(host.boxes.size(), 2u);
  EXPECT_EQ(host.boxes[0].caption, "Provider Error");
  EXPECT_NE(host.boxes[0].text.find("was changed while it was being read"), std::string::npos);
  EXPECT_EQ(host.boxes[1].caption, "COM Error");
  EXPECT_EQ(host.failures, 1);

  // A read ended by a stop leaves the stop to tell.
  FakeRunHost stopped_host;
  CVeskADO stopped(stopped_host);
  ThirdRecordUnreadable stopping(kEAbort);
  auto stopping_conn = std::make_shared<ado::Connection>(stopping);
  stopping_conn->Open("Provider=Test", "", "", -1);
  stopped.SetConnection(stopping_conn);
  ASSERT_TRUE(stopped.OpenRecordset("SELECT * FROM Org"));
  ASSERT_TRUE(stopped.GetFirstOrg(org));
  ASSERT_TRUE(stopped.GetNextOrg(org));
  EXPECT_FALSE(stopped.GetNextOrg(org));
  EXPECT_TRUE(stopped_host.boxes.empty());
  EXPECT_EQ(stopped_host.failures, 0);
}

size_t Col(std::string_view name) {
  for (size_t i = 0; i < kOrgColumns.size(); ++i)
    if (kOrgColumns[i].name == name) return i;
  ADD_FAILURE() << "no column " << name;
  return 0;
}

std::vector<Value> OrgRow(int32_t number, const std::string& status, const std::string& name) {
  std::vector<Value> row(kOrgColumns.size());
  row[Col("Record Number")] = int64_t{number};
  row[Col("Status")] = status;
  row[Col("Organization Name")] = name;
  return row;
}

std::string Checksum(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return std::to_string(std::hash<std::string>{}(s.str()));
}

class SourceDatabaseTest : public ::testing::Test {
 protected:
  SourceDatabaseTest() : ini_(&store_), def_(ini_, env_), providers_(env_), db_(def_, host_, providers_, *FileSystem::Default()) {
    char tmpl[] = "/tmp/tavrin-srcdb-XXXXXX";
    dir_ = mkdtemp(tmpl);
    def_.m_strDataPath = dir_ + "/Vesk.mdb";
    def_.m_strWhere = "ALL";
  }
  ~SourceDatabaseTest() override { std::filesystem::remove_all(dir_); }

  void WriteOrg(const std::vector<std::vector<Value>>& rows,
                std::vector<jet4::Column> columns = jet4::OrgColumns()) {
    jet4::Writer w(def_.m_strDataPath);
    w.BeginTable("Org", columns);
    for (const auto& r : rows) w.AddRow(r);
    w.EndTable();
    w.Finish();
  }

  std::string dir_;
  FakeEnv env_;
  FakeProfileStore store_;
  CIni2 ini_;
  FakeRunHost host_;
  CReportDefinition def_;
  ado::DefaultProviders providers_;
  CSourceDatabase db_;
};

TEST_F(SourceDatabaseTest, ReadsRecordsWithQuotesNullsAndTheLastRowTwice) {
  auto first = OrgRow(7, "Closed \"today\"", "Springfield Elementary");
  first[Col("Event Kill Date")] = jet4::DateValue{45356.58829861111};
  auto second = OrgRow(8, "Open", "Shelbyville High");
  second[Col("Record Number")] = std::monostate{};
  WriteOrg({first, second});
  const std::string before = Checksum(def_.m_strDataPath);

  ASSERT_TRUE(db_.OpenDatabase());
  EXPECT_EQ(host_.status(), "Database open successfully");
  EXPECT_TRUE(db_.OpenDatabase());  // already open: nothing happens
  ASSERT_TRUE(db_.QueryOrganizations());
  ASSERT_EQ(db_.m_OrgDB.GetRecordCount(), 2);
  tagORG_INFO org;
  org.strCounty = "left over";
  ASSERT_TRUE(db_.m_OrgDB.GetFirstOrg(org));
  EXPECT_EQ(org.nRecordNumber, 7);
  EXPECT_EQ(org.strStatus, "Closed 'today'");
  EXPECT_EQ(org.strCounty, "");  // null text reads empty
  EXPECT_EQ(org.dtEventKillDate.status, COleDateTime::valid);
  EXPECT_DOUBLE_EQ(org.dtEventKillDate.value, 45356.58829861111);
  EXPECT_EQ(org.dtEventUpdateTime.status, COleDateTime::null);
  ASSERT_TRUE(db_.m_OrgDB.GetNextOrg(org));
  EXPECT_EQ(org.nRecordNumber, 0);  // null Long reads 0
  EXPECT_EQ(org.strOrganizationName, "Shelbyville High");
  ASSERT_TRUE(db_.m_OrgDB.GetNextOrg(org));  // past the end: the last row again
  EXPECT_EQ(org.strOrganizationName, "Shelbyville High");
  EXPECT_TRUE(host_.boxes.empty());

  EXPECT_TRUE(db_.CloseDatabase());
  EXPECT_EQ(host_.status(), "Database closed successfully");
  EXPECT_FALSE(db_.m_bDatabaseOpen);
  EXPECT_TRUE(db_.CloseDatabase());
  EXPECT_EQ(Checksum(def_.m_strDataPath), before);
  EXPECT_EQ(host_.failures, 0);
}

TEST_F(SourceDatabaseTest, EmptyTableHasNoRecordsAndFirstReadFails) {
  WriteOrg({});
  ASSERT_TRUE(db_.OpenDatabase());
  ASSERT_TRUE(db_.QueryOrganizations());
  EXPECT_EQ(db_.m_OrgDB.GetRecordCount(), 0);
  tagORG_INFO org;
  org.strStatus = "untouched";
  EXPECT_FALSE(db_.m_OrgDB.GetFirstOrg(org));
  EXPECT_EQ(org.nRecordNumber, -1);
  EXPECT_EQ(org.strStatus, "untouched");
  EXPECT_TRUE(host_.boxes.empty());
}

TEST_F(SourceDatabaseTest, MissingFileShowsOneComErrorBox) {
  EXPECT_FALSE(db_.OpenDatabase());
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_EQ(host_.boxes[0].caption, "COM Error");
  EXPECT_EQ(host_.statuses, (std::vector<std::string>{"Attempting to open: " + def_.m_strDataPath,
                                                      "Database open FAILURE!"}));
  EXPECT_FALSE(db_.m_bDatabaseOpen);
  EXPECT_EQ(host_.failures, 1);
  // The log is told which key to mend and why, as an error.
  ASSERT_EQ(host_.notices.size(), 1u);
  EXPECT_EQ(host_.notices[0].rfind("[] DataPath = \"" + def_.m_strDataPath + "\": cannot be opened: ", 0), 0u)
      << host_.notices[0];
  EXPECT_GT(host_.notices[0].size(), def_.m_strDataPath.size() + 35);  // a reason follows
  EXPECT_EQ(host_.notice_severities[0], Severity::kError);
}

TEST_F(SourceDatabaseTest, BadQueriesShowTheTimedMessage) {
  WriteOrg({OrgRow(1, "Open", "A")});
  ASSERT_TRUE(db_.OpenDatabase());
  def_.m_strReportName = "Daily";
  for (const char* where : {"[No Such Column] = 1", "Status = = 'x'"}) {
    def_.m_strWhere = where;
    host_.timed.clear();
    host_.notices.clear();
    EXPECT_FALSE(db_.QueryOrganizations()) << where;
    ASSERT_EQ(host_.notices.size(), 1u);
    EXPECT_EQ(host_.notices[0].rfind(std::string("[Daily] Where = \"") + where +
                                         "\": the query \"SELECT * FROM Org WHERE " + where + "\" failed: ",
                                     0),
              0u)
        << host_.notices[0];
    EXPECT_EQ(host_.notice_severities.back(), Severity::kError);
    ASSERT_EQ(host_.timed.size(), 1u);
    EXPECT_EQ(host_.timed[0].text,
              "There was a data access error encountered\r\nwhile trying to open the Tavrin "
              "Database.\r\nThis message will close automatically");
    EXPECT_EQ(host_.timed[0].seconds, 5);
    EXPECT_EQ(host_.status(), "Querying Data");
  }
  def_.m_strWhere = "ALL";
  def_.m_FieldInfoArray = {Sorted("Organization Name")};
  def_.m_FieldInfoArray[0].nNumber = 2;
  host_.notices.clear();
  EXPECT_FALSE(db_.QueryOrganizations());
  // Without a condition the sort field is what broke the query.
  ASSERT_EQ(host_.notices.size(), 1u);
  EXPECT_EQ(host_.notices[0],
            "[Daily] ReportField2 = \"Organization Name\": sorted on, the query \"SELECT * FROM Org "
            "ORDER BY Organization Name\" failed: near \"Name\": syntax error");
  EXPECT_TRUE(host_.boxes.empty());
  EXPECT_EQ(host_.failures, 3);  // each failed query counts, though no box showed it
}

TEST_F(SourceDatabaseTest, OrgWithoutAColumnIsRefusedInOneBox) {
  auto columns = jet4::OrgColumns();
  columns.erase(columns.begin() + static_cast<std::ptrdiff_t>(Col("County")));
  std::vector<Value> row(23);
  row[0] = int64_t{1};
  WriteOrg({row}, columns);
  ASSERT_TRUE(db_.OpenDatabase());
  EXPECT_FALSE(db_.QueryOrganizations());
  ASSERT_EQ(host_.boxes.size(), 1u);
  EXPECT_NE(host_.boxes[0].text.find("\"County\""), std::string::npos);
  EXPECT_EQ(host_.failures, 1);
}

}  // namespace
}  // namespace tavrin
