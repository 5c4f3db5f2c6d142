#include "output/sqlserver_output.h"

#include <gtest/gtest.h>

#include "output/output_test_support.h"
#include "platform/ado/fake_provider.h"

namespace tavrin::test {
namespace {

tagORG_INFO FullOrg() {
  tagORG_INFO org;
  org.nRecordNumber = 17;
  org.strStatus = "Closed";
  org.strEventNotes = "Snow";
  org.strOrganizationName = "O'Brien's Daycare";
  org.strTownCity = "Springfield";
  org.strCounty = "Essex";
  org.strCategory = "Daycare";
  org.strZipCode = "01101";
  org.strCity = "Springfield";
  org.strState = "MA";
  org.strPermanentNotes = "never sent";
  org.dtEventKillDate = {45356.58819444444, COleDateTime::valid};  // 2024-03-05 14:07
  org.dtEventUpdateTime = {-1.25, COleDateTime::valid};             // 1899-12-29 06:00
  return org;
}

TEST(PublishBatchTest, TheTableIsCreatedWithTheTwentyFourColumns) {
  EXPECT_EQ(CreateOrgTableBatch(),
            "IF NOT EXISTS (SELECT * from dbo.sysobjects where id = object_id('vesk_org') and "
            "OBJECTPROPERTY(id, 'IsUserTable') = 1)\n"
            "CREATE TABLE [vesk_org]\n"
            "(org_id INTEGER NOT NULL,status CHAR(70),event_notes CHAR(60),id_code CHAR(10),"
            "pin_code CHAR(10),organization_name CHAR(30),event_kill_date DATETIME,"
            "event_update_time DATETIME,permanent_notes CHAR(6000),town_city CHAR(30),"
            "county CHAR(20),category CHAR(30),web_address CHAR(50),contact_name CHAR(30),"
            "street_address_1 CHAR(50),street_address_2 CHAR(50),zip_code CHAR(5),city CHAR(30),"
            "state CHAR(15),daytime_phone CHAR(14),evening_phone CHAR(14),other_phone CHAR(14),"
            "fax_number CHAR(14),email_address char(50)\n"
            "CONSTRAINT veskOrgKey PRIMARY KEY(org_id))");
}

TEST(PublishBatchTest, UpsertWithBothOrdersOfTheTextsAndEveryKindOfDate) {
  tagORG_INFO org = FullOrg();
  EXPECT_EQ(PublishOrgBatch(org),
            "SET QUOTED_IDENTIFIER OFF\n"
            "IF EXISTS (SELECT * FROM vesk_org WHERE org_id = 17)\n"
            "BEGIN\n"
            "UPDATE vesk_org\n"
            "SET event_notes = \"Snow\", status = \"Closed\", organization_name = \"O'Brien's "
            "Daycare\", town_city = \"Springfield\", county = \"Essex\", category = \"Daycare\", "
            "zip_code = \"01101\", city = \"Springfield\", state = \"MA\",event_kill_date = "
            "\"03/05/2024 14:07\",event_update_time = \"12/29/1899 06:00\"\n"
            "WHERE org_id = 17\n"
            "END\n"
            "ELSE BEGIN\n"
            "INSERT INTO vesk_org (org_id, event_notes, status, organization_name, town_city, county, "
            "category, city, state, zip_code, event_kill_date, event_update_time) VALUES (17, "
            "\"Snow\", \"Closed\", \"O'Brien's Daycare\", \"Springfield\", \"Essex\", \"Daycare\", "
            "\"Springfield\", \"MA\", \"01101\", \"03/05/2024 14:07\", \"12/29/1899 06:00\")\n"
            "END\n"
            "SET QUOTED_IDENTIFIER ON\n");
  // Null, invalid and unrepresentable dates are NULL, without quotes.
  org.dtEventKillDate.status = COleDateTime::null;
  org.dtEventUpdateTime = {1e12, COleDateTime::valid};
  const std::string nulls = PublishOrgBatch(org);
  EXPECT_NE(nulls.find("state = \"MA\",event_kill_date = NULL,event_update_time = NULL\n"),
            std::string::npos);
  EXPECT_NE(nulls.find("\"01101\", NULL, NULL)\n"), std::string::npos);
  org.dtEventKillDate.status = COleDateTime::invalid;
  EXPECT_EQ(PublishOrgBatch(org), nulls);
}

// A "SQLServer" report over three records through the driver, with a fake
// server behind the output database.
class SqlServerReportTest : public ReportTest {
 protected:
  SqlServerReportTest() {
    def().m_strOutput = "SQLServer";
    def().m_strDataPath = "/data/Vesk.mdb";
    def().m_strDestinationDBConnectString = "Provider=SQLOLEDB;Data Source=h;Password=pw";
    reader.records = {FullOrg(), FullOrg(), FullOrg()};
    for (int i = 0; i < 3; ++i) reader.records[static_cast<size_t>(i)].nRecordNumber = i + 1;
    // The program masks with ado::MaskPasswords; this stand-in knows the one password here.
    db.SetPasswordMask([](const std::string& text) {
      std::string masked = text;
      const size_t at = masked.find("Password=");
      if (at != std::string::npos) masked.replace(at + 9, std::string::npos, "***");
      return masked;
    });
  }

