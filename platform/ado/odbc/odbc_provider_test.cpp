// The provider through the real unixODBC and FreeTDS against the TDS test
// server: what arrives, and every failure's diagnostics.

#include "platform/ado/odbc/odbc_provider.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "tests/tds_test_server.h"

namespace tavrin::ado {
namespace {

using test::PrivateOdbcSetup;
using test::TdsTestServer;

class OdbcProviderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setup_ = new PrivateOdbcSetup({"TDS"});
    setup_->Apply();
  }
  static void TearDownTestSuite() { delete setup_; }

  static std::string OleDb(const TdsTestServer& server, const std::string& more = "") {
    return "Provider=SQLOLEDB;Data Source=127.0.0.1," + std::to_string(server.port()) +
           ";Initial Catalog=Closings;User ID=web;Password=s3cret" + more;
  }

  // Runs `f`, which must throw _com_error; returns it with the entries.
  static _com_error Failure(const std::function<void(std::vector<ErrorEntry>*)>& f,
                            std::vector<ErrorEntry>* errors) {
    try {
      f(errors);
    } catch (const _com_error& e) {
      return e;
    }
    ADD_FAILURE() << "no error";
    return _com_error(0);
  }

  static PrivateOdbcSetup* setup_;
};

PrivateOdbcSetup* OdbcProviderTest::setup_ = nullptr;

TEST_F(OdbcProviderTest, LogsInAndSendsEachBatchByteForByte) {
  TdsTestServer server;
  std::vector<ErrorEntry> errors;
  auto provider = OpenOdbcProvider(OleDb(server), 15, &errors);
  EXPECT_TRUE(errors.empty());
  const std::string batch =
      "SET QUOTED_IDENTIFIER OFF\nSELECT \"Caf\xC3\xA9 \xE2\x98\x83 \xF0\x9D\x84\x9E O'Brien\"\r\n"
      "SELECT \"Open? {fn now()} {d '2024-03-05'} [x] 50%\"\n" +
      std::string(6000, 'x') + "\n";
  provider->Execute(batch, &errors);
  provider->Execute("SET DATEFORMAT mdy", &errors);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(server.Texts("batch"), (std::vector<std::string>{batch, "SET DATEFORMAT mdy"}));
  const std::vector<std::string> logins = server.Texts("login");
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_NE(logins[0].find("user=web\npassword=s3cret\n"), std::string::npos) << logins[0];
  EXPECT_NE(logins[0].find("database=Closings\n"), std::string::npos) << logins[0];
  EXPECT_NE(logins[0].find("tds=74000004\n"), std::string::npos) << logins[0];
  EXPECT_FALSE(provider->IsConnectionDead());
}

TEST_F(OdbcProviderTest, ServerErrorsBecomeEntriesAlsoAfterTheFirstResult) {
  TdsTestServer server(R"({"rules": [
    {"match": "late", "tokens": [{"done": {"count": 1, "more": true}},
      {"error": {"number": 515, "class": 16, "message": "Cannot insert the value NULL."}},
      {"done": {"error": true}}]},
    {"match": "two", "tokens": [
      {"error": {"number": 8152, "class": 16, "message": "String or binary data would be truncated."}},
      {"info": {"number": 3621, "message": "The statement has been terminated."}},
      {"done": {"error": true}}]}]})");
  std::vector<ErrorEntry> errors;
  auto provider = OpenOdbcProvider(OleDb(server), 15, &errors);

  _com_error e = Failure([&](auto* out) { provider->Execute("late", out); }, &errors);
  EXPECT_EQ(e.Error(), kDbErrorsInCommand);
  EXPECT_EQ(e.Source(), "unixODBC");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number, 515);
  EXPECT_EQ(errors[0].description, "[FreeTDS][SQL Server]Cannot insert the value NULL.");
  EXPECT_EQ(e.Description(), errors[0].description);

  errors.clear();
  e = Failure([&](auto* out) { provider->Execute("two", out); }, &errors);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].number, 8152);
  EXPECT_EQ(errors[1].number, 3621);
  // A rejected batch leaves the connection usable.
  EXPECT_FALSE(provider->IsConnectionDead());
  errors.clear();
  provider->Execute("fine", &errors);
}

