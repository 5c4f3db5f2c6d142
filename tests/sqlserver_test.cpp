// End-to-end: "SQLServer" reports made by the real program through the real
// unixODBC and FreeTDS against the TDS test server.

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "output/vesk_output_ado.h"
#include "tests/harness.h"
#include "tests/tds_test_server.h"

namespace tavrin::test {
namespace {

const char kPassword[] = "S3cr3t!pw";

// Three organizations, sorted by name into the order 2, 3, 1: non-ASCII
// text, apostrophes and double quotes, a permanent note of 6,000 characters,
// an over-long status, a kill date of 14:07 stored a hair below the minute,
// a null date and one before 1900.
const std::string kRows =
    R"({"Record Number": 1, "Organization Name": "Zoë's Café ☃", "Status": "Closed", "Event Notes": "Say \"snow\"", "Town\\City": "Springfield", "County": "Essex", "Category": "Schools", "Zip Code": "01101", "City": "Springfield", "State": "MA", "Permanent Notes": ")" +
    std::string(6000, 'n') +
    R"(", "Event Kill Date": 45356.58819444444, "Event Update Time": -1.25}
{"Record Number": 2, "Organization Name": "Alpha Academy", "Status": ")" + std::string(75, 'S') +
    R"(", "Category": "Schools", "Event Kill Date": null, "Event Update Time": "2024-03-05 06:30:00"}
{"Record Number": 3, "Organization Name": "Mid School", "Status": "Open", "Category": "Schools"}
)";

std::string ExpectedUpsert1() {
  return "SET QUOTED_IDENTIFIER OFF\n"
         "IF EXISTS (SELECT * FROM vesk_org WHERE org_id = 1)\n"
         "BEGIN\n"
         "UPDATE vesk_org\n"
         "SET event_notes = \"Say 'snow'\", status = \"Closed\", organization_name = \"Zo\xC3\xAB's "
         "Caf\xC3\xA9 \xE2\x98\x83\", town_city = \"Springfield\", county = \"Essex\", category = "
         "\"Schools\", zip_code = \"01101\", city = \"Springfield\", state = \"MA\",event_kill_date "
         "= \"03/05/2024 14:07\",event_update_time = \"12/29/1899 06:00\"\n"
         "WHERE org_id = 1\n"
         "END\n"
         "ELSE BEGIN\n"
         "INSERT INTO vesk_org (org_id, event_notes, status, organization_name, town_city, county, "
         "category, city, state, zip_code, event_kill_date, event_update_time) VALUES (1, \"Say "
         "'snow'\", \"Closed\", \"Zo\xC3\xAB's Caf\xC3\xA9 \xE2\x98\x83\", \"Springfield\", "
         "\"Essex\", \"Schools\", \"Springfield\", \"MA\", \"01101\", \"03/05/2024 14:07\", "
         "\"12/29/1899 06:00\")\n"
         "END\n"
         "SET QUOTED_IDENTIFIER ON\n";
}

const char kOpenFailure[] =
    "Database open FAILURE! If this error persists, contact your server admin. or Quenby "
    "Technical Support.";

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class SqlServerTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteRows(kRows); }

  void WriteRows(const std::string& rows) {
    WriteFile(dir_ / "rows.jsonl", rows);
    const RunResult w = RunProgram(MdbWriteBinary(), {"Vesk.mdb", "--jsonl", "rows.jsonl"}, dir_.path());
    ASSERT_EQ(w.exit_code, 0) << w.err;
  }

  static std::string OleDb(int port, const std::string& more = "") {
    return "Provider=SQLOLEDB;Data Source=127.0.0.1," + std::to_string(port) +
           ";Initial Catalog=Closings;User ID=web;Password=" + kPassword + more;
  }

  // Runs report Web (or the schedule, when `report` is empty) publishing
  // to `connection`, sorted by organization name.
  RunResult Publish(const std::string& connection, const std::string& report = "Web",
                    const std::string& schedule = "", const std::optional<SignalOn>& signal = {}) {
    WriteFile(dir_ / "TavrinReport.ini",
              schedule + "[Web]\nOutput=SQLServer\nReportField1=[Organization Name]\n"
                         "ReportFieldSort1=Yes\n" +
                  (connection.empty() ? "" : "DestinationDBConnectString=" + connection + "\n"));
    std::vector<std::string> args = {"--unattended"};
    if (!report.empty()) args.push_back(report);
    const RunResult r =
        RunProgram(ReportBinary(), args, dir_.path(), "", 60, odbc_.Environment(), signal);
    EXPECT_EQ(r.err.find(kPassword), std::string::npos) << "the password was shown:\n" << r.err;
    EXPECT_EQ(r.out.find(kPassword), std::string::npos);
    return r;
  }

  // The org_ids of the upserts the server received, in order.
  static std::vector<std::string> Upserts(const TdsTestServer& server) {
    std::vector<std::string> ids;
    for (const std::string& b : server.Texts("batch")) {
      const std::string head = "IF EXISTS (SELECT * FROM vesk_org WHERE org_id = ";
      const size_t at = b.find(head);
      if (at != std::string::npos) ids.push_back(b.substr(at + head.size(), b.find(')', at) - at - head.size()));
    }
    return ids;
  }

  TempDir dir_;
  PrivateOdbcSetup odbc_;
};

