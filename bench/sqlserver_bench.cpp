// Batches per second of the SQL Server publication against the TDS test
// server on loopback, next to a bare ODBC loop over the same driver.
//
//   build/bench/sqlserver_bench [--records N] [--runs R]
//
// Writes an Org table of N sample organizations (default 10,000), then runs
// each case R times (default 9), alternating, each against a fresh server:
//   - bare ODBC: one connection through unixODBC and FreeTDS sending one
//     upsert batch N times (SQLExecDirectW, then SQLMoreResults until
//     SQL_NO_DATA), the least a client can do per batch;
//   - the report: tavrin-report publishing the N records ("SQLServer").
// The rate of a case is the number of upsert batches over the time from
// the first to the last one as the server received them; the report's rate
// over its whole run (start-up, reading the Access file, opening and
// closing) is shown beside it. Prints medians, the ratio to bare ODBC, and
// the client's CPU time (user and system) per batch.

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/process_timer.h"
#include "bench/sample_database.h"
#include "output/vesk_output_ado.h"
#include "tests/tds_test_server.h"

namespace {

using tavrin::test::TdsTestServer;

const char kUpsertStart[] = "SET QUOTED_IDENTIFIER OFF\n";

// A batch of the size the report sends for a typical organization.
std::string TypicalBatch() {
  tavrin::tagORG_INFO org;
  org.nRecordNumber = 4711;
  org.strStatus = "Delayed 2 Hours";
  org.strEventNotes = "Buses on snow routes";
  org.strOrganizationName = "Springfield Elementary";
  org.strTownCity = "Springfield";
  org.strCounty = "Hampden";
  org.strCategory = "Public Schools";
  org.strZipCode = "01101";
  org.strCity = "Springfield";
  org.strState = "MA";
  org.dtEventKillDate = {45356.5, tavrin::COleDateTime::valid};
  org.dtEventUpdateTime = {45356.25, tavrin::COleDateTime::valid};
  return tavrin::PublishOrgBatch(org);
}

std::basic_string<SQLWCHAR> Wide(const std::string& ascii) {
  return std::basic_string<SQLWCHAR>(ascii.begin(), ascii.end());
}

// The bare client: connect, send `batch` `count` times, draining results.
int BareLoop(const std::string& connection_string, const std::string& batch, int count) {
  SQLHANDLE env = SQL_NULL_HANDLE, dbc = SQL_NULL_HANDLE, stmt = SQL_NULL_HANDLE;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  auto cs = Wide(connection_string);
  if (!SQL_SUCCEEDED(SQLDriverConnectW(dbc, nullptr, cs.data(), static_cast<SQLSMALLINT>(cs.size()),
                                       nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)))
    return 1;
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
  auto text = Wide(batch);
  for (int i = 0; i < count; ++i) {
    SQLRETURN rc = SQLExecDirectW(stmt, text.data(), static_cast<SQLINTEGER>(text.size()));
    while (rc != SQL_NO_DATA && rc != SQL_ERROR) rc = SQLMoreResults(stmt);
    if (rc == SQL_ERROR) return 1;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return 0;
}

// Upsert batches per second from the first to the last as `server` got them.
double ServerRate(const TdsTestServer& server, int expected) {
  double first = -1, last = 0;
  int count = 0;
  for (const auto& e : server.Events()) {
    if (e.kind != "batch" || e.text.rfind(kUpsertStart, 0) != 0) continue;
    if (count++ == 0) first = e.seconds;
    last = e.seconds;
  }
  if (count != expected) {
    std::fprintf(stderr, "the server received %d upserts, not %d\n", count, expected);
    std::exit(1);
  }
  return (count - 1) / (last - first);
}

}  // namespace

int main(int argc, char** argv) {
  int records = 10000;
  int runs = 9;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--records") records = std::atoi(argv[i + 1]);
    if (opt == "--runs") runs = std::atoi(argv[i + 1]);
  }
  char tmpl[] = "/tmp/tavrin-bench-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  tavrin::bench::WriteSampleDatabase(dir + "/Vesk.mdb", records);
  // The report (a child) inherits the private ODBC set-up.
  tavrin::test::PrivateOdbcSetup odbc;
  odbc.Apply();
  const std::string batch = TypicalBatch();
  std::printf("%d records, %d runs per case, batch of %zu characters\n", records, runs,
              batch.size());

  std::vector<double> bare, report, report_whole, bare_cpu, report_cpu;
  for (int r = 0; r < runs; ++r) {
    {
      TdsTestServer server(R"({"table": true})");
      const std::string cs = "Driver={FreeTDS};Server=127.0.0.1;Port=" + std::to_string(server.port()) +
                             ";Database=Closings;UID={web};PWD={pw};TDS_Version=7.4;ClientCharset=UTF-8";
      const auto m = tavrin::bench::MeasureInChild([&] { return BareLoop(cs, batch, records); });
      if (m.exit_code != 0) {
        std::fprintf(stderr, "the bare loop failed\n");
        return 1;
      }
      bare.push_back(ServerRate(server, records));
      bare_cpu.push_back(m.cpu_seconds / records * 1e6);
    }
    {
      TdsTestServer server(R"({"table": true})");
      std::ofstream(dir + "/TavrinReport.ini")
          << "[Web]\nOutput=SQLServer\nDestinationDBConnectString=Provider=SQLOLEDB;Data Source=127.0.0.1,"
          << server.port() << ";Initial Catalog=Closings;User ID=web;Password=pw\n";
      const auto m = tavrin::bench::RunMeasured({TAVRIN_REPORT_BIN, "--unattended", "Web"}, dir);
      if (m.exit_code != 0) {
        std::fprintf(stderr, "the report failed with exit status %d\n", m.exit_code);
        return 1;
      }
      report.push_back(ServerRate(server, records));
      report_whole.push_back(records / m.seconds);
      report_cpu.push_back(m.cpu_seconds / records * 1e6);
    }
  }
  const double base = tavrin::bench::Median(bare);
  const double report_cpu_median = tavrin::bench::Median(report_cpu);
  std::printf("%-30s %12s %8s %16s\n", "case", "batches/s", "ratio", "client cpu us");
  std::printf("%-30s %12.0f %8.2f %16.1f\n", "bare ODBC loop", base, 1.0,
              tavrin::bench::Median(bare_cpu));
  std::printf("%-30s %12.0f %8.2f %16.1f\n", "report, first to last batch",
              tavrin::bench::Median(report), tavrin::bench::Median(report) / base, report_cpu_median);
  std::printf("%-30s %12.0f %8.2f %16s\n", "report, whole run", tavrin::bench::Median(report_whole),
              tavrin::bench::Median(report_whole) / base, "");
  std::filesystem::remove_all(dir);
  return 0;
}