TEST_F(OdbcProviderTest, RefusedLoginsNameTheMaskedStringAndNeverThePassword) {
  for (const char* mode : {"refuse", "refuse_db"}) {
    TdsTestServer server(std::string(R"({"login": ")") + mode + "\"}");
    std::vector<ErrorEntry> errors;
    const _com_error e = Failure([&](auto* out) { OpenOdbcProvider(OleDb(server), 15, out); }, &errors);
    EXPECT_EQ(e.Error(), kEFail);
    std::vector<int32_t> numbers;
    for (const auto& entry : errors) numbers.push_back(entry.number);
    if (std::string(mode) == "refuse") {
      EXPECT_EQ(numbers, (std::vector<int32_t>{18456, 0}));
    } else {
      // FreeTDS puts the more severe 18456 (class 14) before 4060 (class 11).
      EXPECT_EQ(numbers, (std::vector<int32_t>{18456, 4060, 0}));
    }
    const std::string description = e.Description().value_or("");
    EXPECT_EQ(description.rfind(errors[0].description, 0), 0u) << description;
    EXPECT_NE(description.find("\n\tConnection string = Driver={FreeTDS};Server=127.0.0.1;Port=" +
                               std::to_string(server.port()) +
                               ";Database=Closings;UID={web};PWD=***;Encryption=request;"
                               "TDS_Version=7.4;ClientCharset=UTF-8"),
              std::string::npos)
        << description;
    EXPECT_EQ(description.find("s3cret"), std::string::npos);
  }
}

TEST_F(OdbcProviderTest, UnreachableServersFailWithinTheLoginTimeout) {
  std::vector<ErrorEntry> errors;
  // Nothing listens on port 1.
  Failure([&](auto* out) { OpenOdbcProvider("Provider=SQLOLEDB;Data Source=127.0.0.1,1", 15, out); },
          &errors);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors[0].number, 20009);

  // A server that never answers: the login time-out ends the wait, also for
  // an ODBC string that sets no TDS version (a driver name registered for
  // FreeTDS's library gets one).
  TdsTestServer silent(R"({"login": "silent"})");
  const std::string port = std::to_string(silent.port());
  for (const std::string& text :
       {"Provider=SQLOLEDB;Data Source=127.0.0.1," + port + ";Connect Timeout=1",
        "Driver=TDS;Server=127.0.0.1;Port=" + port}) {
    errors.clear();
    const _com_error e = Failure([&](auto* out) { OpenOdbcProvider(text, 1, out); }, &errors);
    EXPECT_EQ(e.Error(), kEFail) << text;
    ASSERT_FALSE(errors.empty()) << text;
    EXPECT_NE(errors[0].description.find("Timeout expired"), std::string::npos) << errors[0].description;
  }
}

TEST_F(OdbcProviderTest, StringsThatReachNoDriver) {
  std::vector<ErrorEntry> errors;
  _com_error e = Failure([&](auto* out) { OpenOdbcProvider("NONE", 15, out); }, &errors);
  EXPECT_EQ(e.Error(), kEFail);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].description.find("Data source name not found"), std::string::npos);

  errors.clear();
  Failure([&](auto* out) { OpenOdbcProvider("Driver={ODBC Driver 18 for SQL Server};Server=h", 15, out); },
          &errors);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].description.find("Can't open lib"), std::string::npos);

  errors.clear();
  e = Failure([&](auto* out) { OpenOdbcProvider("Provider=SQLOLEDB;Data Source=np:h;Password=pw", 15, out); },
              &errors);
  EXPECT_EQ(e.Error(), kEFail);
  EXPECT_NE(e.Description().value_or("").find("named pipe"), std::string::npos);
}

TEST_F(OdbcProviderTest, TranslationWarningsAreKeptAsWarningEntries) {
  TdsTestServer server;
  std::vector<ErrorEntry> errors;
  auto provider = OpenOdbcProvider(OleDb(server, ";Auto Translate=False"), 15, &errors);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].warning);
  EXPECT_NE(errors[0].description.find("auto translate"), std::string::npos);
}

TEST_F(OdbcProviderTest, ADroppedConnectionIsDeadFromThenOn) {
  TdsTestServer server(R"({"rules": [{"match": "drop", "close": true}]})");
  std::vector<ErrorEntry> errors;
  auto provider = OpenOdbcProvider(OleDb(server), 15, &errors);
  const _com_error e = Failure([&](auto* out) { provider->Execute("drop", out); }, &errors);
  EXPECT_EQ(e.Error(), kEFail);
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors[0].number, 20017);  // Unexpected EOF from the server
  EXPECT_TRUE(provider->IsConnectionDead());
  errors.clear();
  Failure([&](auto* out) { provider->Execute("again", out); }, &errors);
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors[0].description.find("Communication link failure"), std::string::npos);
}