using Texts = std::vector<std::string>;

TEST_F(SqlServerTest, BatchesArriveByteForByteInQueryOrder) {
  TdsTestServer server;
  const RunResult r = Publish(OleDb(server.port()));
  EXPECT_EQ(r.exit_code, 0) << r.err;

  const Texts batches = server.Texts("batch");
  ASSERT_EQ(batches.size(), 6u) << r.err;
  EXPECT_EQ(batches[0], "SET DATEFORMAT mdy");
  EXPECT_EQ(batches[1], CreateOrgTableBatch());  // its text is pinned by the output tests
  EXPECT_EQ(batches[2], "SELECT * FROM vesk_org WHERE 1 = 0");
  EXPECT_EQ(Upserts(server), (Texts{"2", "3", "1"}));
  EXPECT_EQ(batches[5], ExpectedUpsert1());
  // The over-long status is cut to its 70 characters; the null date is NULL.
  EXPECT_NE(batches[3].find("status = \"" + std::string(70, 'S') + "\", organization_name"),
            std::string::npos);
  EXPECT_NE(batches[3].find(",event_kill_date = NULL,event_update_time = \"03/05/2024 06:30\"\n"),
            std::string::npos);
  EXPECT_NE(batches[3].find("\"\", NULL, \"03/05/2024 06:30\")\n"), std::string::npos);
  EXPECT_NE(r.err.find("SQL Server: 1 text was longer than its column and was cut to fit; the "
                       "first: record 2, column status."),
            std::string::npos)
      << r.err;

  const Texts logins = server.Texts("login");
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_NE(logins[0].find(std::string("user=web\npassword=") + kPassword + "\n"), std::string::npos);
  EXPECT_NE(logins[0].find("database=Closings\ntds=74000004\n"), std::string::npos) << logins[0];

  EXPECT_NE(r.err.find("Web: Output Database open successfully"), std::string::npos) << r.err;
  // The driver closes the output; the run's own closing step finds it closed.
  EXPECT_EQ(Count(r.err, "Attempting to close: "), 2u) << r.err;
  EXPECT_EQ(Count(r.err, "Database closed successfully"), 2u) << r.err;
  EXPECT_EQ(server.TextsOnceThere("close", 1).size(), 1u);
  EXPECT_EQ(r.err.find("] "), std::string::npos) << "no box expected:\n" << r.err;
}

TEST_F(SqlServerTest, ARejectedBatchShowsItsBoxesAndTheNextRecordIsPublished) {
  TdsTestServer server(R"js({"rules": [{"match": "org_id = 3)", "tokens": [
    {"error": {"number": 8152, "class": 16, "message": "String or binary data would be truncated."}},
    {"info": {"number": 3621, "message": "The statement has been terminated."}},
    {"done": {"error": true}}]}]})js");
  const RunResult r = Publish(OleDb(server.port()));
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(Upserts(server), (Texts{"2", "3", "1"}));
  const size_t first = r.err.find(
      "[Provider Error] \t Error number: 1fd8\t[FreeTDS][SQL Server]String or binary data would "
      "be truncated.");
  const size_t second =
      r.err.find("[Provider Error] \t Error number: e25\t[FreeTDS][SQL Server]The statement has "
                 "been terminated.");
  const size_t com = r.err.find(
      "[COM Error] Error\n\tCode = 80040e14\n\tCode meaning = IDispatch error #3092\n\tSource = "
      "unixODBC\n\tDescription = [FreeTDS][SQL Server]String or binary data would be truncated.\n");
  ASSERT_NE(first, std::string::npos) << r.err;
  ASSERT_NE(second, std::string::npos) << r.err;
  ASSERT_NE(com, std::string::npos) << r.err;
  EXPECT_LT(first, second);
  EXPECT_LT(second, com);
  EXPECT_LT(com, r.err.find("Processing 2 of 3"));
}

