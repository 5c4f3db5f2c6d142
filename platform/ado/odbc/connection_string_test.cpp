#include "platform/ado/odbc/connection_string.h"

#include <gtest/gtest.h>

#include "platform/ado/ado.h"

namespace tavrin::ado::odbc {
namespace {

const SqlServerDriver kFreeTds{SqlServerDriver::kFreeTds, "FreeTDS"};
const SqlServerDriver kMs18{SqlServerDriver::kMicrosoft, "ODBC Driver 18 for SQL Server"};

const char kTail[] = ";Encryption=request;TDS_Version=7.4;ClientCharset=UTF-8";

std::string FreeTds(const std::string& oledb) {
  const OdbcConnection c = TranslateOleDb(oledb, kFreeTds);
  EXPECT_EQ(c.error, 0) << c.error_text;
  return c.connection_string;
}

std::string Ms(const std::string& oledb) {
  const OdbcConnection c = TranslateOleDb(oledb, kMs18);
  EXPECT_EQ(c.error, 0) << c.error_text;
  return c.connection_string;
}

TEST(TranslateOleDbTest, ProvidersServerDatabaseAndLogin) {
  for (const char* provider : {"SQLOLEDB", "SQLOLEDB.1", "sqlncli11", "MSOLEDBSQL", "MSOLEDBSQL19"}) {
    EXPECT_EQ(FreeTds(std::string("Provider=") + provider +
                      ";Data Source=db.example.org,14333;Initial Catalog=Closings;User ID=web;"
                      "Password=s3cret"),
              std::string("Driver={FreeTDS};Server=db.example.org;Port=14333;Database=Closings;"
                          "UID={web};PWD={s3cret}") + kTail)
        << provider;
  }
  EXPECT_EQ(Ms("Provider=SQLOLEDB;Data Source=db.example.org,14333;Initial Catalog=Closings;"
               "User ID=web;Password=s3cret"),
            "Driver={ODBC Driver 18 for SQL Server};Server=tcp:db.example.org,14333;"
            "Database=Closings;UID={web};PWD={s3cret};Encrypt=no");
  // Other spellings of the same keywords; no port means 1433.
  EXPECT_EQ(FreeTds("provider=sqloledb;Server=h;Database=d;UID=u;PWD=p"),
            std::string("Driver={FreeTDS};Server=h;Port=1433;Database=d;UID={u};PWD={p}") + kTail);
  EXPECT_EQ(FreeTds("Provider=SQLOLEDB;Address=h;User=u"),
            std::string("Driver={FreeTDS};Server=h;Port=1433;UID={u}") + kTail);
  EXPECT_EQ(Ms("Provider=SQLOLEDB;Address=h"),
            "Driver={ODBC Driver 18 for SQL Server};Server=tcp:h,1433;Encrypt=no");
}

TEST(TranslateOleDbTest, ServerForms) {
  // An instance is found through the browser service; tcp: goes for FreeTDS.
  EXPECT_EQ(FreeTds("Provider=SQLOLEDB;Data Source=h\\SQLEXPRESS"),
            std::string("Driver={FreeTDS};Server=h\\SQLEXPRESS") + kTail);
  EXPECT_EQ(Ms("Provider=SQLOLEDB;Data Source=h\\SQLEXPRESS"),
            "Driver={ODBC Driver 18 for SQL Server};Server=h\\SQLEXPRESS;Encrypt=no");
  EXPECT_EQ(FreeTds("Provider=SQLOLEDB;Data Source=tcp:h,2000"),
            std::string("Driver={FreeTDS};Server=h;Port=2000") + kTail);
  EXPECT_EQ(Ms("Provider=SQLOLEDB;Data Source=tcp:h\\I"),
            "Driver={ODBC Driver 18 for SQL Server};Server=tcp:h\\I;Encrypt=no");
  // A port and an instance: the port is used.
  OdbcConnection c = TranslateOleDb("Provider=SQLOLEDB;Data Source=h\\I,2000", kFreeTds);
  EXPECT_EQ(c.connection_string, std::string("Driver={FreeTDS};Server=h;Port=2000") + kTail);
  EXPECT_EQ(c.warnings.size(), 1u);
  for (const char* local : {".", "(local)", "(LOCAL)"}) {
    c = TranslateOleDb(std::string("Provider=SQLOLEDB;Data Source=") + local, kFreeTds);
    EXPECT_EQ(c.connection_string, std::string("Driver={FreeTDS};Server=localhost;Port=1433") + kTail);
    ASSERT_EQ(c.warnings.size(), 1u);
    EXPECT_EQ(c.warnings[0], std::string("Data Source \"") + local + "\" is taken as localhost.");
  }
  c = TranslateOleDb("Provider=SQLOLEDB;Data Source=.\\SQLEXPRESS", kMs18);
  EXPECT_EQ(c.connection_string,
            "Driver={ODBC Driver 18 for SQL Server};Server=localhost\\SQLEXPRESS;Encrypt=no");
}

TEST(TranslateOleDbTest, WhatCannotBeTranslatedIsAnError) {
  const struct {
    const char* text;
    HRESULT code;
    const char* reason;
  } kCases[] = {
      {"Provider=MSDAORA;Data Source=h", kAdErrProviderNotFound, "\"MSDAORA\" is not a SQL Server provider"},
      {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=h", kAdErrProviderNotFound, "is not a SQL Server"},
      {"Provider=SQLOLEDB;Data Source=np:\\\\h\\pipe\\sql\\query", kEFail, "named pipe"},
      {"Provider=SQLOLEDB;Data Source=\\\\h\\pipe\\sql\\query", kEFail, "named pipe"},
      {"Provider=SQLOLEDB;Data Source=lpc:h", kEFail, "shared memory"},
      {"Provider=SQLOLEDB;Data Source=(localdb)\\MSSQLLocalDB", kEFail, "LocalDB"},
      {"Provider=SQLOLEDB;Data Source=h;Network Library=dbnmpntw", kEFail, "only TCP/IP"},
      {"Provider=SQLOLEDB;Data Source=h,port", kEFail, "the port must be a number"},
      {"Provider=SQLOLEDB;Data Source=h,70000", kEFail, "the port must be a number"},
      {"Provider=SQLOLEDB;Initial Catalog=d", kEFail, "names no server"},
      {"Provider=SQLOLEDB;Data Source=,1433", kEFail, "names no server"},
      {"Provider=MSOLEDBSQL;Data Source=h;Encrypt=Strict", kEFail, "TDS 8.0"},
      {"Provider=SQLOLEDB;Data Source=h;Password=\"a};b\"", kEFail, "\"};\""},
  };
  for (const auto& c : kCases) {
    const OdbcConnection out = TranslateOleDb(c.text, kFreeTds);
    EXPECT_EQ(out.error, c.code) << c.text;
    EXPECT_NE(out.error_text.find(c.reason), std::string::npos) << c.text << ": " << out.error_text;
    EXPECT_EQ(out.error_text.find("a};b"), std::string::npos) << "the password is never shown";
  }
  // Microsoft's driver has TDS 8.0 and escapes braces.
  EXPECT_EQ(Ms("Provider=MSOLEDBSQL;Data Source=h;Encrypt=Strict;Password=\"a};b\""),
            "Driver={ODBC Driver 18 for SQL Server};Server=tcp:h,1433;PWD={a}};b};Encrypt=strict");
  EXPECT_EQ(TranslateOleDb("Provider=SQLOLEDB;Data Source=h;Network Library=dbnmpntw", kMs18).error, kEFail);
  EXPECT_EQ(FreeTds("Provider=SQLOLEDB;Data Source=h;Network Library=DBMSSOCN"),
            std::string("Driver={FreeTDS};Server=h;Port=1433") + kTail);
}

TEST(TranslateOleDbTest, SecurityAndEncryption) {
  OdbcConnection c = TranslateOleDb(
      "Provider=SQLOLEDB;Data Source=h;Integrated Security=SSPI;Persist Security Info=False", kFreeTds);
  EXPECT_EQ(c.connection_string,
            "Driver={FreeTDS};Server=h;Port=1433;Trusted_Connection=Yes;Encryption=request;"
            "TDS_Version=7.4;ClientCharset=UTF-8");
  ASSERT_EQ(c.warnings.size(), 1u);
  EXPECT_NE(c.warnings[0].find("Kerberos"), std::string::npos);
  c = TranslateOleDb("Provider=SQLOLEDB;Data Source=h;Trusted_Connection=yes", kMs18);
  EXPECT_EQ(c.connection_string,
            "Driver={ODBC Driver 18 for SQL Server};Server=tcp:h,1433;Trusted_Connection=yes;Encrypt=no");
  EXPECT_EQ(c.warnings.size(), 1u);
  EXPECT_EQ(FreeTds("Provider=SQLOLEDB;Data Source=h;Integrated Security=False"),
            std::string("Driver={FreeTDS};Server=h;Port=1433") + kTail);

  for (const char* on : {"Encrypt=True", "Encrypt=yes", "Use Encryption for Data=True", "Encrypt=Mandatory"}) {
    EXPECT_EQ(FreeTds(std::string("Provider=SQLOLEDB;Data Source=h;") + on),
              "Driver={FreeTDS};Server=h;Port=1433;Encryption=require;TDS_Version=7.4;"
              "ClientCharset=UTF-8")
        << on;
    EXPECT_EQ(Ms(std::string("Provider=SQLOLEDB;Data Source=h;") + on),
              "Driver={ODBC Driver 18 for SQL Server};Server=tcp:h,1433;Encrypt=yes")
        << on;
  }
  for (const char* off : {"Encrypt=False", "Encrypt=Optional", "Use Encryption for Data=no"}) {
    EXPECT_EQ(FreeTds(std::string("Provider=SQLOLEDB;Data Source=h;") + off),
              std::string("Driver={FreeTDS};Server=h;Port=1433") + kTail)
        << off;
  }
  // FreeTDS checks certificates only with a "ca file": it says so when asked to check.
  c = TranslateOleDb("Provider=SQLOLEDB;Data Source=h;Encrypt=True;TrustServerCertificate=False", kFreeTds);
  ASSERT_EQ(c.warnings.size(), 1u);
  EXPECT_NE(c.warnings[0].find("ca file"), std::string::npos);
  EXPECT_TRUE(TranslateOleDb("Provider=SQLOLEDB;Data Source=h;TrustServerCertificate=True", kFreeTds)
                  .warnings.empty());
  EXPECT_EQ(Ms("Provider=SQLOLEDB;Data Source=h;Encrypt=True;TrustServerCertificate=True"),
            "Driver={ODBC Driver 18 for SQL Server};Server=tcp:h,1433;Encrypt=yes;"
            "TrustServerCertificate=yes");
}

TEST(TranslateOleDbTest, TimeoutsAndOtherKeywords) {
  OdbcConnection c = TranslateOleDb(
      "Provider=SQLOLEDB;Data Source=h;Connect Timeout=5;General Timeout=7;Application Name=Web "
      "feed;Workstation ID=ws1;Current Language=us_english;Packet Size=8192;"
      "MultipleActiveResultSets=True;ApplicationIntent=ReadWrite;AttachDBFilename=/d/x.mdf;"
      "Failover Partner=h2;Auto Translate=True",
      kFreeTds);
  EXPECT_EQ(c.error, 0);
  EXPECT_EQ(c.login_timeout, 5);
  EXPECT_EQ(c.query_timeout, 7);
  EXPECT_EQ(c.connection_string,
            "Driver={FreeTDS};Server=h;Port=1433;Encryption=request;APP=Web feed;WSID=ws1;"
            "Language=us_english;PacketSize=8192;MARS_Connection=Yes;ApplicationIntent=ReadWrite;"
            "AttachDbFilename=/d/x.mdf;TDS_Version=7.4;ClientCharset=UTF-8");
  ASSERT_EQ(c.warnings.size(), 2u);
  EXPECT_NE(c.warnings[0].find("Failover Partner"), std::string::npos);
  EXPECT_EQ(c.warnings[1], "The keyword \"auto translate\" is not known for SQL Server and is left out.");

  c = TranslateOleDb("Provider=SQLOLEDB;Data Source=h;Connection Timeout=3;Packet Size=8192;"
                     "MultipleActiveResultSets=True",
                     kMs18);
  EXPECT_EQ(c.login_timeout, 3);
  EXPECT_EQ(c.connection_string,
            "Driver={ODBC Driver 18 for SQL Server};Server=tcp:h,1433;Encrypt=no;MARS_Connection=yes");

  // No waiting forever, and nothing else that is not a number of seconds.
  for (const char* bad : {"0", "-1", "soon"}) {
    c = TranslateOleDb(std::string("Provider=SQLOLEDB;Data Source=h;Connect Timeout=") + bad, kFreeTds);
    EXPECT_FALSE(c.login_timeout) << bad;
    EXPECT_EQ(c.warnings.size(), 1u) << bad;
  }
}

TEST(TranslateOleDbTest, ValuesThatNeedBraces) {
  EXPECT_EQ(FreeTds("Provider=SQLOLEDB;Data Source=h;Initial Catalog='a;b';Password=' p}'"),
            std::string("Driver={FreeTDS};Server=h;Port=1433;Database={a;b};PWD={ p}}") + kTail);
  EXPECT_EQ(Ms("Provider=SQLOLEDB;Data Source=h;Password='p}'"),
            "Driver={ODBC Driver 18 for SQL Server};Server=tcp:h,1433;PWD={p}}};Encrypt=no");
}

TEST(PassThroughTest, TdsVersionIsAddedForFreeTdsOnly) {
  EXPECT_EQ(PassThrough("Driver=FreeTDS;Server=h;Port=1", true).connection_string,
            "Driver=FreeTDS;Server=h;Port=1;TDS_Version=7.4");
  EXPECT_EQ(PassThrough("Driver=FreeTDS;Server=h;", true).connection_string,
            "Driver=FreeTDS;Server=h;TDS_Version=7.4");
  EXPECT_EQ(PassThrough("Driver=FreeTDS;tds_version = 7.2;Server=h", true).connection_string,
            "Driver=FreeTDS;tds_version = 7.2;Server=h");
  EXPECT_EQ(PassThrough("Driver={ODBC Driver 18 for SQL Server};Server=h", false).connection_string,
            "Driver={ODBC Driver 18 for SQL Server};Server=h");
  // A password that looks like the keyword is a password.
  EXPECT_EQ(PassThrough("Driver=FreeTDS;PWD={TDS_Version=7.0;};Server=h", true).connection_string,
            "Driver=FreeTDS;PWD={TDS_Version=7.0;};Server=h;TDS_Version=7.4");
}

TEST(PassThroughTest, ValuesAndDrivers) {
  EXPECT_EQ(OdbcValue("Driver={FreeTDS};Server=h", "driver"), "FreeTDS");
  EXPECT_EQ(OdbcValue(" DSN = Web ;Server=h", "DSN"), "Web");
  EXPECT_EQ(OdbcValue("Server=h", "driver"), "");
  EXPECT_TRUE(IsFreeTdsLibrary("/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so"));
  EXPECT_TRUE(IsFreeTdsLibrary("libtdsodbc.so"));
  EXPECT_FALSE(IsFreeTdsLibrary("/opt/microsoft/msodbcsql18/lib64/libmsodbcsql-18.3.so.1.1"));
  EXPECT_TRUE(IsOleDbString("provider = SQLOLEDB"));
  EXPECT_FALSE(IsOleDbString("Driver=FreeTDS;Server=h"));
  EXPECT_FALSE(IsOleDbString("NONE"));
  EXPECT_FALSE(IsOleDbString("Driver=FreeTDS;PWD={a;Provider=b}"));
  EXPECT_FALSE(IsOleDbString("Provider=MSDASQL;DSN=Web"));

  EXPECT_EQ(ChooseSqlServerDriver({"MDBTools", "ODBC Driver 17 for SQL Server", "FreeTDS"}).kind,
            SqlServerDriver::kFreeTds);
  const SqlServerDriver ms = ChooseSqlServerDriver(
      {"ODBC Driver 17 for SQL Server", "ODBC Driver 18 for SQL Server", "ODBC Driver 9 for SQL Server"});
  EXPECT_EQ(ms.kind, SqlServerDriver::kMicrosoft);
  EXPECT_EQ(ms.name, "ODBC Driver 18 for SQL Server");
  const SqlServerDriver none = ChooseSqlServerDriver({"MDBTools"});
  EXPECT_EQ(none.kind, SqlServerDriver::kFreeTds);
  EXPECT_EQ(none.name, "FreeTDS");
}

}  // namespace
}  // namespace tavrin::ado::odbc
