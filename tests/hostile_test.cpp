// End-to-end: sources that are not what they should be, and stops that must
// take effect wherever the run is.

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace tavrin::test {
namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

std::string Ini(const std::string& data_path, const std::string& where = "ALL", bool repeat = false) {
  return "[Report Schedule]\nReport Name01=Rep\nMinutes Between Reports01=" + std::string(repeat ? "1" : "0") +
         "\n[Rep]\nOutput=CSV\nOutputFilename=out.csv\nReportField1=Organization Name\nDataPath=" + data_path +
         "\nWhere=" + where + "\n";
}

TEST(HostileSource, DataPathThatIsNoFileIsRefusedSayingWhatItIs) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo.mdb").c_str(), 0600), 0);
  WriteFile(dir / "text.mdb", "Name,Status\r\nCity Hall,Open\r\n");
  const struct {
    std::string path;
    std::string says;
  } cases[] = {
      {dir / "fifo.mdb", "DataPath '" + (dir / "fifo.mdb") + "' is a FIFO, not an Access database file."},
      {dir.path(), "DataPath '" + dir.path() + "' is a folder, not an Access database file."},
      {"/dev/zero", "DataPath '/dev/zero' is a character device, not an Access database file."},
      {"/dev/null", "DataPath '/dev/null' is a character device, not an Access database file."},
      {dir / "text.mdb", "Unrecognized database format '" + (dir / "text.mdb") +
                             "'. The file (29 bytes) does not start as an Access database does."},
  };
  for (const auto& c : cases) {
    WriteFile(dir / "TavrinReport.ini", Ini(c.path));
    const RunResult r = RunProgram(ReportBinary(), {"--unattended", "Rep"}, dir.path(), "", 10);
    EXPECT_EQ(r.exit_code, 1) << c.path << "\n" << r.err;
    // In the box, then in the line that names the key.
    EXPECT_EQ(Count(r.err, c.says), 2u) << r.err;
    EXPECT_NE(r.err.find("[Rep] DataPath = \"" + c.path + "\": cannot be opened: " + c.says), std::string::npos)
        << r.err;
    EXPECT_EQ(Count(r.err, "[COM Error]"), 1u) << r.err;
    EXPECT_NE(r.err.find("Database open FAILURE!"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(HostileSource, SigtermEndsTheWaitWithTheSourceAFifo) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo.mdb").c_str(), 0600), 0);
  WriteFile(dir / "TavrinReport.ini", Ini(dir / "fifo.mdb", "ALL", true));
  // The schedule repeats, so the program waits a minute for its next run
  // when the signal comes; one that ignored it would still be waiting when
  // the harness kills it at 30 seconds (exit status 137).
  const RunResult r = RunProgram(ReportBinary(), {"--unattended"}, dir.path(), "", 30, {},
                                 SignalOn{"Database open FAILURE!", SIGTERM});
  EXPECT_EQ(r.exit_code, 143) << r.err;
  EXPECT_GE(r.seconds_after_signal, 0);
}

class StopDuringData : public ::testing::Test {
 protected:
  RunResult StopAtQuery(int rows, const std::string& where, int timeout_seconds = 60) {
    const RunResult w = RunProgram(MdbWriteBinary(), {"Vesk.mdb", "--sample", std::to_string(rows)}, dir_.path(),
                                   "", 120);
    EXPECT_EQ(w.exit_code, 0) << w.err;
    WriteFile(dir_ / "TavrinReport.ini", Ini(dir_ / "Vesk.mdb", where));
    return RunProgram(ReportBinary(), {"--unattended", "Rep"}, dir_.path(), "", timeout_seconds, {},
                      SignalOn{"Querying Data", SIGTERM});
  }
  TempDir dir_;
};

TEST_F(StopDuringData, SigtermEndsTheQuery) {
  // The query would count 300^4 rows until its 30-second deadline ends it,
  // and after a stop request that end is as quiet as the stop's own. A
  // query that the stop did not end would still run when the harness kills
  // the program at 20 seconds (exit status 137).
  const RunResult r = StopAtQuery(300, "(SELECT count(*) FROM Org a, Org b, Org c, Org d) > 0", 20);
  EXPECT_EQ(r.exit_code, 143) << r.err;
  // A stopped query is no data access error: the run just ends.
  EXPECT_EQ(r.err.find("data access error"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("[COM Error]"), std::string::npos) << r.err;
}

TEST_F(StopDuringData, SigtermEndsTheLoadOfTheRows) {
  const RunResult r = StopAtQuery(200000, "ALL");
  EXPECT_EQ(r.exit_code, 143) << r.err;
  EXPECT_EQ(r.err.find("data access error"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Processing"), std::string::npos) << r.err;
}

// Where texts that multiply table Org: a self-join, and the table eight
// times over. 20,000 rows are enough for either to exceed what one query
// may hold, and each is refused before it holds anything.
TEST(HostileWhere, AQueryThatMultipliesTheTableEndsWithItsMemoryReason) {
  TempDir dir;
  const RunResult w = RunProgram(MdbWriteBinary(), {"Vesk.mdb", "--sample", "20000"}, dir.path());
  ASSERT_EQ(w.exit_code, 0) << w.err;
  std::string eight = "0";
  for (int i = 0; i < 8; ++i) eight += " UNION ALL SELECT * FROM Org";
  for (const std::string& where : {std::string("0 UNION ALL SELECT a.* FROM Org a, Org b"), eight}) {
    WriteFile(dir / "TavrinReport.ini", Ini("Vesk.mdb", where));
    const RunResult r = RunProgram(ReportBinary(), {"--unattended", "Rep"}, dir.path(), "", 60);
    EXPECT_EQ(r.exit_code, 1) << where << "\n" << r.err;
    EXPECT_NE(r.err.find("failed: the query needs more than one query may hold (512 MiB"), std::string::npos)
        << r.err;
    EXPECT_GT(r.peak_rss_kib, 0);
    EXPECT_LT(r.peak_rss_kib, 512 * 1024) << where;
    EXPECT_FALSE(FileExists(dir / "out.csv"));
  }
}

TEST(HostileWhere, SqliteOwnSqlIsRefusedAsNotJetWhenRunAndWhenChecked) {
  TempDir dir;
  const RunResult w = RunProgram(MdbWriteBinary(), {"Vesk.mdb", "--sample", "20"}, dir.path());
  ASSERT_EQ(w.exit_code, 0) << w.err;
  for (const char* where : {"1=1 LIMIT 1", "1=1 GROUP BY Status HAVING Count(*) > 0", "Status = 'x' COLLATE NOCASE",
                            "CAST(Status AS BLOB) = 'x'", "Status = ?", "Status IN ()",
                            "[Event Kill Date] > ##"}) {
    WriteFile(dir / "TavrinReport.ini", Ini("Vesk.mdb", where));
    const RunResult r = RunProgram(ReportBinary(), {"--unattended", "Rep"}, dir.path(), "", 20);
    EXPECT_EQ(r.exit_code, 1) << where << "\n" << r.err;
    EXPECT_NE(r.err.find("failed: not Jet SQL: "), std::string::npos) << r.err;
    EXPECT_FALSE(FileExists(dir / "out.csv"));
    const RunResult c = RunProgram(ReportBinary(), {"--check", "Rep"}, dir.path(), "", 20);
    EXPECT_EQ(c.exit_code, 1) << where << "\n" << c.out;
    EXPECT_NE(c.out.find("[Rep] Where = \"" + std::string(where) + "\": the query does not compile: not Jet SQL: "),
              std::string::npos)
        << c.out;
  }
}

}  // namespace
}  // namespace tavrin::test