TEST_F(SqlServerTest, OpenFailuresShowOneBoxSendNothingAndEndInTime) {
  TdsTestServer refused(R"({"login": "refuse"})");
  TdsTestServer silent(R"({"login": "silent"})");
  const struct {
    std::string name, connection, reason;
  } kCases[] = {
      {"refused login", OleDb(refused.port()), "Login failed for user 'web'."},
      {"closed port", OleDb(1), "Unable to connect: Adaptive Server is unavailable or does not exist"},
      {"silent server", OleDb(silent.port(), ";Connect Timeout=2"), "Timeout expired"},
  };
  for (const auto& c : kCases) {
    const RunResult r = Publish(c.connection);
    EXPECT_EQ(r.exit_code, 1) << c.name << "\n" << r.err;
    EXPECT_EQ(Count(r.err, "[COM Error] ") + Count(r.err, "[Provider Error] "), 1u) << c.name << "\n" << r.err;
    // After it, the key to mend with its password masked, where it leads and why.
    EXPECT_NE(r.err.find("[Web] DestinationDBConnectString = \"Provider=SQLOLEDB;Data Source=127.0.0.1,"),
              std::string::npos)
        << c.name << "\n" << r.err;
    EXPECT_NE(r.err.find("User ID=web;Password=***"), std::string::npos) << c.name << "\n" << r.err;
    EXPECT_NE(r.err.find(", database Closings): [FreeTDS][SQL Server]" + c.reason), std::string::npos)
        << c.name << "\n" << r.err;
    EXPECT_EQ(r.err.find(kPassword), std::string::npos) << c.name;
    EXPECT_NE(r.err.find("[COM Error] Error\n\tCode = 80004005\n\tCode meaning = Unspecified "
                         "error\n\tSource = unixODBC\n\tDescription = [FreeTDS][SQL Server]" +
                         c.reason + "\n\tConnection string = Driver={FreeTDS};Server=127.0.0.1;"),
              std::string::npos)
        << c.name << "\n" << r.err;
    EXPECT_NE(r.err.find("PWD=***"), std::string::npos) << c.name;
    EXPECT_NE(r.err.find(std::string("Web: ") + kOpenFailure), std::string::npos) << c.name << "\n" << r.err;
    EXPECT_EQ(r.err.find("Processing"), std::string::npos) << c.name;
  }
  EXPECT_TRUE(refused.Texts("batch").empty());
  EXPECT_EQ(refused.Texts("login").size(), 1u);
}