TEST_F(OdbcProviderTest, ABatchThatOutlivesItsTimeoutIsCancelledAndTheConnectionLives) {
  TdsTestServer server(R"({"rules": [{"match": "slow", "silent": true}]})");
  std::vector<ErrorEntry> errors;
  auto provider = OpenOdbcProvider(OleDb(server, ";General Timeout=1"), 15, &errors);
  const _com_error e = Failure([&](auto* out) { provider->Execute("slow", out); }, &errors);
  EXPECT_EQ(e.Error(), kDbQueryTimeout);
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors[0].description.find("Timeout expired"), std::string::npos);
  EXPECT_EQ(server.Texts("attention").size(), 1u);
  EXPECT_FALSE(provider->IsConnectionDead());
  errors.clear();
  provider->Execute("next", &errors);
  EXPECT_EQ(server.Texts("batch").back(), "next");
}

TEST_F(OdbcProviderTest, QueriesKeepEveryRowAndTablesAreCheckedWithoutRows) {
  TdsTestServer server;
  std::vector<ErrorEntry> errors;
  auto provider = OpenOdbcProvider(OleDb(server), 15, &errors);
  const std::string long_text(3000, 'z');
  const std::string sql =
      R"(SELECT '{"columns": [["n", "int"], ["name", "nvarchar"], ["x", "float"], ["when", "datetime"]],)"
      R"( "rows": [[7, "Caf\u00e9", 2.5, [45354, 4236300]], [null, null, null, null], [1, ")" +
      long_text + R"(", 0, [0, 0]]]}' AS probe)";
  const auto result = provider->Query(sql, &errors);
  EXPECT_EQ(result->Columns(), (std::vector<std::string>{"n", "name", "x", "when"}));
  ASSERT_EQ(result->RowCount(), 3);
  EXPECT_EQ(result->Value(0, 0).AsLong(), 7);
  EXPECT_EQ(result->Value(0, 1).AsText(), "Caf\xC3\xA9");
  EXPECT_EQ(result->Value(0, 2).AsText(), "2.5");
  // Day 45354 from 1900 is 2024-03-05 (OLE 45356); 4236300/300 s is 03:55:21.
  EXPECT_EQ(result->Value(0, 3).AsText(), "3/5/2024 3:55:21 AM");
  for (int c = 0; c < 4; ++c) EXPECT_TRUE(result->Value(1, c).IsNull()) << c;
  EXPECT_EQ(result->Value(2, 1).AsText(), long_text);

  // The table check names the table bare and asks for no row.
  Failure([&](auto* out) { provider->OpenTable("vesk_org", out); }, &errors);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number, 208);
  provider->Execute("IF NOT EXISTS (SELECT 1)\nCREATE TABLE [vesk_org]\n(org_id INTEGER NOT NULL)", &errors);
  const auto table = provider->OpenTable("vesk_org", &errors);
  EXPECT_EQ(table->RowCount(), 0);
  ASSERT_EQ(table->Columns().size(), 24u);
  EXPECT_EQ(table->Columns().front(), "org_id");
  EXPECT_EQ(table->Columns().back(), "email_address");
  const auto batches = server.Texts("batch");
  EXPECT_EQ(batches[1], "SELECT * FROM vesk_org WHERE 1 = 0");
  EXPECT_EQ(batches.back(), "SELECT * FROM vesk_org WHERE 1 = 0");
}

TEST_F(OdbcProviderTest, DataSourceNamesAreFollowedToTheirDriver) {
  TdsTestServer silent(R"({"login": "silent"})");
  {
    std::ofstream ini(setup_->dir() + "/odbc.ini");
    ini << "[Web]\nDriver=FreeTDS\nServer=127.0.0.1\nPort=" << silent.port() << "\n";
  }
  std::vector<ErrorEntry> errors;
  // Without the TDS version that the provider adds, this would hang.
  Failure([&](auto* out) { OpenOdbcProvider("DSN=Web;UID=web;PWD=pw", 1, out); }, &errors);
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors[0].description.find("Timeout expired"), std::string::npos) << errors[0].description;
  std::ofstream(setup_->dir() + "/odbc.ini") << "";
}

}  // namespace
}  // namespace tavrin::ado