  void Publish() {
    OutputServices services(host);
    services.output_database = &db;
    CReportGenerator(def(), reader, services).GenerateReport();
  }

  std::vector<std::string> Captions() {
    std::vector<std::string> captions;
    for (const auto& box : host.boxes) captions.push_back(box.caption);
    return captions;
  }

  std::vector<std::string> Upserts() {
    std::vector<std::string> ids;
    for (const auto& b : server.batches) {
      const size_t at = b.find("WHERE org_id = ");
      if (b.starts_with("SET QUOTED_IDENTIFIER OFF") && at != std::string::npos)
        ids.push_back(b.substr(at + 15, b.find(')', at) - at - 15));
    }
    return ids;
  }

  ado::FakeServer server;
  COutputDatabase db{def(), host, server};
};

TEST_F(SqlServerReportTest, PublishesEveryRecordBetweenOpenAndClose) {
  Publish();
  ASSERT_EQ(server.batches.size(), 6u);
  EXPECT_EQ(server.batches[0], "SET DATEFORMAT mdy");
  EXPECT_EQ(server.batches[1], CreateOrgTableBatch());
  EXPECT_EQ(server.batches[2], "OPEN TABLE vesk_org");
  EXPECT_EQ(server.batches[3], PublishOrgBatch(reader.records[0]));
  EXPECT_EQ(Upserts(), (Texts{"1", "2", "3"}));
  EXPECT_EQ(server.opened, Texts{def().m_strDestinationDBConnectString});
  EXPECT_EQ(host.statuses,
            (Texts{"Attempting to open: /data/Vesk.mdb", "Output Database open successfully",
                   "Processing 0 of 3", "Processing 1 of 3", "Processing 2 of 3", "Processing 3 of 3",
                   "Attempting to close: /data/Vesk.mdb", "Database closed successfully"}));
  EXPECT_TRUE(host.boxes.empty());
  EXPECT_EQ(host.failures, 0);
  EXPECT_EQ(server.connections, 0);
  EXPECT_FALSE(db.m_bOutputDatabaseOpen);
  // The run's own closing step then finds nothing to do.
  EXPECT_TRUE(db.CloseOutputDatabase());
  EXPECT_EQ(host.statuses.size(), 8u);
}

TEST_F(SqlServerReportTest, AFailedOpenShowsOneBoxAndSendsNothing) {
  server.open_errors = {{0, "Data source name not found and no default driver specified"}};
  server.warnings = {"Data Source \".\" is taken as localhost."};
  Publish();
  EXPECT_TRUE(server.batches.empty());
  EXPECT_EQ(reader.reads, 0);
  EXPECT_EQ(Captions(), Texts{"COM Error"});
  EXPECT_NE(host.boxes[0].text.find("Data source name not found"), std::string::npos);
  EXPECT_EQ(host.status(),
            "Database open FAILURE! If this error persists, contact your server admin. or Quenby "
            "Technical Support.");
  EXPECT_EQ(host.failures, 1);
  // The key to mend, never with its password, where it leads, and why.
  const std::string failed =
      "[] DestinationDBConnectString = \"Provider=SQLOLEDB;Data Source=h;Password=***\": cannot be "
      "opened (server h, port 1433, the login's default database): Data source name not found and no "
      "default driver specified";
  EXPECT_EQ(host.notices, (Texts{"SQL Server connection: Data Source \".\" is taken as localhost.", failed}));
  EXPECT_EQ(host.notice_severities.back(), Severity::kError);
  EXPECT_TRUE(db.CloseOutputDatabase());
  // A warning is told once in the program's life; the failure each time.
  Publish();
  EXPECT_EQ(host.notices.size(), 3u);
  EXPECT_EQ(host.notices.back(), failed);
}

TEST(SqlServerTargetTest, ServerPortAndDatabaseOfBothStringStyles) {
  EXPECT_EQ(SqlServerTarget("Provider=SQLOLEDB;Data Source=db.example, 1500;Initial Catalog=News;"
                            "User ID=u;Password=secret"),
            "server db.example, port 1500, database News");
  EXPECT_EQ(SqlServerTarget("Provider=SQLNCLI11;Data Source=tcp:host\\SQLEXPRESS;Password=secret"),
            "server host, instance SQLEXPRESS, the login's default database");
  EXPECT_EQ(SqlServerTarget("Driver={FreeTDS};Server=10.0.0.5;Port=1444;Database=vesk;PWD={x;y}"),
            "server 10.0.0.5, port 1444, database vesk");
  EXPECT_EQ(SqlServerTarget(""), "server (none named), port 1433, the login's default database");
}

TEST_F(SqlServerReportTest, AFailedDateFormatIsAFailedOpen) {
  server.failures = {{"SET DATEFORMAT", {{0, "no"}}}};
  Publish();
  EXPECT_EQ(server.batches, Texts{"SET DATEFORMAT mdy"});
  EXPECT_EQ(Captions(), Texts{"COM Error"});
  EXPECT_EQ(server.connections, 0);
  EXPECT_FALSE(db.m_bOutputDatabaseOpen);
}

TEST_F(SqlServerReportTest, ARejectedBatchShowsItsBoxesAndTheNextRecordFollows) {
  server.failures = {{"org_id = 2)",
                      {{8152, "String or binary data would be truncated."},
                       {3621, "The statement has been terminated."}}}};
  Publish();
  EXPECT_EQ(Upserts(), (Texts{"1", "2", "3"}));
  EXPECT_EQ(Captions(), (Texts{"Provider Error", "Provider Error", "COM Error"}));
  EXPECT_EQ(host.boxes[0].text, "\t Error number: 1fd8\tString or binary data would be truncated.");
  EXPECT_EQ(host.boxes[1].text, "\t Error number: e25\tThe statement has been terminated.");
  EXPECT_EQ(host.failures, 1);
  EXPECT_EQ(host.status(), "Database closed successfully");
}

TEST_F(SqlServerReportTest, ALostConnectionEndsThePublicationAtThatRecord) {
  reader.records.push_back(FullOrg());
  server.failures = {{"org_id = 2)", {{20017, "Unexpected EOF from the server"}}, true}};
  Publish();
  EXPECT_EQ(Upserts(), (Texts{"1", "2"}));
  EXPECT_EQ(Captions(), (Texts{"Provider Error", "COM Error"}));
  EXPECT_EQ(reader.reads, 2);
  EXPECT_EQ(host.status(), "Processing 1 of 4");
  EXPECT_EQ(host.failures, 1);
  // The run's closing step closes the connection.
  EXPECT_TRUE(db.m_bOutputDatabaseOpen);
  EXPECT_TRUE(db.CloseOutputDatabase());
  EXPECT_EQ(server.connections, 0);

  // Lost at the last record: the walk is not complete, nothing is closed.
  host.boxes.clear();
  host.statuses.clear();
  reader.records.pop_back();
  server.failures = {{"org_id = 3)", {{20017, "Unexpected EOF from the server"}}, true}};
  Publish();
  EXPECT_EQ(host.status(), "Processing 2 of 3");
  EXPECT_TRUE(db.m_bOutputDatabaseOpen);
  EXPECT_TRUE(db.CloseOutputDatabase());

  // Lost while the table was being prepared: no record is read.
  host.boxes.clear();
  reader.reads = 0;
  server.failures = {{"CREATE TABLE", {{20017, "Unexpected EOF from the server"}}, true}};
  Publish();
  EXPECT_EQ(reader.reads, 0);
  EXPECT_EQ(Captions(), (Texts{"Provider Error", "COM Error"}));
  EXPECT_EQ(server.batches.back(), CreateOrgTableBatch());
}

TEST_F(SqlServerReportTest, OverlongTextsAreCutToTheirColumnsAndToldOnce) {
  const std::string e = "\xC3\xA9";  // two bytes, one character
  reader.records[0].strStatus = std::string(69, 's') + e + "tail";
  reader.records[0].strZipCode = "12345";  // as wide as its column: whole
  reader.records[1].strState = std::string(14, 't') + e + e;
  reader.records[1].strPermanentNotes = std::string(7000, 'p');  // never sent
  Publish();
  const std::string& first = server.batches[3];
  EXPECT_NE(first.find("status = \"" + std::string(69, 's') + e + "\","), std::string::npos);
  EXPECT_NE(first.find("zip_code = \"12345\""), std::string::npos);
  EXPECT_NE(server.batches[4].find("state = \"" + std::string(14, 't') + e + "\","), std::string::npos);
  EXPECT_EQ(server.batches[4].find("ppp"), std::string::npos);
  EXPECT_EQ(host.notices, Texts{"SQL Server: 2 texts were longer than their columns and were cut "
                                "to fit; the first: record 1, column status."});
  EXPECT_TRUE(host.boxes.empty());
}

TEST_F(SqlServerReportTest, AStopKeepsWhatWasPublishedAndSaysSo) {
  def().m_strReportName = "Web";
  const auto output = SqlServerOutput::Open(def(), db, host);
  ASSERT_TRUE(output);
  output->WriteRecord(reader.records[0]);
  output->WriteRecord(reader.records[1]);
  output->End(WalkEnd::kStopped);
  EXPECT_EQ(Upserts(), (Texts{"1", "2"}));
  EXPECT_EQ(host.notices, Texts{"Web: stopped before the report was finished; 2 organizations were "
                                "published to table vesk_org"});
  // The run's closing step closes the database.
  EXPECT_TRUE(db.m_bOutputDatabaseOpen);
}

TEST_F(SqlServerReportTest, NoRecordsStillOpensAndClosesTheDatabase) {
  reader.records.clear();
  Publish();
  EXPECT_EQ(server.batches.size(), 3u);
  EXPECT_EQ(host.statuses.back(), "Database closed successfully");
  EXPECT_TRUE(host.notices.empty());
}

}  // namespace
}  // namespace tavrin::test