TEST_F(SqlServerTest, TheDefaultConnectionStringFailsOnceAndIsWrittenBack) {
  const RunResult r = Publish("");
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(Count(r.err, "[COM Error] ") + Count(r.err, "[Provider Error] "), 1u) << r.err;
  EXPECT_NE(r.err.find("[COM Error] "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Data source name not found"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(std::string("Web: ") + kOpenFailure), std::string::npos) << r.err;
  EXPECT_NE(ReadFile(dir_ / "TavrinReport.ini").find("DestinationDBConnectString=NONE"), std::string::npos);
}

TEST_F(SqlServerTest, ALostConnectionEndsThePublicationAtThatRecord) {
  TdsTestServer server(R"js({"rules": [{"match": "org_id = 3)", "close": true}]})js");
  const RunResult r = Publish(OleDb(server.port()));
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(Upserts(server), (Texts{"2", "3"}));
  EXPECT_NE(r.err.find("[Provider Error] \t Error number: 4e31\t[FreeTDS][SQL Server]Unexpected EOF "
                       "from the server"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Count(r.err, "[COM Error] "), 1u) << r.err;
  EXPECT_EQ(r.err.find("Processing 2 of 3"), std::string::npos) << r.err;
}

TEST_F(SqlServerTest, ABatchThatTimesOutIsCancelledAndTheNextRecordFollows) {
  TdsTestServer server(R"js({"rules": [{"match": "org_id = 3)", "silent": true}]})js");
  const RunResult r = Publish(OleDb(server.port(), ";General Timeout=1"));
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(Upserts(server), (Texts{"2", "3", "1"}));
  EXPECT_EQ(server.Texts("attention").size(), 1u);
  EXPECT_NE(r.err.find("\tCode = 80040e31\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Timeout expired"), std::string::npos) << r.err;
}

TEST_F(SqlServerTest, ARepeatedReportKeepsOneTableAndUpdatesItsRows) {
  TdsTestServer server(R"({"rows": [3]})");
  const RunResult r = Publish(OleDb(server.port()), "",
                              "[Report Schedule]\nReport Name01=Web\nMinutes Between Reports01=0\n"
                              "Report Name02=Web\nMinutes Between Reports02=0\n");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(server.Texts("login").size(), 2u);
  // Row 3 was there before; the table exists, so it is never created.
  EXPECT_EQ(server.Texts("action"),
            (Texts{"insert 2", "update 3", "insert 1", "update 2", "update 3", "update 1"}));
  EXPECT_EQ(Count(r.err, "Output Database open successfully"), 2u);
}

TEST_F(SqlServerTest, AnOdbcStringNamingTheDriverFileNeedsNoRegistration) {
  TdsTestServer server;
  // An empty registry: the name FreeTDS resolves to nothing here.
  WriteFile(odbc_.dir() + "/odbcinst.ini", "");
  const RunResult r = Publish("Driver=" + FreeTdsDriverPath() + ";Server=127.0.0.1;Port=" +
                              std::to_string(server.port()) + ";UID=web;PWD={" + kPassword + "}");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Upserts(server), (Texts{"2", "3", "1"}));
  // FreeTDS is told the TDS version the string did not give.
  EXPECT_NE(server.Texts("login").at(0).find("tds=74000004"), std::string::npos);
}

TEST_F(SqlServerTest, SigtermStopsThePublicationCancellingTheBatchUnderWay) {
  std::string rows;
  for (int i = 1; i <= 40; ++i)
    rows += R"({"Record Number": )" + std::to_string(i) + R"(, "Organization Name": "Org )" +
            std::to_string(100 + i) + "\"}\n";
  WriteRows(rows);
  TdsTestServer server(R"({"rules": [{"match": "IF EXISTS", "pause": 0.2}]})");
  const RunResult r = Publish(OleDb(server.port()), "Web", "", SignalOn{"Processing 0 of 40", SIGTERM});
  EXPECT_EQ(r.exit_code, 143) << r.err;
  EXPECT_LT(Upserts(server).size(), 40u);
  // A batch under way was cut short (an ATTENTION) and counts as not published.
  const size_t cancelled = server.Texts("attention").size();
  EXPECT_LE(cancelled, 1u);
  EXPECT_EQ(r.err.find("] "), std::string::npos) << "no box expected:\n" << r.err;
  EXPECT_NE(r.err.find("Web: stopped before the report was finished; " +
                       std::to_string(Upserts(server).size() - cancelled) +
                       " organizations were published to table vesk_org"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(server.TextsOnceThere("close", 1).size(), 1u);
}

TEST_F(SqlServerTest, SigtermCancelsABatchTheServerNeverAnswers) {
  // The batch of the first organization, 2, gets no answer, ever.
  TdsTestServer server(R"js({"rules": [{"match": "org_id = 2)", "silent": true}]})js");
  const RunResult r = Publish(OleDb(server.port()), "Web", "", SignalOn{"Processing 0 of 3", SIGTERM});
  EXPECT_EQ(r.exit_code, 143) << r.err;
  EXPECT_GE(r.seconds_after_signal, 0);
  EXPECT_LT(r.seconds_after_signal, 2.0);
  // The stop nearly always finds the batch under way, which is then
  // cancelled (an ATTENTION); a stop before it was sent sends none.
  const Texts upserts = Upserts(server);
  EXPECT_LE(upserts.size(), 1u);
  EXPECT_EQ(server.Texts("attention").size(), upserts.size());
  EXPECT_EQ(server.Texts("action"), Texts{"create"});
  EXPECT_EQ(r.err.find("] "), std::string::npos) << "no box expected:\n" << r.err;
  EXPECT_NE(r.err.find("Web: stopped before the report was finished; 0 organizations were published "
                       "to table vesk_org"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(server.TextsOnceThere("close", 1).size(), 1u);
}

}  // namespace
}  // namespace tavrin::test
